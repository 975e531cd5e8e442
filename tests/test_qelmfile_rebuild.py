"""ProtocolFile.to_protocol(): a round trip over random protocols built through pyqelm (save,
load, str, rebuild, save again: the same bytes), every sample code, and the refusal of each
field the public methods of Protocol cannot reproduce."""

import math
import os
import struct
import tempfile
import warnings

import pytest

import qelmfile
from pyqelm import Channel, Coil, Protocol

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

U64 = st.integers(0, 2**64 - 1)
ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)
SMALL_DURATION = st.floats(0.01, 0.05)  # arbitrary signals stay short

OPERATIONS = st.one_of(
    st.tuples(st.just("duration"), st.one_of(SMALL_DURATION, st.floats(0.01, 1800.0))),
    st.tuples(st.just("intensity"), st.floats(0.0, 1.0)),
    st.tuples(st.just("enable_b")),
    st.tuples(st.just("amplitude"), st.sampled_from([Coil.A1, Coil.A2, Coil.B1, Coil.B2]), U64,
              st.booleans()),
    st.tuples(st.just("modulation"), st.sampled_from([Channel.A, Channel.B]), U64, st.booleans()),
    st.tuples(st.just("constant"), ANY_FLOAT),
    st.tuples(st.just("sine"), ANY_FLOAT, ANY_FLOAT, ANY_FLOAT, ANY_FLOAT),
    st.tuples(st.just("ramp"), ANY_FLOAT, ANY_FLOAT, ANY_FLOAT),
    st.tuples(st.just("mixed"), U64, U64),
    st.tuples(st.just("arbitrary"), SMALL_DURATION, st.integers(0, 2**32 - 1)),
)


def build(operations):
    p = Protocol()
    for op, *args in operations:
        if op == "duration":
            p.set_session_duration(args[0])
        elif op == "intensity":
            p.set_stimulation_intensity(args[0])
        elif op == "enable_b":
            p.enable_channel(Channel.B)
        elif op == "amplitude":
            p.set_amplitude_source(args[0], args[1], external=args[2])
        elif op == "modulation":
            p.set_modulation_source(args[0], args[1], external=args[2])
        elif op == "constant":
            p.add_constant_signal(args[0])
        elif op == "sine":
            p.add_sine_signal(*args)
        elif op == "ramp":
            p.add_ramp_signal(*args)
        elif op == "mixed":
            p.add_mixed_signal(*args)
        else:
            p.set_session_duration(args[0])
            values = np.random.default_rng(args[1]).random(p.get_num_samples())
            values[:2] = (0.0, 1.0)
            p.add_arbitrary_signal(values)
    return p


@settings(max_examples=60, deadline=None)
@given(st.lists(OPERATIONS, max_size=12))
def test_round_trip_through_the_file_and_back(tmp_path_factory, operations):
    directory = tmp_path_factory.mktemp("round")
    p = build(operations)
    first = directory / "first.qelm"
    p.save(str(first))
    pf = qelmfile.load(first)
    assert str(pf) == str(p)
    rebuilt = pf.to_protocol()
    assert str(rebuilt) == str(p)
    second = directory / "second.qelm"
    rebuilt.save(str(second))
    assert second.read_bytes() == first.read_bytes()
    assert qelmfile.load(second) == pf and qelmfile.diff(pf, qelmfile.load(second)) == []


def test_every_sample_code_survives_the_rebuild(tmp_path):
    p = Protocol()
    p.set_session_duration(6.6)
    n = p.get_num_samples()
    codes = np.arange(n) % 32768
    p.add_arbitrary_signal(codes / 32767.0)
    p.set_session_duration(12.5)  # the final duration differs from the signal's
    first = tmp_path / "first.qelm"
    p.save(str(first))
    pf = qelmfile.load(first)
    assert np.array_equal(pf.signals[0].samples, codes)
    second = tmp_path / "second.qelm"
    pf.to_protocol().save(str(second))
    assert second.read_bytes() == first.read_bytes()


@pytest.mark.parametrize("n", [50, 51, 351, 4999, 5001, 9_000_000 - 1, 9_000_000])
def test_every_reachable_sample_count_is_rebuilt(n):
    p = Protocol()
    p.set_session_duration(0.01)
    p.add_constant_signal(0.0)
    data = bytearray(qelmfile_bytes(p))
    # The constant at offset 150 becomes an arbitrary signal of n zero samples (a byte each).
    data[150:160] = b"\x01\x04" + varint(n) + bytes(n)
    rebuilt = qelmfile.loads(bytes(data)).to_protocol()
    assert rebuilt.get_num_samples() == 50  # the session's own duration is restored
    assert str(rebuilt) == str(qelmfile.loads(bytes(data)))


def qelmfile_bytes(p):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "p.qelm")
        p.save(path)
        with open(path, "rb") as f:
            return f.read()


def varint(n):
    out = bytearray()
    while n >= 128:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def f64(x):
    return struct.pack("<d", x)


@pytest.fixture
def default_file(monkeypatch):
    monkeypatch.delenv("QELM_TARGET_MACHINE", raising=False)
    return qelmfile_bytes(Protocol())


def patched(data, offset, new, old_length=None):
    return data[:offset] + new + data[offset + (len(new) if old_length is None else old_length):]


def arbitrary(samples):
    body = b"".join(varint(((s << 1) ^ (s >> 15)) & 0xFFFF) for s in samples)
    return b"\x01\x04" + varint(len(samples)) + body


REFUSALS = [
    ("target machine", lambda d: patched(d, 0, b"\x01"), "running_on_target_machine",
     "QELM_TARGET_MACHINE"),
    ("supply voltage", lambda d: patched(d, 1, f64(80.5)), "machine_config.supply_voltage",
     "no method changes the machine description"),
    ("coil name", lambda d: patched(d, 12, b"d"), "machine_config.coils[0].name", '"default"'),
    ("no coils", lambda d: patched(d, 10, b"\x00", 53), "machine_config.coils", "0 entries"),
    ("intensity", lambda d: patched(d, 134, f64(1.5)), "intensity", "0.0 to 1.0"),
    ("intensity NaN", lambda d: patched(d, 134, f64(math.nan)), "intensity", "NaN"),
    ("short session", lambda d: patched(d, 142, f64(0.005)), "session_duration", "0.01 to 1800.0"),
    ("long session", lambda d: patched(d, 142, f64(1800.5)), "session_duration", "1800.5"),
    ("no signals", lambda d: patched(d, 150, b"\x00", 10), "signals", "empty signal list"),
    ("few samples", lambda d: patched(d, 150, arbitrary([1] * 49), 10), "signals[0].samples",
     "49 samples"),
    ("negative sample", lambda d: patched(d, 150, arbitrary([0] * 20 + [-1] + [0] * 29), 10),
     "signals[0].samples[20]", "the file has -1"),
    ("channel A off", lambda d: patched(d, 160, b"\x00"), "channel_a_settings.enabled",
     "no method disables a channel"),
    ("unselected external", lambda d: patched(d, 162, b"\x05"),
     "channel_a_settings.amplitude1_source.external", "side not selected"),
    ("unselected internal", lambda d: patched(d, 173, b"\x03\x00\x01"),
     "channel_b_settings.amplitude1_source.internal", "side not selected"),
    ("coil_idx", lambda d: patched(d, 170, b"\x01"), "channel_a_settings.coil_idx",
     "no method changes it from 0"),
    ("coil_setting_idx", lambda d: patched(d, 183, b"\x02"), "channel_b_settings.coil_setting_idx",
     "the file has 2"),
    ("monitor flag", lambda d: patched(d, 187, b"\x01"), "monitor_trace_visible[3]",
     "the file has true"),
    ("subsampling", lambda d: patched(d, 200, b"\x02"), "monitor_subsampling_factor",
     "no method changes it from 1"),
]


@pytest.mark.parametrize("mutate, field, reason", [r[1:] for r in REFUSALS],
                         ids=[r[0] for r in REFUSALS])
def test_what_the_methods_cannot_rebuild_is_refused_by_field(default_file, mutate, field, reason):
    pf = qelmfile.loads(mutate(default_file))
    with pytest.raises(ValueError) as caught:
        pf.to_protocol()
    assert not isinstance(caught.value, qelmfile.FormatError)
    assert str(caught.value).startswith(field + ": "), str(caught.value)
    assert reason in str(caught.value)


ACCEPTED = [
    ("default", lambda d: d),
    ("channel B on", lambda d: patched(d, 172, b"\x01")),
    ("selected external", lambda d: patched(d, 161, b"\x00\x05\x01")),
    ("source of disabled B", lambda d: patched(d, 179, b"\x07")),
    ("negative zero intensity", lambda d: patched(d, 134, f64(-0.0))),
    ("NaN constant", lambda d: patched(d, 152, struct.pack("<Q", 0x7FF4000000000001))),
    ("samples", lambda d: patched(d, 150, arbitrary([0, 32767] * 25), 10)),
]


@pytest.mark.parametrize("mutate", [a[1] for a in ACCEPTED], ids=[a[0] for a in ACCEPTED])
def test_what_the_methods_can_rebuild_saves_the_same_bytes(tmp_path, default_file, mutate):
    data = mutate(default_file)
    pf = qelmfile.loads(data)
    path = tmp_path / "rebuilt.qelm"
    pf.to_protocol().save(str(path))
    assert path.read_bytes() == data


def test_the_target_machine_flag_follows_the_environment(tmp_path, monkeypatch):
    # Not the empty text: Windows deletes a variable set to it.
    monkeypatch.setenv("QELM_TARGET_MACHINE", "yes")
    data = qelmfile_bytes(Protocol())
    assert data[0] == 1
    path = tmp_path / "target.qelm"
    qelmfile.loads(data).to_protocol().save(str(path))
    assert path.read_bytes() == data
    with pytest.raises(ValueError, match="^running_on_target_machine: the file has false"):
        qelmfile.loads(b"\x00" + data[1:]).to_protocol()


@pytest.mark.parametrize("in_file, here", [(True, False), (False, True)],
                         ids=["saved on the stimulator", "rebuilt on the stimulator"])
def test_the_target_machine_flag_can_be_let_through(tmp_path, monkeypatch, in_file, here):
    monkeypatch.delenv("QELM_TARGET_MACHINE", raising=False)
    p = Protocol()
    p.set_session_duration(0.01)
    p.set_stimulation_intensity(0.25)
    p.add_sine_signal(1.0, 10.0)
    p.add_arbitrary_signal(np.linspace(0.0, 1.0, 50))
    p.enable_channel(Channel.B)
    p.set_amplitude_source(Coil.B1, 1)
    data = qelmfile_bytes(p)
    data = bytes([in_file]) + data[1:]
    if here:
        monkeypatch.setenv("QELM_TARGET_MACHINE", "yes")
    pf = qelmfile.loads(data)

    with pytest.raises(ValueError) as refused:
        pf.to_protocol()
    assert str(refused.value).startswith(
        f"running_on_target_machine: the file has {str(in_file).lower()}, but Protocol() sets "
        f"{str(here).lower()} in this process")
    assert "to_protocol(allow_target_machine=True)" in str(refused.value)

    with pytest.warns(UserWarning) as warned:
        rebuilt = pf.to_protocol(allow_target_machine=True)
    assert len(warned) == 1
    assert str(warned[0].message).startswith(
        f"running_on_target_machine: the file has {str(in_file).lower()}, but the rebuilt "
        f"Protocol has {str(here).lower()}")
    path = tmp_path / "rebuilt.qelm"
    rebuilt.save(str(path))
    again = path.read_bytes()
    # Everything but the flag is the file's.
    assert again[0] == here and again[1:] == data[1:]
    assert qelmfile.diff(pf, qelmfile.load(path)) == [
        ("running_on_target_machine", in_file, here)]


def test_letting_the_flag_through_changes_nothing_else(monkeypatch, default_file):
    # The opt-in covers the flag only: other refusals stand, and a matching flag gives no warning.
    with pytest.raises(ValueError, match="^channel_a_settings.enabled: "):
        qelmfile.loads(patched(default_file, 160, b"\x00")).to_protocol(allow_target_machine=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        qelmfile.loads(default_file).to_protocol(allow_target_machine=True)
    with pytest.raises(TypeError):
        qelmfile.loads(default_file).to_protocol(True)
