"""No memory or references lost over many calls, succeeding and failing, and many protocols.

The workloads run in a child interpreter (this file run as a script) so that the resident size
they measure is theirs alone and the diagnostics of many refused calls stay out of the captured
output.
"""

import gc
import json
import math
import os
import subprocess
import sys
import tempfile

import pytest

from support import CallsBack, panic_type

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="reads /proc/self/statm")

# Under AddressSanitizer freed memory sits in a quarantine and the resident size says nothing
# about leaks; the leak checker covers that there, and the reference counts are still checked.
SANITIZED = os.environ.get("PYQELM_SANITIZED") == "1"
MAX_GROWTH = 1_000_000  # bytes


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# --- the workloads (run in the child) -----------------------------------------------------------


class Boom(Exception):
    """Raised by the misbehaving conversions below; must reach the caller unchanged."""


class AsFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class AsIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raises:
    """Its conversions raise: a TypeError with a cause (rewrapped) or Boom (passed through)."""

    def __init__(self, kind):
        self.kind = kind

    def _raise(self):
        if self.kind is TypeError:
            try:
                raise Boom("root cause")
            except Boom as exc:
                raise TypeError("no number here") from exc
        raise Boom("conversion failed")

    def __float__(self):
        self._raise()

    def __index__(self):
        self._raise()


def call_workload(total_calls, save_dir):
    """`total_calls` calls of every method in rounds on fresh protocols; returns the figures."""
    import numpy as np

    from pyqelm import Channel, Coil, Protocol

    panic = panic_type()
    samples = np.linspace(0.0, 1.0, 50)
    args = {
        "samples": samples,
        "reversed": samples[::-1],
        "short": np.zeros(49),
        "above": np.full(50, 1.5),
        "float32": samples.astype(np.float32),
        "list": [0.5] * 50,
        "as_float": AsFloat(0.01),
        "as_intensity": AsFloat(0.25),
        "as_index": AsIndex(7),
        "raises_type": Raises(TypeError),
        "raises_boom": Raises(Boom),
        "call_num_samples": CallsBack("get_num_samples"),
        "call_str": CallsBack("__str__"),
        "call_rate": CallsBack("get_sampling_rate"),
        "huge": 2**64,
        "max_u64": 2**64 - 1,
        "big_float": 10**400,
        "negative": -(2**70),
        "path": os.path.join(save_dir, "leak.qelm"),
        "missing": os.path.join(save_dir, "missing", "leak.qelm"),
        "wrong_ext": os.path.join(save_dir, "leak.QELM"),
        "surrogate": os.path.join(save_dir, "bad\udc80.qelm"),
        "text": "5" * 3,
        "np_true": np.bool_(True),
        "np_float": np.float64(0.5),
        "np_int": np.int64(3),
    }
    a = args
    ok, panics = "ok", "panic"
    calls = [
        # (expected outcome, call)
        (ok, lambda p: p.set_session_duration(0.01)),
        (ok, lambda p: p.set_session_duration(duration=a["as_float"])),
        (ok, lambda p: p.set_stimulation_intensity(a["np_float"])),
        (ok, lambda p: p.set_stimulation_intensity(intensity=a["as_intensity"])),
        (ok, lambda p: p.enable_channel(Channel.B)),
        (ok, lambda p: p.set_amplitude_source(Coil.A1, a["max_u64"])),
        (ok, lambda p: p.set_amplitude_source(index=a["as_index"], coil=Coil.B2, external=True)),
        (ok, lambda p: p.set_modulation_source(Channel.A, a["np_int"], a["np_true"])),
        (ok, lambda p: p.get_num_samples()),
        (ok, lambda p: p.get_sampling_rate()),
        (ok, lambda p: str(p)),
        (ok, lambda p: (repr(Coil.B1), int(Channel.B))),
        (ok, lambda p: p.add_constant_signal(0.5)),
        (ok, lambda p: p.add_sine_signal(1.0, 10.0, depth=0.5)),
        (ok, lambda p: p.add_ramp_signal(1.0, 2.0, down_duration=3.0)),
        (ok, lambda p: p.add_mixed_signal(0, a["as_index"])),
        (ok, lambda p: p.add_arbitrary_signal(a["samples"])),
        (ok, lambda p: p.add_arbitrary_signal(samples=a["reversed"])),
        (ok, lambda p: Protocol()),
        # binding
        (TypeError, lambda p: p.set_session_duration()),
        (TypeError, lambda p: p.set_session_duration(1.0, 2.0)),
        (TypeError, lambda p: p.enable_channel(chan=Channel.A)),
        (TypeError, lambda p: p.enable_channel(Channel.A, channel=Channel.B)),
        (TypeError, lambda p: p.add_ramp_signal(1.0, down_duration=2.0)),
        (TypeError, lambda p: p.get_num_samples(1)),
        (TypeError, lambda p: Protocol(1, x=2)),
        # conversions
        (TypeError, lambda p: p.set_session_duration(a["text"])),
        (TypeError, lambda p: p.set_stimulation_intensity(a["raises_type"])),
        (TypeError, lambda p: p.enable_channel(0)),
        (TypeError, lambda p: p.set_amplitude_source(Channel.A, 0)),
        (TypeError, lambda p: p.set_amplitude_source(Coil.A1, 1.0)),
        (TypeError, lambda p: p.set_modulation_source(Channel.B, 0, external=1)),
        (TypeError, lambda p: p.add_mixed_signal(0, a["raises_type"])),
        (TypeError, lambda p: p.add_arbitrary_signal(a["list"])),
        (TypeError, lambda p: p.add_arbitrary_signal(a["float32"])),
        (TypeError, lambda p: p.save(5)),
        (OverflowError, lambda p: p.set_amplitude_source(Coil.A1, a["negative"])),
        (OverflowError, lambda p: p.add_mixed_signal(a["huge"], 0)),
        (OverflowError, lambda p: p.add_constant_signal(a["big_float"])),
        (Boom, lambda p: p.add_sine_signal(1.0, a["raises_boom"])),
        (Boom, lambda p: p.set_modulation_source(Channel.A, a["raises_boom"])),
        (UnicodeEncodeError, lambda p: p.save(a["surrogate"])),
        # refused values
        (panics, lambda p: p.set_session_duration(0.001)),
        (panics, lambda p: p.set_stimulation_intensity(math.nan)),
        (panics, lambda p: p.add_arbitrary_signal(a["short"])),
        (panics, lambda p: p.add_arbitrary_signal(a["above"])),
        (panics, lambda p: p.save(a["wrong_ext"])),
        (panics, lambda p: p.save(a["missing"])),
        # re-entrant conversions
        (RuntimeError, lambda p: p.set_session_duration(a["call_num_samples"])),
        (RuntimeError, lambda p: p.add_constant_signal(a["call_str"])),
        (RuntimeError, lambda p: p.set_amplitude_source(Coil.A2, a["call_rate"])),
    ]
    reentrant = [a["call_num_samples"], a["call_str"], a["call_rate"]]
    outcomes = {}

    def one_round(save_now):
        p = Protocol()
        for callback in reentrant:
            callback.protocol = p
        for expected, call in calls:
            try:
                call(p)
                got = ok
            except BaseException as exc:  # noqa: BLE001
                got = panics if type(exc) is panic else type(exc)
            if got is not expected:
                raise AssertionError(f"{call.__code__.co_firstlineno}: expected {expected}, got {got}")
        if save_now:
            p.save(a["path"])
        for callback in reentrant:
            callback.protocol = None

    per_round = len(calls)
    rounds = max(2, total_calls // per_round)
    warm_up = max(1, rounds // 10)
    saves_every = 500
    refcounts_before = {name: sys.getrefcount(value) for name, value in args.items()}
    for i in range(warm_up):
        one_round(i % saves_every == 0)
    gc.collect()
    before = resident_bytes()
    for i in range(warm_up, rounds):
        one_round(i % saves_every == 0)
    gc.collect()
    after = resident_bytes()
    refcounts_after = {name: sys.getrefcount(value) for name, value in args.items()}
    outcomes["calls"] = rounds * per_round + len(range(0, rounds, saves_every))
    outcomes["growth"] = after - before
    outcomes["refcounts"] = {
        name: [refcounts_before[name], refcounts_after[name]]
        for name in args
        if refcounts_before[name] != refcounts_after[name]
    }
    return outcomes


def protocol_workload(count):
    """`count` protocols, each with an arbitrary signal among others, created and dropped."""
    import numpy as np

    from pyqelm import Coil, Protocol

    curves = [np.linspace(0.0, 1.0, 50), np.random.default_rng(1).random(100)[::2], np.ones(50)]
    refcounts_before = [sys.getrefcount(c) for c in curves]
    batch = 100  # held together, then dropped together

    def one_batch(start):
        held = []
        for i in range(start, start + batch):
            p = Protocol()
            p.set_session_duration(0.01)
            p.add_sine_signal(1.0, float(i))
            p.add_arbitrary_signal(curves[i % len(curves)])
            p.set_amplitude_source(Coil.A1, p.add_arbitrary_signal(curves[(i + 1) % len(curves)]))
            held.append(p)
        held.clear()

    warm_up = 10 * batch
    for start in range(0, warm_up, batch):
        one_batch(start)
    gc.collect()
    before = resident_bytes()
    for start in range(warm_up, count, batch):
        one_batch(start)
    gc.collect()
    after = resident_bytes()
    refcounts_after = [sys.getrefcount(c) for c in curves]
    return {
        "protocols": count,
        "growth": after - before,
        "refcounts": [[b, a] for b, a in zip(refcounts_before, refcounts_after) if b != a],
    }


# --- the tests ----------------------------------------------------------------------------------


def run_workload(*argv):
    pytest.importorskip("numpy")
    # Every refused call writes a diagnostic: they go to a file, and only its end is shown.
    with tempfile.TemporaryFile() as errors:
        out = subprocess.run(
            [sys.executable, __file__, *map(str, argv)],
            stdout=subprocess.PIPE, stderr=errors, text=True, timeout=600,
        )
        errors.seek(max(0, errors.seek(0, os.SEEK_END) - 6000))
        tail = errors.read().decode(errors="replace")
    assert out.returncode == 0, tail
    return json.loads(out.stdout)


@pytest.mark.slow
def test_a_million_calls_keep_memory_and_references():
    # A tenth of the calls under the sanitizers, which slow every call down several times.
    total = 100_000 if SANITIZED else 1_000_000
    with tempfile.TemporaryDirectory() as save_dir:
        result = run_workload("calls", total, save_dir)
    assert result["calls"] >= total * 0.99
    assert result["refcounts"] == {}
    if not SANITIZED:
        assert result["growth"] < MAX_GROWTH, result


def test_ten_thousand_protocols_with_arbitrary_signals_are_freed():
    result = run_workload("protocols", 10_000)
    assert result["refcounts"] == []
    if not SANITIZED:
        assert result["growth"] < MAX_GROWTH, result


if __name__ == "__main__":
    if sys.argv[1] == "calls":
        figures = call_workload(int(sys.argv[2]), sys.argv[3])
    else:
        figures = protocol_workload(int(sys.argv[2]))
    print(json.dumps(figures))
