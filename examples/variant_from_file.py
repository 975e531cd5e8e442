"""Start a new session from an existing protocol file: load it, check it, rebuild it as a
Protocol, change what differs and save the variant beside it.

Usage: python examples/variant_from_file.py [OUTPUT_DIR] [BASE_FILE]
  OUTPUT_DIR  where variant.qelm goes (default: the current directory)
  BASE_FILE   the protocol to start from (default: a base protocol that this script saves
              first as base.qelm in OUTPUT_DIR, standing in for one whose script is lost)
"""

import argparse
import pathlib
import sys

import numpy as np

import qelmfile
from pyqelm import Channel, Coil, Protocol


def save_base(path: pathlib.Path) -> None:
    """A 30 s session: a slow ramp envelope drawn sample by sample on channel A."""
    base = Protocol()
    base.set_session_duration(30.0)
    base.set_stimulation_intensity(0.2)
    t = np.linspace(0.0, 1.0, base.get_num_samples())
    envelope = base.add_arbitrary_signal(np.minimum(1.0, 3.0 * t))
    base.set_amplitude_source(Coil.A1, envelope)
    base.set_amplitude_source(Coil.A2, envelope)
    base.save(str(path))


def main() -> None:
    parser = argparse.ArgumentParser(description="Save a variant of a protocol file.")
    parser.add_argument("output_dir", nargs="?", type=pathlib.Path, default=pathlib.Path.cwd())
    parser.add_argument("base", nargs="?", type=pathlib.Path, default=None)
    args = parser.parse_args()
    output_dir: pathlib.Path = args.output_dir
    base_path: pathlib.Path = args.base or output_dir / "base.qelm"
    if args.base is None:
        save_base(base_path)

    base = qelmfile.load(base_path)
    print(f"{base_path}: {checked(base)}")

    # The rebuilt protocol saves as the very bytes of the base file; change it from there. The
    # intensity goes up by 0.05, rounded so that sums like 0.2 + 0.1 = 0.30000000000000004 do
    # not pass the machine's set-point, and never beyond it.
    protocol = base.to_protocol()
    limit = base.machine_config.max_intensity_setpoint
    protocol.set_stimulation_intensity(min(limit, round(base.intensity + 0.05, 6)))
    sine = protocol.add_sine_signal(amplitude=1.0, frequency=20.0)
    protocol.enable_channel(Channel.B)
    protocol.set_amplitude_source(Coil.B1, sine)

    path = output_dir / "variant.qelm"
    protocol.save(str(path))
    variant = qelmfile.load(path)
    print(f"{path}: {checked(variant)}; changed from {base_path}:")
    for field, before, after in qelmfile.diff(base, variant):
        if isinstance(before, tuple) and isinstance(after, tuple):
            print(f"  {field}: {len(before)} -> {len(after)} entries")
        else:
            print(f"  {field}: {before!r} -> {after!r}")


def checked(pf: qelmfile.ProtocolFile) -> str:
    """"ok", or the number of findings of qelm-inspect --check, each written to stderr."""
    findings = qelmfile.check(pf)
    for finding in findings:
        print(f"  {finding}", file=sys.stderr)
    if not findings:
        return "ok"
    return f"{len(findings)} finding" + ("s" if len(findings) > 1 else "")


if __name__ == "__main__":
    main()
