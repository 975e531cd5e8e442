"""Signal-building methods and arbitrary signals read from NumPy arrays."""

import math
import subprocess
import sys

import pytest

import qelmfile
from pyqelm import Protocol

from support import settings_of

np = pytest.importorskip("numpy")

LENGTH = "assertion failed: samples.len() == self.get_num_samples()"
BELOW = "assertion failed: *sample >= 0.0"
ABOVE = "assertion failed: *sample <= 1.0"


def stored_samples(protocol, position):
    variant, payload = settings_of(protocol)["signals"][position]
    assert variant == "Arbitrary"
    return payload["samples"]


@pytest.fixture
def short():
    """A protocol whose session has 62 samples (0.0123 s × 5000, rounded up)."""
    p = Protocol()
    p.set_session_duration(0.0123)
    return p


def test_positions_count_from_zero(p):
    assert p.add_constant_signal(0.5) == 0
    assert p.add_sine_signal(1.0, 10.0) == 1
    assert p.add_ramp_signal(1.0, 2.0, 3.0) == 2
    assert p.add_mixed_signal(99, 99) == 3
    assert p.add_arbitrary_signal(np.zeros(300000)) == 4


def test_sine_defaults_apply_only_to_absent_arguments(p):
    p.add_sine_signal(1.0, 10.0)
    p.add_sine_signal(amplitude=1.0, frequency=10.0, depth=0.5)
    signals = settings_of(p)["signals"]
    assert signals[0][1] == {"amplitude": 1.0, "frequency": 10.0, "phase": 0.0, "depth": 1.0}
    assert signals[1][1] == {"amplitude": 1.0, "frequency": 10.0, "phase": 0.0, "depth": 0.5}
    with pytest.raises(TypeError, match="^argument 'depth': "):
        p.add_sine_signal(1.0, 10.0, 0.0, None)
    assert len(settings_of(p)["signals"]) == 2


def test_values_are_stored_unchecked(p):
    p.add_constant_signal(-math.inf)
    p.add_ramp_signal(-1.0, 0.0, math.nan)
    p.add_mixed_signal(2**64 - 1, 0)
    signals = settings_of(p)["signals"]
    assert signals[0][1]["value"] == -math.inf
    assert math.isnan(signals[1][1]["down_duration"])
    assert signals[2][1] == {"a_idx": 2**64 - 1, "b_idx": 0}


def test_failed_conversion_appends_nothing(p):
    with pytest.raises(OverflowError):
        p.add_mixed_signal(-1, 0)
    with pytest.raises(TypeError, match="^argument 'b_idx': "):
        p.add_mixed_signal(0, 1.5)
    assert p.add_constant_signal(0.0) == 0


@pytest.mark.parametrize(
    "value, sample",
    [(0.0, 0), (-0.0, 0), (1e-5, 0), (0.1, 3277), (0.25, 8192), (0.5, 16384), (0.75, 24575), (1.0, 32767),
     # halves round away from zero; just below a half rounds down
     (0.5 / 32767.0, 1), (2.5 / 32767.0, 3), (32766.5 / 32767.0, 32767)],
)
def test_sample_conversion(short, value, sample):
    short.add_arbitrary_signal(np.full(62, value))
    assert stored_samples(short, 0) == [sample] * 62


def test_conversion_matches_round_half_away_on_random_data(short):
    rng = np.random.default_rng(7)
    data = rng.random(62)
    data[:4] = [0.0, 1.0, 0.5, 1.5 / 32767.0]
    # values whose product lies just below a half must round down (a naive floor(x + 0.5) fails)
    below_half = [math.nextafter(k + 0.5, 0) for k in (0, 1, 1000)]
    data[4:7] = [x / 32767.0 for x in below_half]
    short.add_arbitrary_signal(data)
    assert stored_samples(short, 0) == [round_half_away(x * 32767.0) for x in data]


def round_half_away(x):
    whole = math.floor(x)
    return int(whole) + (1 if x - whole >= 0.5 else 0)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda base: base[::-1].copy()[::-1][::-1], lambda base: base[::-1]),  # reversed view
        (lambda base: base[::-1], lambda base: base[::-1]),
        (lambda base: np.repeat(base, 2)[::2], lambda base: base),  # every second element
        (lambda base: np.lib.stride_tricks.as_strided(base, (62,), (8,)), lambda base: base),
    ],
)
def test_strided_views_are_read_in_logical_order(short, make, expected):
    base = np.linspace(0.0, 1.0, 62)
    short.add_arbitrary_signal(make(base))
    assert stored_samples(short, 0) == [round_half_away(x * 32767.0) for x in expected(base)]


def test_structured_field_with_unaligned_12_byte_stride(short):
    records = np.zeros(62, dtype=np.dtype([("t", "<f8"), ("k", "<i4")], align=False))
    records["t"] = np.linspace(0.0, 1.0, 62)
    records["k"] = -1
    view = records["t"]
    assert view.strides == (12,)
    short.add_arbitrary_signal(view)
    assert stored_samples(short, 0) == [round_half_away(x * 32767.0) for x in np.linspace(0.0, 1.0, 62)]


def test_read_only_subclass_and_non_owning_arrays_are_accepted(short):
    a = np.full(62, 0.5)
    a.flags.writeable = False
    short.add_arbitrary_signal(a)

    class Sub(np.ndarray):
        pass

    short.add_arbitrary_signal(np.full(62, 0.25).view(Sub))
    short.add_arbitrary_signal(np.full(124, 1.0)[:62])
    assert [stored_samples(short, i)[0] for i in range(3)] == [16384, 8192, 32767]


@pytest.mark.parametrize(
    "make, type_name",
    [
        (lambda: [0.5] * 62, "list"),
        (lambda: np.full(62, 0.5, dtype=np.float32), "ndarray"),
        (lambda: np.full((62, 1), 0.5), "ndarray"),
        (lambda: np.array(0.5), "ndarray"),
        (lambda: np.full(62, 1, dtype=np.int64), "ndarray"),
        (lambda: np.full(62, 0.5, dtype=">f8"), "ndarray"),  # non-native byte order
        (lambda: None, "NoneType"),
    ],
)
def test_rejected_array_types(short, make, type_name):
    with pytest.raises(TypeError) as info:
        short.add_arbitrary_signal(make())
    assert str(info.value) == f"argument 'samples': '{type_name}' object cannot be cast as 'ndarray'"
    assert settings_of(short)["signals"] == []


@pytest.mark.parametrize(
    "values, message",
    [
        ({5: -0.1, 9: 2.0}, BELOW),
        ({5: 2.0, 9: -0.1}, ABOVE),
        ({0: math.nan}, BELOW),
        ({61: 1.0000001}, ABOVE),
        ({61: -math.inf}, BELOW),
        ({30: math.inf}, ABOVE),
    ],
)
def test_first_bad_sample_decides_and_nothing_changes(short, values, message):
    a = np.full(62, 0.5)
    for i, v in values.items():
        a[i] = v
    original = a.copy()
    with pytest.raises(BaseException) as info:
        short.add_arbitrary_signal(a)
    assert str(info.value) == message
    assert settings_of(short)["signals"] == []
    assert np.array_equal(a, original, equal_nan=True)


def test_first_bad_sample_across_blocks():
    p = Protocol()
    a = np.full(300000, 0.25)
    a[200001] = 7.0
    a[250000] = -7.0
    with pytest.raises(BaseException, match=r"^assertion failed: \*sample <= 1\.0$"):
        p.add_arbitrary_signal(a)
    a[100] = math.nan
    with pytest.raises(BaseException, match=r"^assertion failed: \*sample >= 0\.0$"):
        p.add_arbitrary_signal(a[::-1][::-1])


@pytest.mark.parametrize("length", [61, 63, 0])
def test_length_must_equal_the_sample_count(short, length):
    with pytest.raises(BaseException) as info:
        short.add_arbitrary_signal(np.zeros(length))
    assert str(info.value) == LENGTH


def test_length_follows_the_duration_at_call_time(p, tmp_path):
    with pytest.raises(BaseException, match="samples.len"):
        p.add_arbitrary_signal(np.zeros(299999))
    p.add_arbitrary_signal(np.zeros(300000))
    p.set_session_duration(0.07)
    p.add_arbitrary_signal(np.full(351, 1.0))
    # Read back from the file: the text form of 300,000 samples parsed in Python takes seconds.
    p.save(str(tmp_path / "p.qelm"))
    lengths = [len(s.samples) for s in qelmfile.load(str(tmp_path / "p.qelm")).signals]
    assert lengths == [300000, 351]  # the earlier signal keeps its length


def test_works_without_numpy_until_an_array_is_needed():
    code = (
        "import sys; sys.modules['numpy'] = None\n"
        "import pyqelm\n"
        "p = pyqelm.Protocol(); p.add_constant_signal(0.5); print(len(str(p)) > 0)\n"
        "try:\n"
        "    p.add_arbitrary_signal([0.0])\n"
        "except BaseException as e:\n"
        "    print(type(e).__name__); print(str(e))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    assert lines[0] == "True"
    assert lines[1] == "PanicException"
    assert lines[2].startswith("Failed to access NumPy array API capsule")


@pytest.mark.parametrize("layout", ["contiguous", "every second", "reversed"])
def test_long_inputs_round_halves_away_from_zero(layout):
    """Halves, values just below and above them and random values, long enough to go through
    the vector loops and several of their chunks; each build on its own is compared in the C++
    suite."""
    p = Protocol()
    p.set_session_duration(2.0)
    n = p.get_num_samples()
    rng = np.random.default_rng(11)
    halves = (rng.integers(0, 32767, n) + 0.5) / 32767.0
    pick = rng.integers(0, 4, n)
    data = np.where(pick == 0, halves, rng.random(n))
    data = np.where(pick == 1, np.nextafter(halves, 0.0), data)
    data = np.where(pick == 2, np.nextafter(halves, 1.0), data)
    if layout == "every second":
        data = np.repeat(data, 2)[::2]
    elif layout == "reversed":
        data = data[::-1].copy()[::-1]
    x = data * 32767.0
    assert np.count_nonzero(x - np.floor(x) == 0.5) > n // 10
    p.add_arbitrary_signal(data)
    assert stored_samples(p, 0) == [round_half_away(v) for v in x.tolist()]
