"""Random arguments of every kind thrown at every method, by position and by keyword: each call
either succeeds or raises one of the errors the module documents, and a failed call leaves the
protocol exactly as it was."""

import atexit
import math
import os
import shutil
import tempfile
import time
import warnings

import pytest

hypothesis = pytest.importorskip("hypothesis")
np = pytest.importorskip("numpy")

from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

from pyqelm import Channel, Coil, Protocol  # noqa: E402

from support import BORROW_MESSAGES, panic_type, parse_text, settings_of  # noqa: E402

# A few seconds in all (a fraction of the examples under the sanitizers, where every allocation
# costs a stack walk); no example database is written into the tree.
RANDOM_CALLS = settings(
    max_examples=60 if os.environ.get("PYQELM_SANITIZED") == "1" else 200,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

PARAMETERS = {
    "set_stimulation_intensity": ("intensity",),
    "set_session_duration": ("duration",),
    "enable_channel": ("channel",),
    "set_amplitude_source": ("coil", "index", "external"),
    "set_modulation_source": ("channel", "index", "external"),
    "add_constant_signal": ("value",),
    "add_sine_signal": ("amplitude", "frequency", "phase", "depth"),
    "add_ramp_signal": ("peak", "up_duration", "down_duration"),
    "add_mixed_signal": ("a_idx", "b_idx"),
    "add_arbitrary_signal": ("samples",),
    "get_num_samples": (),
    "get_sampling_rate": (),
    "save": ("filepath",),
}
SAVE_DIR = tempfile.mkdtemp(prefix="pyqelm-random-")
atexit.register(shutil.rmtree, SAVE_DIR, ignore_errors=True)


PANIC = panic_type()


def settings_of_text(text):
    return parse_text(text)["settings"]


class Boom(Exception):
    pass


# --- misbehaving arguments: built per call, since some of them call back into the protocol -----


class Misbehaving:
    """An argument whose __float__, __index__ and __bool__ do `action` and return `result`."""

    raises = ()  # the exception types this argument may raise through the call
    reenters = False

    def __init__(self, protocol):
        self.p = protocol

    def _convert(self):
        return self.result

    def __float__(self):
        return self._convert()

    def __index__(self):
        return self._convert()

    def __repr__(self):
        return type(self).__name__


def misbehaving(name, action, result=1, raises=(), reenters=False):
    def _convert(self):
        action(self.p)
        return result

    return type(name, (Misbehaving,), {"_convert": _convert, "raises": raises, "reenters": reenters})


def _raise(exc):
    def action(_):
        raise exc

    return action


def _swallowing(method):
    """Calls back into the protocol, is refused, carries on: the outer call may succeed."""

    def action(p):
        try:
            method(p)
        except RuntimeError as exc:
            assert str(exc) in BORROW_MESSAGES
        else:
            raise AssertionError("a protocol in use accepted a call")

    return action


MISBEHAVING = [
    misbehaving("RaisesBoom", _raise(Boom("boom")), raises=(Boom,)),
    misbehaving("RaisesValueError", _raise(ValueError("bad")), raises=(ValueError,)),
    misbehaving("RaisesTypeError", _raise(TypeError("no")), raises=()),
    misbehaving("RaisesOverflow", _raise(OverflowError("big")), raises=()),
    misbehaving("ReturnsText", lambda p: None, result="1.0"),
    misbehaving("ReturnsHuge", lambda p: None, result=2**80),
    misbehaving("ReturnsNegative", lambda p: None, result=-5),
    misbehaving("CallsNumSamples", lambda p: p.get_num_samples(), reenters=True),
    misbehaving("CallsRate", lambda p: p.get_sampling_rate(), reenters=True),
    misbehaving("CallsStr", lambda p: str(p), reenters=True),
    misbehaving("CallsAdd", lambda p: p.add_constant_signal(0.5), reenters=True),
    misbehaving("SwallowsConflict", _swallowing(lambda p: p.set_session_duration(0.02)), result=3),
    misbehaving("SwitchesThreads", lambda p: time.sleep(0), result=0),
]


def numpy_bool_lookalike(name, truth):
    """A class that passes for NumPy's bool by its names; its truth value is `truth`."""
    namespace = {"__module__": "numpy"}
    if truth is not None:
        namespace["__bool__"] = lambda self: truth()
    return type(name, (), namespace)


class ExoticFloat(float):
    pass


class ExoticStr(str):
    def __str__(self):
        raise Boom("never called")


# --- strategies ---------------------------------------------------------------------------------

ints = st.one_of(
    st.integers(min_value=-10, max_value=100),
    st.integers(),
    st.sampled_from([2**63, 2**64 - 1, 2**64, -(2**64), 10**400, -1]),
)
floats = st.one_of(
    st.floats(),
    st.sampled_from([0.0, -0.0, 0.01, 0.00999, 1.0, 1.0000000000000002, 1800.0, 1800.0000000000002,
                     math.nan, math.inf, -math.inf, 5e-324]),
)
texts = st.one_of(
    st.text(max_size=12),
    st.sampled_from(["\udc80", "a\ud800b.qelm", "x.qelm\udfff"]),
)


def cast(array, dtype):
    with np.errstate(invalid="ignore"):
        return array.astype(dtype)


def arrays():
    lengths = st.sampled_from([0, 1, 49, 50, 51, 100])
    dtypes = st.sampled_from(["<f8", ">f8", "<f4", "<i8", "u1", "?", "O", "<c16"])
    plain = st.builds(lambda n, dt, v: cast(np.full(n, v), dt), lengths, dtypes,
                      st.sampled_from([0.0, 0.5, 1.0, 1.5, -0.5, math.nan]))
    shaped = st.sampled_from([np.zeros((50, 1)), np.zeros((1, 50)), np.array(0.5), np.zeros(100)[::2],
                              np.zeros(150)[::-3], np.linspace(0.0, 1.0, 50)])
    structured = st.just(np.zeros(50, dtype=[("a", "<i4"), ("t", "<f8")])["t"])
    return st.one_of(plain, shaped, structured)


def paths():
    name = st.text(st.characters(blacklist_characters="/\0"), max_size=10)
    ext = st.sampled_from([".qelm", ".QELM", ".qelm ", "", ".qel"])
    inside = st.builds(lambda n, e: f"{SAVE_DIR}/{n}{e}", name, ext).filter(
        lambda path: os.path.basename(path) not in (".", ".."))
    odd = st.sampled_from([f"{SAVE_DIR}/missing/p.qelm", f"{SAVE_DIR}/dir.qelm", f"{SAVE_DIR}/nul\0.qelm",
                           f"{SAVE_DIR}/bad\udc80.qelm", ExoticStr(f"{SAVE_DIR}/sub.qelm")])
    return st.one_of(inside, odd)


def values():
    return st.one_of(
        st.none(), st.booleans(), ints, floats, texts, st.binary(max_size=4), paths(),
        st.sampled_from([Coil.A1, Coil.A2, Coil.B1, Coil.B2, Channel.A, Channel.B, Coil, Channel, Protocol]),
        st.sampled_from([np.float64(0.5), np.float32(0.25), np.int64(3), np.uint64(2**64 - 1), np.int8(-1),
                         np.bool_(True), np.bool_(False), np.float64(math.nan), np.complex128(1j)]),
        st.builds(ExoticFloat, floats),
        arrays(),
        st.sampled_from(MISBEHAVING),  # a class: instantiated with the protocol at call time
        st.sampled_from([
            numpy_bool_lookalike("bool_", lambda: True),
            numpy_bool_lookalike("bool", None),
            numpy_bool_lookalike("bool_", lambda: (_ for _ in ()).throw(Boom("truth"))),
        ]),
        st.builds(object),
    )


# Values of the right kind for each parameter, so that calls get past the first argument often
# enough to reach the later conversions, the checks and the changes.
FITTING = {
    "index": st.one_of(st.integers(min_value=0, max_value=10), ints, st.sampled_from([np.int64(2), True])),
    "coil": st.sampled_from([Coil.A1, Coil.A2, Coil.B1, Coil.B2]),
    "channel": st.sampled_from([Channel.A, Channel.B]),
    "external": st.one_of(st.booleans(), st.sampled_from([np.bool_(True), np.bool_(False)])),
    "samples": arrays(),
    "filepath": paths(),
    "number": st.one_of(floats, st.integers(min_value=-5, max_value=5), st.sampled_from([np.float64(0.5), 0.02])),
}
KIND = {"index": "index", "a_idx": "index", "b_idx": "index", "coil": "coil", "channel": "channel",
        "external": "external", "samples": "samples", "filepath": "filepath"}

# How each parameter is passed: mostly by position or keyword, now and then not at all.
placements = st.sampled_from(["position"] * 6 + ["keyword"] * 5 + ["absent"])


@st.composite
def calls(draw):
    method = draw(st.sampled_from(sorted(PARAMETERS)))
    given_args = []
    for name in PARAMETERS[method]:
        # Three times in four a value of the parameter's own kind.
        fitting = draw(st.integers(0, 3)) < 3
        value = draw(FITTING[KIND.get(name, "number")] if fitting else values())
        given_args.append((name, draw(placements), value))
    extra = draw(st.sampled_from([None] * 12 + ["position", "keyword"]))
    extra_value = draw(values()) if extra else None
    return method, given_args, extra, extra_value


# --- the test -----------------------------------------------------------------------------------


def materialise(value, protocol):
    if isinstance(value, type) and issubclass(value, Misbehaving):
        return value(protocol)
    if isinstance(value, type) and value.__module__ == "numpy" and value.__name__ in ("bool_", "bool"):
        return value()
    return value


def one_call(p, method, given_args, extra, extra_value):
    """Calls `method` as drawn; returns the exception it raised (None on success)."""
    allowed = {TypeError, OverflowError, PANIC}

    def prepare(value):
        """The argument as passed, and what it lets the call raise besides the documented."""
        value = materialise(value, p)
        if isinstance(value, Misbehaving):
            allowed.update(value.raises)
            if value.reenters:
                allowed.add(RuntimeError)
        if type(value).__module__ == "numpy" and type(value).__name__ in ("bool_", "bool") \
                and type(value) is not np.bool_:
            allowed.add(Boom)  # the lookalike whose truth value raises
        if method == "save" and isinstance(value, str):
            try:
                value.encode("utf-8")
            except UnicodeEncodeError:
                allowed.add(UnicodeEncodeError)
        return value

    positional, keywords = [], {}
    positional_open = True
    for name, placement, value in given_args:
        if placement == "position" and positional_open:
            positional.append(prepare(value))
        elif placement == "keyword":
            keywords[name] = prepare(value)
        positional_open &= placement == "position"
    if extra == "position":
        positional.append(prepare(extra_value))
    elif extra == "keyword":
        keywords["unexpected"] = prepare(extra_value)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # NumPy's casting complaints are not the subject
            getattr(p, method)(*positional, **keywords)
    except BaseException as exc:  # noqa: BLE001
        assert type(exc) in allowed, f"{method}(*{positional!r}, **{keywords!r}) raised {exc!r}"
        if type(exc) is RuntimeError:
            assert str(exc) in BORROW_MESSAGES
        return exc
    return None


def assert_unchanged_after_failure(p, method, before_text, exc):
    if str(p) == before_text:
        return
    # The one change a failed call may leave: the signal that `save` supplies to an empty list
    # before it meets the file system. (Compared through repr: a NaN is not equal to itself.)
    assert method == "save" and type(exc) is PANIC, f"{method} failed with {exc!r} and changed the protocol"
    before, after = settings_of_text(before_text), settings_of(p)
    assert before["signals"] == [] and after["signals"] == [("Constant", {"value": 0.0})]
    assert repr({**after, "signals": []}) == repr(before)


@RANDOM_CALLS
@given(st.lists(calls(), min_size=1, max_size=6))
def test_random_arguments_raise_only_documented_errors(sequence):
    os.makedirs(f"{SAVE_DIR}/dir.qelm", exist_ok=True)
    p = Protocol()
    p.set_session_duration(0.01)  # 50 samples, so that right-length arrays come up
    for method, given_args, extra, extra_value in sequence:
        before = str(p)
        exc = one_call(p, method, given_args, extra, extra_value)
        if exc is not None:
            assert_unchanged_after_failure(p, method, before, exc)
        elif method.startswith("add_"):
            assert len(settings_of(p)["signals"]) == len(settings_of_text(before)["signals"]) + 1
    # Whatever happened, the protocol is free and usable afterwards.
    p.set_session_duration(0.02)
    assert p.get_num_samples() == 100
    str(p)
