"""save() of a protocol holding a 9,000,000-sample arbitrary signal, against writing the same
bytes from Python (open, write, flush, fsync), both into one temporary directory, timed in the
same run.

    python bench/bench_save.py [--rounds N] [--warmup N] [--dir DIR]

Target: save at most 1.5x the plain write. save does strictly more: it encodes, writes a new
temporary file, syncs it, renames it over the target and syncs the directory. For information,
the script also times the encoding on its own (a save through a link to /dev/null, which is
written in place) and the plain write without fsync.
"""

from __future__ import annotations

import argparse
import os
import tempfile

import numpy as np
from pyqelm import Protocol

from _benchutil import Check, Contestant, print_machine, print_table, run_interleaved

DURATION = 1800.0
N = 9_000_000


def filesystem_of(path: str) -> str:
    """Device and type of the mount holding `path`, from /proc/self/mounts."""
    path = os.path.realpath(path)
    best = ("?", "?", "")
    try:
        with open("/proc/self/mounts", encoding="utf-8") as f:
            for line in f:
                device, mount_point, fs_type = line.split()[:3]
                inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
                if inside and len(mount_point) >= len(best[2]):
                    best = (device, fs_type, mount_point)
    except OSError:
        pass
    return f"{best[1]} on {best[0]} (mounted at {best[2]})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=31, help="timed rounds (default 31)")
    parser.add_argument("--warmup", type=int, default=3, help="untimed rounds first (default 3)")
    parser.add_argument("--dir", default=None, help="parent of the temporary directory")
    args = parser.parse_args()

    print_machine()
    rng = np.random.default_rng(20240601)
    p = Protocol()
    p.set_session_duration(DURATION)
    p.add_arbitrary_signal(rng.random(N))

    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        print(f"Files:   {directory}, {filesystem_of(directory)}")
        saved = os.path.join(directory, "protocol.qelm")
        written = os.path.join(directory, "written.bin")
        p.save(saved)
        with open(saved, "rb") as f:
            data = f.read()
        print(f"Size:    {len(data):,} bytes ({len(data) / N:.3f} per sample)")
        print()

        # Only a regular file is replaced through a temporary file; a device is written in
        # place, so this costs the encoding and one write() that the kernel discards.
        null_link = os.path.join(directory, "null.qelm")
        os.symlink(os.devnull, null_link)

        def write(sync: bool) -> None:
            with open(written, "wb") as f:
                f.write(data)
                f.flush()
                if sync:
                    os.fsync(f.fileno())

        save = Contestant("p.save(path)", lambda: p.save(saved))
        plain = Contestant("write + flush + fsync", lambda: write(True))
        encode = Contestant("p.save(link to /dev/null)", lambda: p.save(null_link))
        unsynced = Contestant("write + flush, no fsync", lambda: write(False))
        contestants = [save, plain, encode, unsynced]
        run_interleaved(contestants, rounds=args.rounds, warmup=args.warmup)

        with open(saved, "rb") as f:
            assert f.read() == data, "the saved file changed between runs"

    print_table(
        f"save, {N:,} samples ({DURATION:g} s session), {len(data):,} bytes",
        contestants,
        [
            Check("save / write+fsync", save, plain, "<= 1.5"),
            Check("encoding only / write+fsync", encode, plain, "-"),
            Check("write without fsync / with", unsynced, plain, "-"),
        ],
    )


if __name__ == "__main__":
    main()
