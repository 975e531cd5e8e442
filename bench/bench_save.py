"""save() of a protocol holding a 9,000,000-sample arbitrary signal, against writing the same
bytes from Python (open, write, flush, fsync), both into one temporary directory, timed in the
same run.

    python bench/bench_save.py [--rounds N] [--warmup N] [--dir DIR]

Targets, each against the plain write: a file with one name is replaced (a new nameless file is
written and synced, linked in beside the target and renamed over it, and the directory synced)
in at most 1.2x; a file with a second name is rewritten in place in at most 2.5x (the old
contents are read and written to a record beside the file, which is synced with its directory;
room is reserved, the new contents written and synced, and the record removed and the directory
synced again: about twice the data of the plain write, and three more flushes). For information, the script
also times the encoding on its own (a save through a link to /dev/null, which is written in
place) and the plain write without fsync. A second table times the encoding of 200,000 small
signals against their text form, which walks the same fields: at most 0.5x.
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
        linked = os.path.join(directory, "linked.qelm")
        written = os.path.join(directory, "written.bin")
        p.save(saved)
        p.save(linked)
        os.link(linked, os.path.join(directory, "second name.qelm"))
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

        save = Contestant("p.save(path), replaced", lambda: p.save(saved))
        in_place = Contestant("p.save(path), in place", lambda: p.save(linked))
        plain = Contestant("write + flush + fsync", lambda: write(True))
        encode = Contestant("p.save(link to /dev/null)", lambda: p.save(null_link))
        unsynced = Contestant("write + flush, no fsync", lambda: write(False))
        contestants = [save, in_place, plain, encode, unsynced]
        run_interleaved(contestants, rounds=args.rounds, warmup=args.warmup)

        for path in (saved, linked, os.path.join(directory, "second name.qelm")):
            with open(path, "rb") as f:
                assert f.read() == data, f"{path} changed between runs"

    print_table(
        f"save, {N:,} samples ({DURATION:g} s session), {len(data):,} bytes",
        contestants,
        [
            Check("save replacing / write+fsync", save, plain, "<= 1.2"),
            Check("save in place / write+fsync", in_place, plain, "<= 2.5"),
            Check("encoding only / write+fsync", encode, plain, "-"),
            Check("write without fsync / with", unsynced, plain, "-"),
        ],
    )
    print()
    many_small_signals(args)


SMALL = 200_000


def many_small_signals(args: argparse.Namespace) -> None:
    """The encoding of many small fields against the text form of the same protocol, which
    walks the same fields: a cost per field that grows with the bytes already encoded shows
    here and not in the one-signal table above."""
    p = Protocol()
    for i in range(SMALL):
        p.add_constant_signal((i % 97) / 97)
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        null_link = os.path.join(directory, "null.qelm")
        os.symlink(os.devnull, null_link)
        encode = Contestant("p.save(link to /dev/null)", lambda: p.save(null_link))
        text = Contestant("str(p)", lambda: str(p))
        run_interleaved([encode, text], rounds=args.rounds, warmup=args.warmup)
    print_table(f"save, {SMALL:,} constant signals", [encode, text],
                [Check("encoding only / text form", encode, text, "<= 0.5")])


if __name__ == "__main__":
    main()
