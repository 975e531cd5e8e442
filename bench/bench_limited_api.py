"""The stable-ABI (abi3) build of pyqelm against the version-specific build: call overhead of a few
methods and add_arbitrary_signal.

Two builds of one module cannot live in one process, so each runs in a worker process of its own
(give each a venv's python that has NumPy and one of the two builds installed). The driver
interleaves the workers round by round, the order rotating every round, after untimed warm-up
rounds, and reports per case the medians and the ratio abi3 / version-specific (wall-clock
medians, and the median of the per-round ratios). Both interpreters should be the same CPython.

    python bench/bench_limited_api.py --full VENV_FULL/bin/python --abi3 VENV_ABI3/bin/python
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

CALLS = 200_000  # per timed call-overhead sample
SAMPLES = 9_000_000  # add_arbitrary_signal: an 1800 s session at 5 kHz


def worker() -> None:
    import numpy as np
    import pyqelm

    p = pyqelm.Protocol()
    p.set_session_duration(1800.0)
    a = np.random.default_rng(1).random(SAMPLES)
    channel = pyqelm.Channel.A

    def calls(f) -> float:
        t0 = time.perf_counter_ns()
        for _ in range(CALLS):
            f()
        return (time.perf_counter_ns() - t0) / CALLS

    def arbitrary() -> float:
        q = pyqelm.Protocol()
        q.set_session_duration(1800.0)
        t0 = time.perf_counter_ns()
        q.add_arbitrary_signal(a)
        elapsed = time.perf_counter_ns() - t0
        del q
        return elapsed / 1e6

    cases = {
        "set_stimulation_intensity(0.5)": lambda: calls(lambda: p.set_stimulation_intensity(0.5)),
        "set_stimulation_intensity(intensity=0.5)": lambda: calls(
            lambda: p.set_stimulation_intensity(intensity=0.5)
        ),
        "enable_channel(Channel.A)": lambda: calls(lambda: p.enable_channel(channel)),
        "get_num_samples()": lambda: calls(p.get_num_samples),
        "add_arbitrary_signal(9e6 samples)": arbitrary,
    }
    print(f"{sys.version.split()[0]} {pyqelm.__file__}", flush=True)
    for line in sys.stdin:
        print(repr(cases[line.rstrip("\n")]()), flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--full", required=True, help="python with the version-specific build")
    parser.add_argument("--abi3", required=True, help="python with the stable-ABI build")
    parser.add_argument("--rounds", type=int, default=21)
    parser.add_argument("--warmup", type=int, default=2)
    args = parser.parse_args()

    names = ["full", "abi3"]
    procs = {
        name: subprocess.Popen(
            [os.path.abspath(python), os.path.abspath(__file__), "--worker"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            cwd="/",  # not the source tree: the installed module is imported
        )
        for name, python in zip(names, (args.full, args.abi3))
    }

    def ask(name: str, case: str) -> float:
        proc = procs[name]
        assert proc.stdin and proc.stdout
        proc.stdin.write(case + "\n")
        proc.stdin.flush()
        return float(proc.stdout.readline())

    print(f"Load: {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1/5/15 min) at start")
    for name in names:
        assert procs[name].stdout
        print(f"{name:5}: {procs[name].stdout.readline().strip()}")
    cases = [
        "set_stimulation_intensity(0.5)",
        "set_stimulation_intensity(intensity=0.5)",
        "enable_channel(Channel.A)",
        "get_num_samples()",
        "add_arbitrary_signal(9e6 samples)",
    ]
    print(f"\n{'case':42} {'full':>10} {'abi3':>10} {'abi3/full':>10} {'paired':>8}")
    for case in cases:
        times: dict[str, list[float]] = {n: [] for n in names}
        for r in range(args.warmup + args.rounds):
            order = names if r % 2 == 0 else names[::-1]
            sample = {n: ask(n, case) for n in order}
            if r >= args.warmup:
                for n in names:
                    times[n].append(sample[n])
        full, abi3 = (statistics.median(times[n]) for n in names)
        paired = statistics.median(a / f for f, a in zip(times["full"], times["abi3"]))
        unit = "ms" if "arbitrary" in case else "ns"
        print(f"{case:42} {full:8.2f}{unit} {abi3:8.2f}{unit} {abi3 / full:10.3f} {paired:8.3f}")
    for proc in procs.values():
        assert proc.stdin
        proc.stdin.close()
        proc.wait()


if __name__ == "__main__":
    if sys.argv[1:] == ["--worker"]:
        worker()
    else:
        main()
