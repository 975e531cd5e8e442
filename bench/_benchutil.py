"""Shared pieces of the benchmarks: machine description, interleaved timing, the result table."""

from __future__ import annotations

import gc
import os
import platform
import statistics
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import pyqelm


def cpu_description() -> str:
    """Model name, family and model numbers and the vector extensions the module can use, from
    /proc/cpuinfo (the model name alone is often generic in virtual machines)."""
    fields: dict[str, str] = {}
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if not line.strip():
                    break  # the first processor is enough
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        return platform.processor() or platform.machine()
    flags = set(fields.get("flags", "").split())
    extensions = ", ".join(x for x in ("avx2", "avx512f") if x in flags) or "no AVX2"
    return (
        f"{fields.get('model name', '?')} (family {fields.get('cpu family', '?')}, "
        f"model {fields.get('model', '?')}; {extensions})"
    )


def machine_lines() -> list[str]:
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return [
        f"CPU:     {cpu_description()}",
        f"Cores:   {os.cpu_count()} logical, {usable} usable by this process",
        f"Python:  {platform.python_implementation()} {platform.python_version()}",
        f"NumPy:   {np.__version__}",
        f"pyqelm:  {getattr(pyqelm, '__file__', '?')}",
        f"Load:    {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1/5/15 min) at start",
    ]


@dataclass
class Contestant:
    name: str
    # Runs once and returns whatever must stay alive until the clock has stopped; it is dropped
    # afterwards, so freeing the result is not timed for any contestant.
    run: Callable[[], object]
    times: list[float] | None = None
    cpu_times: list[float] | None = None

    def median_ms(self) -> float:
        assert self.times
        return statistics.median(self.times) * 1e3

    def cpu_median_ms(self) -> float:
        assert self.cpu_times
        return statistics.median(self.cpu_times) * 1e3


def run_interleaved(contestants: list[Contestant], rounds: int, warmup: int) -> None:
    """Times every contestant once per round, rotating the order from round to round so that
    none always runs right after the same neighbour; the first `warmup` rounds are discarded."""
    for c in contestants:
        c.times = []
        c.cpu_times = []
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(warmup + rounds):
            shift = r % len(contestants)
            for c in contestants[shift:] + contestants[:shift]:
                cpu_start = time.process_time()
                start = time.perf_counter()
                result = c.run()
                elapsed = time.perf_counter() - start
                cpu_elapsed = time.process_time() - cpu_start
                del result
                if r >= warmup:
                    c.times.append(elapsed)
                    c.cpu_times.append(cpu_elapsed)
            gc.collect()
    finally:
        if was_enabled:
            gc.enable()


def paired_ratio(a: Contestant, b: Contestant) -> float:
    """Median over rounds of a's time divided by b's time in the same round: less sensitive to
    load that changes during the run than the ratio of the two medians."""
    assert a.times and b.times
    return statistics.median(x / y for x, y in zip(a.times, b.times))


@dataclass
class Check:
    description: str
    numerator: Contestant
    denominator: Contestant
    target: str  # ">= x", "<= x" or "-" for information only

    def ratio(self) -> float:
        return self.numerator.median_ms() / self.denominator.median_ms()

    def cpu_ratio(self) -> float:
        return self.numerator.cpu_median_ms() / self.denominator.cpu_median_ms()

    def verdict(self) -> str:
        if self.target == "-":
            return "info"
        op, bound = self.target.split()
        shown = round(self.ratio(), 2)  # judged as printed, so 1.50 is never a MISS of <= 1.5
        ok = shown >= float(bound) if op == ">=" else shown <= float(bound)
        return "PASS" if ok else "MISS"


def print_table(title: str, contestants: list[Contestant], checks: list[Check]) -> None:
    """The medians, then each ratio three ways: of the wall-clock medians (the one the verdict
    uses), paired per round, and of the CPU-time medians (less sensitive to other processes
    taking the cores)."""
    print(title)
    print()
    width = max(len(c.name) for c in contestants)
    print(f"  {'contestant':<{width}}  {'median ms':>9}  {'min ms':>7}  {'cpu ms':>7}  runs")
    for c in contestants:
        assert c.times
        print(
            f"  {c.name:<{width}}  {c.median_ms():>9.2f}  {min(c.times) * 1e3:>7.2f}"
            f"  {c.cpu_median_ms():>7.2f}  {len(c.times)}"
        )
    print()
    dwidth = max(len(k.description) for k in checks)
    print(f"  {'ratio':<{dwidth}}  {'medians':>7}  {'paired':>6}  {'cpu':>5}  {'target':<7}  result")
    for k in checks:
        print(
            f"  {k.description:<{dwidth}}  {k.ratio():>7.2f}  {paired_ratio(k.numerator, k.denominator):>6.2f}"
            f"  {k.cpu_ratio():>5.2f}  {k.target:<7}  {k.verdict()}"
        )
    print()


def print_machine() -> None:
    for line in machine_lines():
        print(line)
    print()
    sys.stdout.flush()
