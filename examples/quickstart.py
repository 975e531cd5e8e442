"""Compose a short two-channel session, save it as session.qelm and show what was saved.

Run from the repository root after `pip install .`:  python examples/quickstart.py
"""

import pathlib
import shutil
import subprocess
import sysconfig

from pyqelm import Channel, Coil, Protocol

protocol = Protocol()
protocol.set_session_duration(10.0)  # seconds
protocol.set_stimulation_intensity(0.25)  # fraction of full scale, 0..1

carrier = protocol.add_sine_signal(amplitude=1.0, frequency=10.0)  # position 0
ramp = protocol.add_ramp_signal(peak=1.0, up_duration=2.0, down_duration=2.0)  # position 1

protocol.set_amplitude_source(Coil.A1, carrier)
protocol.enable_channel(Channel.B)
protocol.set_amplitude_source(Coil.B1, ramp)
protocol.set_modulation_source(Channel.B, 2, external=True)  # external input 2

path = pathlib.Path("session.qelm")
protocol.save(str(path))

print(f"saved {path}", flush=True)  # before the command writes its own lines
# Show the file as the stimulator will get it: the command's summary, then the text form. It is
# installed beside this interpreter, whether or not its venv is activated.
scripts = sysconfig.get_path("scripts")
inspect = shutil.which("qelm-inspect", path=scripts) or shutil.which("qelm-inspect")
if inspect:
    subprocess.run([inspect, str(path)], check=True)
else:
    print(protocol)
