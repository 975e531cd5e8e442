"""add_arbitrary_signal on a 1800 s session (9,000,000 samples) against what a user would
otherwise do in NumPy, against a plain copy of the input and against a plain read of it, all
timed in the same run.

    python bench/bench_arbitrary.py [--rounds N] [--warmup N]

The conversion reads 8 bytes and writes 2 per sample, a copy reads 8 and writes 8: about 0.6x
the time of a.copy() is the floor. Targets: at most 0.7x a.copy() and at most 0.25x the NumPy
pipeline (range check, then round and cast) for a contiguous array; for strided input (every
second element of an 18,000,000-element array, one column of a three-column array) at most
1.5x the copy of the same view. The roofline line sets the bytes the conversion moves per
second beside the read bandwidth measured by a reduction over the same array (a.max(), which
only reads). Also measured: resident memory added per sample by a kept signal.
"""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable

import numpy as np
from pyqelm import Protocol

from _benchutil import Check, Contestant, print_machine, print_table, run_interleaved

DURATION = 1800.0
N = 9_000_000


def protocol() -> Protocol:
    p = Protocol()
    p.set_session_duration(DURATION)
    assert p.get_num_samples() == N
    return p


def resident_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_per_sample(a: np.ndarray, signals: int = 3) -> list[float]:
    """Resident bytes added per sample by each of `signals` signals that are then kept. Runs
    before anything large has been freed, so the allocator has no released memory to reuse and
    every byte the signal holds shows up as new resident pages."""
    kept = []
    per_sample = []
    for _ in range(signals):
        p = protocol()
        before = resident_bytes()
        p.add_arbitrary_signal(a)
        per_sample.append((resident_bytes() - before) / N)
        kept.append(p)
    return per_sample


def numpy_pipeline(a: np.ndarray) -> np.ndarray:
    if not ((a >= 0) & (a <= 1)).all():
        raise ValueError("sample out of range")
    return np.round(a * 32767.0).astype(np.int16)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=41, help="timed rounds (default 41)")
    parser.add_argument("--warmup", type=int, default=3, help="untimed rounds first (default 3)")
    args = parser.parse_args()

    print_machine()
    rng = np.random.default_rng(20240601)
    a = rng.random(N)
    memory = memory_per_sample(a)

    wide = rng.random(2 * N)
    strided = wide[::2]
    assert strided.shape == (N,) and not strided.flags.c_contiguous
    column = rng.random((N, 3))[:, 1]
    assert column.shape == (N,) and column.strides == (24,)

    # A fresh protocol per run, so the signal list never grows; making it costs microseconds
    # and is timed along. The protocol is returned so that it is freed after the clock stops.
    def add(samples: np.ndarray) -> object:
        p = protocol()
        p.add_arbitrary_signal(samples)
        return p

    ours = Contestant("add_arbitrary_signal(a)", lambda: add(a))
    pipeline = Contestant("NumPy: check, round, astype", lambda: numpy_pipeline(a))
    copy = Contestant("a.copy()", lambda: a.copy())
    read = Contestant("a.max() (reads a only)", lambda: a.max())
    add_strided = Contestant("add_arbitrary_signal(wide[::2])", lambda: add(strided))
    copy_strided = Contestant("wide[::2].copy()", lambda: strided.copy())
    add_column = Contestant("add_arbitrary_signal(column)", lambda: add(column))
    copy_column = Contestant("column.copy()", lambda: column.copy())
    contestants = [ours, pipeline, copy, read, add_strided, copy_strided, add_column, copy_column]
    run_interleaved(contestants, rounds=args.rounds, warmup=args.warmup)

    print_table(
        f"add_arbitrary_signal, {N:,} float64 samples ({DURATION:g} s session)",
        contestants,
        [
            Check("add / a.copy()", ours, copy, "<= 0.7"),
            Check("add / NumPy pipeline", ours, pipeline, "<= 0.25"),
            Check("add strided / its copy", add_strided, copy_strided, "<= 1.5"),
            Check("add column / its copy", add_column, copy_column, "<= 1.5"),
            Check("add / a.max()", ours, read, "-"),
        ],
    )
    # Rates from the medians and from the best rounds: on a shared machine the medians include
    # time spent waiting for a core, the best rounds come closer to what memory allows.
    moved = N * (8 + 2)
    read_bytes = N * 8

    def rates(seconds: Callable[[Contestant], float]) -> str:
        ours_rate = moved / seconds(ours) / 1e9
        read_rate = read_bytes / seconds(read) / 1e9
        copy_rate = 2 * read_bytes / seconds(copy) / 1e9
        return (
            f"add {ours_rate:.1f} GB/s, plain read {read_rate:.1f} GB/s, a.copy() {copy_rate:.1f} GB/s: "
            f"add at {ours_rate / read_rate:.2f}x the read bandwidth"
        )

    print(
        f"Roofline: add moves {moved / 1e6:.0f} MB (8 B read and 2 B written per sample), a plain read "
        f"of a (a.max()) {read_bytes / 1e6:.0f} MB, a.copy() {2 * read_bytes / 1e6:.0f} MB"
    )
    print(f"  medians:     {rates(lambda c: c.median_ms() / 1e3)}")
    print(f"  best rounds: {rates(lambda c: min(c.times or [0.0]))}")
    print(
        "Resident memory added per sample by a kept signal: "
        + ", ".join(f"{m:.3f}" for m in memory)
        + " bytes (expected about 2: one int16 per sample)"
    )


if __name__ == "__main__":
    main()
