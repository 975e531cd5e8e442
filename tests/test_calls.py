"""The call machinery: argument binding, conversions, access conflicts and PanicException."""

import pytest

from pyqelm import Channel, Coil, Protocol

from support import CallsBack, panic_type, settings_of


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: Protocol(1), "Protocol.__new__() takes 0 positional arguments but 1 was given"),
        (lambda p: Protocol(1, 2), "Protocol.__new__() takes 0 positional arguments but 2 were given"),
        (lambda p: Protocol(x=1), "Protocol.__new__() got an unexpected keyword argument 'x'"),
        (lambda p: p.set_session_duration(),
         "Protocol.set_session_duration() missing 1 required positional argument: 'duration'"),
        (lambda p: p.set_amplitude_source(),
         "Protocol.set_amplitude_source() missing 2 required positional arguments: 'coil' and 'index'"),
        (lambda p: p.add_ramp_signal(),
         "Protocol.add_ramp_signal() missing 3 required positional arguments: "
         "'peak', 'up_duration', and 'down_duration'"),
        (lambda p: p.add_ramp_signal(1.0, down_duration=2.0),
         "Protocol.add_ramp_signal() missing 1 required positional argument: 'up_duration'"),
        (lambda p: p.set_amplitude_source(Coil.A1, 0, False, 1),
         "Protocol.set_amplitude_source() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda p: p.add_sine_signal(1, 2, 3, 4, 5),
         "Protocol.add_sine_signal() takes from 2 to 4 positional arguments but 5 were given"),
        (lambda p: p.set_session_duration(1.0, 2.0),
         "Protocol.set_session_duration() takes 1 positional arguments but 2 were given"),
        (lambda p: p.enable_channel(Channel.A, channel=Channel.B),
         "Protocol.enable_channel() got multiple values for argument 'channel'"),
        (lambda p: p.add_mixed_signal(a_idx=1, a_idx2=1, **{"b_idx": 2}),
         "Protocol.add_mixed_signal() got an unexpected keyword argument 'a_idx2'"),
        # keyword errors come before the missing-argument check
        (lambda p: p.enable_channel(chan=Channel.A),
         "Protocol.enable_channel() got an unexpected keyword argument 'chan'"),
        (lambda p: p.save(), "Protocol.save() missing 1 required positional argument: 'filepath'"),
    ],
)
def test_binding_messages(p, call, message):
    with pytest.raises(TypeError) as info:
        call(p)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda p: p.enable_channel(0), TypeError, "argument 'channel': 'int' object cannot be cast as 'Channel'"),
        (lambda p: p.enable_channel(Coil.A1), TypeError,
         "argument 'channel': 'Coil' object cannot be cast as 'Channel'"),
        (lambda p: p.set_amplitude_source(Channel.A, 0), TypeError,
         "argument 'coil': 'Channel' object cannot be cast as 'Coil'"),
        (lambda p: p.set_modulation_source(Coil.A1, 0), TypeError,
         "argument 'channel': 'Coil' object cannot be cast as 'Channel'"),
        (lambda p: p.set_amplitude_source(Coil.A1, 0, external=1), TypeError,
         "argument 'external': 'int' object cannot be cast as 'bool'"),
        (lambda p: p.set_amplitude_source(Coil.A2, 2, external=None), TypeError,
         "argument 'external': 'NoneType' object cannot be cast as 'bool'"),
        (lambda p: p.set_amplitude_source(Coil.A1, 1.0), TypeError,
         "argument 'index': 'float' object cannot be interpreted as an integer"),
        (lambda p: p.set_session_duration("5"), TypeError, "argument 'duration': must be real number, not str"),
        (lambda p: p.add_sine_signal(1.0, 10.0, None), TypeError, "argument 'phase': must be real number, not NoneType"),
        (lambda p: p.save(5), TypeError, "argument 'filepath': 'int' object cannot be cast as 'str'"),
        (lambda p: p.save(b"x.qelm"), TypeError, "argument 'filepath': 'bytes' object cannot be cast as 'str'"),
        (lambda p: p.set_amplitude_source(Coil.A1, -1), OverflowError, None),
        (lambda p: p.set_amplitude_source(Coil.A1, 2**64), OverflowError, None),
        (lambda p: p.add_mixed_signal(-1, 0), OverflowError, None),
        (lambda p: p.set_session_duration(10**400), OverflowError, None),
        (lambda p: p.save("bad\udc80.qelm"), UnicodeEncodeError, None),
    ],
)
def test_conversion_errors_leave_settings_unchanged(p, call, exc_type, message):
    before = str(p)
    with pytest.raises(exc_type) as info:
        call(p)
    assert type(info.value) is exc_type  # not rewrapped, not a subclass
    if message is not None:
        assert str(info.value) == message
    assert str(p) == before


def test_rewrapped_type_error_keeps_the_original_cause(p):
    root = ValueError("root")

    class Bad:
        def __float__(self):
            try:
                raise root
            except ValueError as exc:
                raise TypeError("no float here") from exc

    with pytest.raises(TypeError) as info:
        p.set_session_duration(Bad())
    assert str(info.value) == "argument 'duration': no float here"
    assert info.value.__cause__ is root


@pytest.mark.parametrize(
    "value, expected",
    [(5, 5.0), (True, 1.0), (2.5, 2.5)],
)
def test_float_conversion_accepts_numbers(p, value, expected):
    p.set_session_duration(value)
    assert settings_of(p)["session_duration"] == expected


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_unsigned_conversion_accepts_index_objects_and_bools(p):
    p.set_amplitude_source(Coil.A1, Index(7))
    p.set_amplitude_source(Coil.A2, True)
    ch = settings_of(p)["channel_a_settings"]
    assert ch["amplitude1_source"]["internal"] == 7
    assert ch["amplitude2_source"]["internal"] == 1


def test_numpy_bools_are_accepted_as_bool(p):
    np = pytest.importorskip("numpy")
    p.set_amplitude_source(Coil.B1, 4, external=np.True_)
    p.set_modulation_source(Channel.B, 2, np.bool_(False))
    ch = settings_of(p)["channel_b_settings"]
    assert ch["amplitude1_source"] == {"internal": 0, "external": 4, "external_selected": True}
    assert ch["modulation_source"] == {"internal": 2, "external": 0, "external_selected": False}
    with pytest.raises(TypeError, match="argument 'external': 'int64' object cannot be cast as 'bool'"):
        p.set_amplitude_source(Coil.B1, 4, external=np.int64(1))


def test_a_class_named_like_numpy_bool_without_truth_slot(p):
    fake = type("bool_", (), {"__module__": "numpy"})
    with pytest.raises(TypeError) as info:
        p.set_amplitude_source(Coil.A1, 0, external=fake())
    assert str(info.value) == f"argument 'external': object of type '{fake}' does not define a '__bool__' conversion"


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        ("set_session_duration", "get_sampling_rate", "Already mutably borrowed"),
        ("set_session_duration", "get_num_samples", "Already borrowed"),
        ("add_constant_signal", "__str__", "Already mutably borrowed"),
        ("set_amplitude_source", "get_num_samples", "Already borrowed"),
    ],
)
def test_reentrant_calls_fail_with_runtime_error_and_leave_protocol_usable(p, outer, inner, message):
    before = str(p)
    arg = CallsBack(inner, p)
    with pytest.raises(RuntimeError) as info:
        if outer == "set_amplitude_source":
            p.set_amplitude_source(Coil.A1, arg)
        else:
            getattr(p, outer)(arg)
    assert type(info.value) is RuntimeError
    assert str(info.value) == message
    assert str(p) == before
    assert p.get_num_samples() == 300000
    p.set_session_duration(2.0)
    assert p.get_num_samples() == 10000


def test_panic_exception_properties(p, capfd):
    with pytest.raises(BaseException) as info:
        p.set_session_duration(0.001)
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__module__ == "pyo3_runtime"
    assert type(exc).__qualname__ == "PanicException"
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert str(exc) == "assertion failed: duration >= 0.01"
    assert exc.args == ("assertion failed: duration >= 0.01",)
    assert type(exc).__doc__
    assert type(exc) is panic_type()  # created once
    assert p.get_num_samples() == 300000
    err = capfd.readouterr().err
    assert "assertion failed: duration >= 0.01" in err
    assert "config_methods.cpp" in err


def test_except_exception_does_not_catch_panics(p):
    with pytest.raises(BaseException):
        try:
            p.set_stimulation_intensity(2.0)
        except Exception:  # noqa: BLE001
            pytest.fail("PanicException must not be an Exception")


def test_descriptor_refuses_foreign_receiver():
    with pytest.raises(TypeError):
        Protocol.get_num_samples(object())
    with pytest.raises(TypeError):
        Protocol.set_session_duration(Coil.A1, 1.0)


def test_noargs_methods_refuse_arguments(p):
    with pytest.raises(TypeError):
        p.get_num_samples(1)
    with pytest.raises(TypeError):
        p.get_sampling_rate(x=1)
