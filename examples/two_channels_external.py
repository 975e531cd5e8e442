"""Two channels whose modulation inputs follow the stimulator's external inputs 1 and 2.

Channel A drives its coils with a 6 Hz sine, channel B with a 40 Hz sine; a device connected
to external inputs 1 and 2 shapes each channel's output during the 10-minute session.

Usage: python examples/two_channels_external.py [OUTPUT_DIR]   (default: the current directory)
"""

import argparse
import pathlib

from pyqelm import Channel, Coil, Protocol


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Save a two-channel session modulated by external inputs 1 and 2."
    )
    parser.add_argument("output_dir", nargs="?", type=pathlib.Path, default=pathlib.Path.cwd())
    output_dir: pathlib.Path = parser.parse_args().output_dir

    protocol = Protocol()
    protocol.set_session_duration(600.0)  # seconds
    protocol.set_stimulation_intensity(0.2)  # fraction of full scale
    protocol.enable_channel(Channel.B)  # channel A is enabled already

    theta = protocol.add_sine_signal(amplitude=1.0, frequency=6.0)
    gamma = protocol.add_sine_signal(amplitude=1.0, frequency=40.0)

    for coil in (Coil.A1, Coil.A2):
        protocol.set_amplitude_source(coil, theta)
    for coil in (Coil.B1, Coil.B2):
        protocol.set_amplitude_source(coil, gamma)

    # With external=True the index is an external input number, not a signal position.
    protocol.set_modulation_source(Channel.A, 1, external=True)
    protocol.set_modulation_source(Channel.B, 2, external=True)

    path = output_dir / "two_channels_external.qelm"
    protocol.save(str(path))
    print(f"saved {path}: 10 min, 6 Hz on channel A and 40 Hz on channel B, "
          "modulated by external inputs 1 and 2")


if __name__ == "__main__":
    main()
