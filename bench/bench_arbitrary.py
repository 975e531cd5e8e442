"""add_arbitrary_signal on a 1800 s session (9,000,000 samples) against what a user would
otherwise do in NumPy, and against a plain copy of the input, all timed in the same run.

    python bench/bench_arbitrary.py [--rounds N] [--warmup N]

Targets: at least 4x faster than the NumPy pipeline (range check, then round and cast), at most
1.5x the time of a.copy(). Also measured: resident memory added per sample by a kept signal, and
a strided input (every second element of an 18,000,000-element array), for information.
"""

from __future__ import annotations

import argparse
import os

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

    # A fresh protocol per run, so the signal list never grows; making it costs microseconds
    # and is timed along. The protocol is returned so that it is freed after the clock stops.
    def add(samples: np.ndarray) -> object:
        p = protocol()
        p.add_arbitrary_signal(samples)
        return p

    contestants = [
        Contestant("add_arbitrary_signal(a)", lambda: add(a)),
        Contestant("NumPy: check, round, astype", lambda: numpy_pipeline(a)),
        Contestant("a.copy()", lambda: a.copy()),
        Contestant("add_arbitrary_signal(strided)", lambda: add(strided)),
    ]
    run_interleaved(contestants, rounds=args.rounds, warmup=args.warmup)

    ours, pipeline, copy, stride = contestants
    print_table(
        f"add_arbitrary_signal, {N:,} float64 samples ({DURATION:g} s session)",
        contestants,
        [
            Check("NumPy pipeline / add", pipeline, ours, ">= 4.0"),
            Check("add / a.copy()", ours, copy, "<= 1.5"),
            Check("add strided / add", stride, ours, "-"),
        ],
    )
    print(
        "Resident memory added per sample by a kept signal: "
        + ", ".join(f"{m:.3f}" for m in memory)
        + " bytes (expected about 2: one int16 per sample)"
    )


if __name__ == "__main__":
    main()
