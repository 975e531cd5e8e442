"""Threads: eight sharing one protocol and eight with their own, with argument conversions that
call back into the protocol and hand the interpreter to another thread in the middle of a call.

The only errors allowed are the access conflicts ("Already borrowed", "Already mutably
borrowed") and the PanicException of a value that is refused on purpose; a failed call changes
nothing, and every successful append lands exactly once.
"""

import math
import random
import sys
import threading
import time

import pytest

from pyqelm import Channel, Coil, Protocol

from support import BORROW_MESSAGES, panic_type, settings_of

np = pytest.importorskip("numpy")

RUN_SECONDS = 2.0

# Settings only ever take values from these sets. The refused values, and the values that only
# reach a call which must fail, never show up in a protocol.
DURATIONS = (0.01, 0.02, 0.03)
INTENSITIES = (0.0, 0.25, 0.5, 1.0)
SIGNAL_VALUES = (0.125, 0.5, 0.75)
POISON_FLOAT = 4321.5
POISON_INDEX = 987654321
REFUSED_DURATIONS = (0.001, 1800.5, math.nan)
REFUSED_INTENSITIES = (1.5, -0.25, math.nan)


PANIC = panic_type()


def is_panic(exc):
    return type(exc) is PANIC


def is_borrow_error(exc):
    return type(exc) is RuntimeError and str(exc) in BORROW_MESSAGES


class Switching:
    """A number whose conversion yields the interpreter to other threads, then calls back into
    `protocol` (refused, since the call being converted holds it). With `swallow`, the conflict is
    caught and `value` returned; otherwise the RuntimeError ends the call and `value` (a poison
    value then) is never used."""

    def __init__(self, protocol, value, swallow, callback, problems):
        self.protocol, self.value, self.swallow = protocol, value, swallow
        self.callback, self.problems = callback, problems

    def _convert(self):
        time.sleep(0)
        try:
            self.callback(self.protocol)
        except RuntimeError as exc:
            if not self.swallow:
                raise
            if str(exc) not in BORROW_MESSAGES:
                self.problems.append(f"callback: {exc!r}")
        else:
            self.problems.append("a call back into a protocol in use succeeded")
        time.sleep(0)
        return self.value

    def __float__(self):
        return float(self._convert())

    def __index__(self):
        return int(self._convert())


CALLBACKS = (
    lambda p: p.get_num_samples(),
    lambda p: p.get_sampling_rate(),
    lambda p: str(p),
    lambda p: p.add_constant_signal(POISON_FLOAT),
    lambda p: p.set_session_duration(DURATIONS[0]),
)


class Worker:
    """One thread's loop of random calls on `protocol`; `shared` says whether other threads use it
    too, in which case any call may also meet an access conflict."""

    def __init__(self, protocol, shared, seed, deadline, problems):
        self.p, self.shared, self.deadline, self.problems = protocol, shared, deadline, problems
        self.rng = random.Random(seed)
        self.appended = 0
        self.calls = 0
        self.conflicts = 0
        self.panics = 0

    def arg(self, value, poison):
        """`value` itself, or a switching object: one that succeeds with `value`, or one whose
        conflict ends the call (then `poison` is what the call would have stored)."""
        r = self.rng.random()
        if r < 0.5:
            return value, True
        swallow = r < 0.75
        cb = self.rng.choice(CALLBACKS)
        return Switching(self.p, value if swallow else poison, swallow, cb, self.problems), swallow

    def samples(self, good):
        n = self.p.get_num_samples()
        curve = np.linspace(0.0, 1.0, n)
        if not good:
            curve[self.rng.randrange(n)] = 1.5
        return curve

    def step(self):
        """Runs one random call; returns (call, panic expected, conversion conflict expected,
        appends on success)."""
        rng, p = self.rng, self.p
        kind = rng.randrange(9)
        if kind == 0:
            good = rng.random() < 0.7
            value = rng.choice(DURATIONS if good else REFUSED_DURATIONS)
            arg, ok = self.arg(value, POISON_FLOAT)
            return (lambda: p.set_session_duration(arg)), ok and not good, not ok, 0
        if kind == 1:
            good = rng.random() < 0.7
            value = rng.choice(INTENSITIES if good else REFUSED_INTENSITIES)
            arg, ok = self.arg(value, POISON_FLOAT)
            return (lambda: p.set_stimulation_intensity(intensity=arg)), ok and not good, not ok, 0
        if kind == 2:
            channel = rng.choice((Channel.A, Channel.B))
            return (lambda: p.enable_channel(channel)), False, False, 0
        if kind == 3:
            coil, external = rng.choice((Coil.A1, Coil.A2, Coil.B1, Coil.B2)), rng.random() < 0.5
            arg, ok = self.arg(rng.randrange(8), POISON_INDEX)
            return (lambda: p.set_amplitude_source(coil, arg, external=external)), False, not ok, 0
        if kind == 4:
            channel, external = rng.choice((Channel.A, Channel.B)), rng.random() < 0.5
            arg, ok = self.arg(rng.randrange(8), POISON_INDEX)
            return (lambda: p.set_modulation_source(channel, index=arg, external=external)), False, not ok, 0
        if kind == 5:
            arg, ok = self.arg(rng.choice(SIGNAL_VALUES), POISON_FLOAT)
            return (lambda: p.add_constant_signal(arg)), False, not ok, 1
        if kind == 6:
            amplitude, ok1 = self.arg(rng.choice(SIGNAL_VALUES), POISON_FLOAT)
            depth, ok2 = self.arg(rng.choice(SIGNAL_VALUES), POISON_FLOAT)
            call = lambda: p.add_sine_signal(amplitude, 10.0, depth=depth)  # noqa: E731
            return call, False, not (ok1 and ok2), 1
        if kind == 7:
            a_idx, ok = self.arg(rng.randrange(8), POISON_INDEX)
            return (lambda: p.add_mixed_signal(a_idx, 1)), False, not ok, 1
        good = rng.random() < 0.8
        curve = self.samples(good)
        return (lambda: p.add_arbitrary_signal(curve)), not good, False, 1

    def run(self):
        while time.monotonic() < self.deadline:
            try:
                self.one_call()
            except RuntimeError as exc:  # str(p) or get_num_samples() met a conflict
                if not (self.shared and is_borrow_error(exc)):
                    self.problems.append(f"outside a call: {exc!r}")
                time.sleep(0)
            except BaseException as exc:  # noqa: BLE001  (a thread must report, not die)
                self.problems.append(f"outside a call: {exc!r}")

    def one_call(self):
        call, panic_expected, conflict_expected, appends = self.step()
        before = None if self.shared else str(self.p)
        self.calls += 1
        try:
            call()
        except BaseException as exc:  # noqa: BLE001
            if is_borrow_error(exc) and (conflict_expected or self.shared):
                self.conflicts += 1
                time.sleep(0)  # let the holder finish, as a caller that retries would
            elif is_panic(exc) and (panic_expected or self.shared):
                # On a shared protocol an array can be one duration behind another thread.
                self.panics += 1
            else:
                self.problems.append(f"{'shared' if self.shared else 'own'}: unexpected {exc!r}")
            if before is not None and str(self.p) != before:
                self.problems.append(f"a failed call changed the protocol: {exc!r}")
            return
        if panic_expected or (conflict_expected and not self.shared):
            self.problems.append("a call that must fail succeeded")
        self.appended += appends


def check_invariants(protocol):
    text = str(protocol)
    assert repr(POISON_FLOAT) not in text and str(POISON_INDEX) not in text
    s = settings_of(protocol)
    assert s["session_duration"] in DURATIONS
    assert s["intensity"] in INTENSITIES
    for name in ("channel_a_settings", "channel_b_settings"):
        for source in ("amplitude1_source", "amplitude2_source", "modulation_source"):
            sel = s[name][source]
            assert sel["external" if sel["external_selected"] else "internal"] < 8
            assert sel["internal" if sel["external_selected"] else "external"] == 0
    return s


def test_sixteen_threads_on_shared_and_own_protocols():
    shared = Protocol()
    shared.set_session_duration(DURATIONS[0])
    own = [Protocol() for _ in range(8)]
    for p in own:
        p.set_session_duration(DURATIONS[0])
    problems = []
    deadline = time.monotonic() + RUN_SECONDS
    workers = [Worker(shared, True, i, deadline, problems) for i in range(8)]
    workers += [Worker(p, False, 100 + i, deadline, problems) for i, p in enumerate(own)]
    threads = [threading.Thread(target=w.run) for w in workers]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter allows
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=RUN_SECONDS + 60)
    finally:
        sys.setswitchinterval(interval)
    assert not any(t.is_alive() for t in threads)
    assert problems == []

    # Every successful append landed exactly once, and nothing refused left a trace.
    shared_workers = workers[:8]
    assert len(check_invariants(shared)["signals"]) == sum(w.appended for w in shared_workers)
    for w, p in zip(workers[8:], own):
        assert len(check_invariants(p)["signals"]) == w.appended
    # The run met what it is meant to meet: conflicts on the shared protocol from other threads
    # and from call-backs, and refused values.
    assert sum(w.conflicts for w in shared_workers) > 0
    assert sum(w.conflicts for w in workers[8:]) > 0
    assert sum(w.panics for w in workers) > 0
    # Every protocol is free again.
    for p in [shared, *own]:
        p.set_session_duration(DURATIONS[1])
        assert p.get_num_samples() == 100
