"""qelmfile.load() of the protocol file of a 9,000,000-sample arbitrary signal, against reading
its bytes (open(path, "rb").read()), timed in the same run, and the memory that load needs.

    python bench/bench_load.py [--rounds N] [--warmup N] [--dir DIR]

Targets: load at most 2x the plain read, and at most 2 bytes per sample beyond the file's
bytes, at the peak of the load and of the first use of the samples (the file's bytes and the
decoded samples are both alive for a moment), and for the kept ProtocolFile. For information,
load followed by the first use of the samples (load validates the samples and keeps the file's
bytes; they are decoded from those on first need, and the bytes freed), the decoding alone
(qelmfile.loads of bytes already read, which decodes everything at once) and the int16 sample
array of an already decoded file (a view, so its time does not depend on the sample count).

Memory is the resident set size from /proc/self (Linux): the decoded samples are C++
allocations, which tracemalloc does not see. The peak is the high-water mark VmHWM after
resetting it through /proc/self/clear_refs; tracemalloc's peak of the Python allocations is
shown beside it.

load reads the file with readinto() into memory of its own, which for a large file is advised to
use huge pages (Linux), and decodes it there.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import tempfile
import tracemalloc

import numpy as np
import qelmfile
from pyqelm import Protocol

from _benchutil import Check, Contestant, print_machine, print_table, run_interleaved

DURATION = 1800.0
N = 9_000_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    with open("/proc/self/statm", encoding="ascii") as f:
        return int(f.read().split()[1]) * PAGE


def high_water_mark() -> int:
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def reset_high_water_mark() -> bool:
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
            f.write("5")
        return True
    except OSError:
        return False


def memory_figures(path: str, size: int) -> None:
    gc.collect()
    before = rss()
    can_reset = reset_high_water_mark()
    pf = qelmfile.load(path)
    peak = high_water_mark() - before
    kept = rss() - before
    tracemalloc.start()
    again = qelmfile.load(path)
    python_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    del again
    gc.collect()
    loaded = rss()
    reset_high_water_mark()
    samples = pf.signals[0].samples  # decodes them, then frees the file's bytes
    first_use_peak = high_water_mark() - before
    decoded = rss() - before
    assert samples.shape == (N,) and not samples.flags.writeable
    again = pf.signals[0].samples
    shared = rss() - loaded - (decoded - kept)

    def verdict(extra: int) -> str:
        return f"(target <= 2.0: {'PASS' if (extra - size) / N <= 2.0 else 'MISS'})"

    print("Memory of load (RSS):")
    if can_reset:
        print(f"  peak during load:      {peak:>13,} bytes = file + {(peak - size) / N:.3f} "
              f"bytes/sample  {verdict(peak)}")
    else:
        print("  peak during load:      not measurable (/proc/self/clear_refs not writable)")
    print(f"  kept after load:       {kept:>13,} bytes = {kept / N:.3f} bytes/sample "
          f"(the file's bytes, samples not decoded yet)")
    if can_reset:
        print(f"  peak at first use:     {first_use_peak:>13,} bytes = file + "
              f"{(first_use_peak - size) / N:.3f} bytes/sample  {verdict(first_use_peak)}")
    print(f"  kept after first use:  {decoded:>13,} bytes = {decoded / N:.3f} bytes/sample "
          f"(the decoded samples)")
    print(f"  samples array (view):  {shared:>13,} bytes more")
    print(f"  tracemalloc peak:      {python_peak:>13,} bytes (Python objects; the file's bytes "
          f"are read into memory of the module's own)")
    print()
    del samples, again, pf


def main() -> None:
    # glibc raises its mmap threshold after a large block is freed, after which freed blocks
    # stay resident and RSS no longer shows what is alive. A fixed threshold keeps every large
    # block in its own mapping, returned to the system when freed.
    #
    # --memory recycled instead lets glibc keep freed blocks (threshold at its 32 MiB maximum):
    # then each read() lands in the block the previous round freed, already faulted in, and the
    # read costs only the copy out of the page cache, a case a program loading one file does not
    # see but a loop reading the same file does. The RSS figures mean little in that mode.
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--memory", choices=["fresh", "recycled"], default="fresh",
                        help="fresh (default) or recycled memory for each read, see above")
    parser.add_argument("--rounds", type=int, default=31, help="timed rounds (default 31)")
    parser.add_argument("--warmup", type=int, default=3, help="untimed rounds first (default 3)")
    parser.add_argument("--dir", default=None, help="parent of the temporary directory")
    args = parser.parse_args()
    threshold = "131072" if args.memory == "fresh" else "33554432"
    if os.environ.get("MALLOC_MMAP_THRESHOLD_") != threshold:
        os.environ["MALLOC_MMAP_THRESHOLD_"] = threshold
        os.execv(sys.executable, [sys.executable, *sys.argv])

    print_machine()
    print(f"Memory:  {args.memory} (MALLOC_MMAP_THRESHOLD_={threshold})")
    rng = np.random.default_rng(20240601)
    p = Protocol()
    p.set_session_duration(DURATION)
    p.add_arbitrary_signal(rng.random(N))

    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        path = os.path.join(directory, "protocol.qelm")
        p.save(path)
        del p
        with open(path, "rb") as f:
            data = f.read()
        size = len(data)
        print(f"File:    {path}, {size:,} bytes ({size / N:.3f} per sample)")
        print()
        assert str(qelmfile.loads(data).session_duration) == str(DURATION)

        if args.memory == "fresh":
            memory_figures(path, size)
        else:
            print("Memory of load: not measured (freed memory stays resident in this mode)\n")

        def read() -> bytes:
            with open(path, "rb") as f:
                return f.read()

        load = Contestant("qelmfile.load(path)", lambda: qelmfile.load(path))
        plain = Contestant('open(path, "rb").read()', read)
        used = Contestant("load(path).signals[0].samples",
                          lambda: qelmfile.load(path).signals[0].samples)
        decode = Contestant("qelmfile.loads(data)", lambda: qelmfile.loads(data))
        loaded = qelmfile.load(path)
        loaded.signals[0].samples  # decoded once here, so that the view alone is timed
        view = Contestant("pf.signals[0].samples", lambda: loaded.signals[0].samples)
        # The first use of the samples gives the file's pages back as the decoding goes, so
        # the block it frees is no longer resident: with recycled memory, whichever contestant
        # got that block next would pay the page faults of fresh memory. It runs with fresh
        # memory only.
        contestants = [load, plain, used, decode, view] if args.memory == "fresh" else [
            load, plain, decode, view]
        run_interleaved(contestants, rounds=args.rounds, warmup=args.warmup)

    checks = [Check("load / read", load, plain, "<= 2.0")]
    if used in contestants:
        checks.append(Check("load + first use of samples / read", used, plain, "-"))
    checks.append(Check("decoding only / read", decode, plain, "-"))
    print_table(f"load, {N:,} samples ({DURATION:g} s session), {size:,} bytes", contestants,
                checks)


if __name__ == "__main__":
    main()
