"""A mixed signal: a 20 Hz sine combined with a slow ramp, on coil A1 of a 2-minute session.

A mixed signal names two other signals by their positions; it is stored as that pair.

Usage: python examples/mixed_signal.py [OUTPUT_DIR]   (default: the current directory)
"""

import argparse
import pathlib

from pyqelm import Coil, Protocol


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Save a session driven by a mixed sine and ramp signal."
    )
    parser.add_argument("output_dir", nargs="?", type=pathlib.Path, default=pathlib.Path.cwd())
    output_dir: pathlib.Path = parser.parse_args().output_dir

    protocol = Protocol()
    protocol.set_session_duration(120.0)  # seconds
    protocol.set_stimulation_intensity(0.15)  # fraction of full scale

    sine = protocol.add_sine_signal(amplitude=1.0, frequency=20.0, depth=0.8)  # position 0
    ramp = protocol.add_ramp_signal(peak=1.0, up_duration=30.0, down_duration=30.0)  # 1
    mixed = protocol.add_mixed_signal(sine, ramp)  # position 2

    protocol.set_amplitude_source(Coil.A1, mixed)

    path = output_dir / "mixed_signal.qelm"
    protocol.save(str(path))
    print(f"saved {path}: signal {mixed} on coil A1 mixes signal {sine} (20 Hz sine) "
          f"and signal {ramp} (ramp, 30 s up, 30 s down)")


if __name__ == "__main__":
    main()
