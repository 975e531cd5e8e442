"""A 20-minute session on channel A: a 10 Hz sine on both coils at 30 % intensity.

Usage: python examples/sine_session.py [OUTPUT_DIR]   (default: the current directory)
"""

import argparse
import pathlib

from pyqelm import Channel, Coil, Protocol


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Save a 20-minute 10 Hz sine session on channel A."
    )
    parser.add_argument("output_dir", nargs="?", type=pathlib.Path, default=pathlib.Path.cwd())
    output_dir: pathlib.Path = parser.parse_args().output_dir

    protocol = Protocol()  # channel A is enabled in every new protocol
    protocol.set_session_duration(20 * 60.0)  # seconds
    protocol.set_stimulation_intensity(0.3)  # fraction of full scale

    sine = protocol.add_sine_signal(amplitude=1.0, frequency=10.0)  # 10 Hz, full depth
    full_scale = protocol.add_constant_signal(1.0)

    # Both coils of channel A follow the sine; the channel's modulation input is held at 1.0.
    protocol.set_amplitude_source(Coil.A1, sine)
    protocol.set_amplitude_source(Coil.A2, sine)
    protocol.set_modulation_source(Channel.A, full_scale)

    path = output_dir / "sine_session.qelm"
    protocol.save(str(path))
    print(f"saved {path}: 20 min, a 10 Hz sine on coils A1 and A2, intensity 0.3")


if __name__ == "__main__":
    main()
