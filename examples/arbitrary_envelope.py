"""A 30 s session whose amplitude is a 10 Hz wave under a ramped envelope, built with NumPy.

The envelope rises linearly over the first 5 s, holds, and falls over the last 5 s. The
curve is given sample by sample: one value in [0, 1] per 1/5000 s, so the array holds
exactly `protocol.get_num_samples()` values.

Usage: python examples/arbitrary_envelope.py [OUTPUT_DIR]   (default: the current directory)
"""

import argparse
import pathlib

import numpy as np
import numpy.typing as npt

from pyqelm import Coil, Protocol

DURATION = 30.0  # seconds
RAMP = 5.0  # seconds up, and again down
FREQUENCY = 10.0  # Hz


def envelope_curve(num_samples: int, sampling_rate: float) -> npt.NDArray[np.float64]:
    """A 10 Hz wave between 0 and 1 times a trapezoid envelope: every value lies in [0, 1]."""
    t = np.arange(num_samples, dtype=np.float64) / sampling_rate
    envelope = np.interp(t, [0.0, RAMP, DURATION - RAMP, DURATION], [0.0, 1.0, 1.0, 0.0])
    wave = 0.5 + 0.5 * np.sin(2.0 * np.pi * FREQUENCY * t)
    # Clipping removes rounding excursions like 1.0000000000000002, which would be refused.
    curve: npt.NDArray[np.float64] = np.clip(envelope * wave, 0.0, 1.0)
    return curve


def main() -> None:
    parser = argparse.ArgumentParser(
        description="Save a 30 s session with a NumPy-built 10 Hz envelope."
    )
    parser.add_argument("output_dir", nargs="?", type=pathlib.Path, default=pathlib.Path.cwd())
    output_dir: pathlib.Path = parser.parse_args().output_dir

    protocol = Protocol()
    protocol.set_session_duration(DURATION)
    protocol.set_stimulation_intensity(0.25)

    # Set the duration first: the array's length must match the session's sample count.
    curve = envelope_curve(protocol.get_num_samples(), protocol.get_sampling_rate())
    shaped = protocol.add_arbitrary_signal(curve)
    protocol.set_amplitude_source(Coil.A1, shaped)

    path = output_dir / "arbitrary_envelope.qelm"
    protocol.save(str(path))
    print(f"saved {path}: 30 s, {curve.size} samples from {curve.min():.3f} to {curve.max():.3f}")


if __name__ == "__main__":
    main()
