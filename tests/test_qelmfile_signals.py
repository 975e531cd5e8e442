"""The signals of a loaded file, which stay in the file's bytes and are decoded when asked for:
the same signals, text, checks and comparisons as a file decoded whole (loads), whatever the
mix of small signals and long sample lists, and the sequence `signals` behaving as the tuple it
stands for."""

import gc
import random
import struct
import subprocess

import pytest

import qelmfile
from pyqelm import Protocol

from support import INSPECT, varint

np = pytest.importorskip("numpy")


def constant(value):
    return b"\x00" + struct.pack("<d", value)


def sine(amplitude, frequency=10.0, phase=0.0, depth=1.0):
    return b"\x01" + struct.pack("<4d", amplitude, frequency, phase, depth)


def ramp(peak):
    return b"\x02" + struct.pack("<3d", peak, 0.5, 0.25)


def mixed(a, b):
    return b"\x03" + varint(a) + varint(b)


def arbitrary(codes):
    return b"\x04" + varint(len(codes)) + b"".join(varint((c << 1) ^ (c >> 15)) for c in codes)


def file_of(tmp_path, signals, name="many.qelm"):
    """A new protocol's file with `signals` (encoded) as its signal list."""
    base_path = tmp_path / "base.qelm"
    Protocol().save(str(base_path))
    base = base_path.read_bytes()
    assert base[150:160] == b"\x01" + bytes(9)  # the one Constant 0.0 that save puts in
    path = tmp_path / name
    path.write_bytes(base[:150] + varint(len(signals)) + b"".join(signals) + base[160:])
    return path


def small_signals(count, seed):
    rng = random.Random(seed)
    makers = [lambda i: constant(i / 7),
              lambda i: sine(i / 3, phase=-i),
              lambda i: ramp(float(i)),
              lambda i: mixed(rng.randrange(count + 3), rng.randrange(count)),
              lambda i: arbitrary([rng.randrange(-5, 32768) for _ in range(rng.randrange(64))])]
    return [rng.choice(makers)(i) for i in range(count)]


def layout(name):
    rng = random.Random(name)
    if name == "small":
        return small_signals(700, 1)
    if name == "long lists among small":
        # Lists of at least 64 samples are only validated at load; the 40,000-sample ones span
        # whole pages, which are given back once their samples are decoded.
        signals = small_signals(300, 2)
        for at, n in [(0, 40_000), (5, 64), (6, 63), (100, 40_000), (101, 70), (299, 5000)]:
            signals.insert(at, arbitrary([rng.randrange(32768) for _ in range(n)]))
        signals.append(arbitrary([32767] * 20_000))
        return signals
    if name == "wide signals":
        return [sine(float(i), depth=i / 9) for i in range(400)]  # 33 bytes each
    if name == "one":
        return [mixed(0, 0)]
    raise AssertionError(name)


LAYOUTS = ["small", "long lists among small", "wide signals", "one"]


@pytest.mark.parametrize("name", LAYOUTS)
@pytest.mark.parametrize("samples_first", [False, True], ids=["samples later", "samples first"])
def test_every_signal_reads_as_in_the_whole_decoding(tmp_path, name, samples_first):
    path = file_of(tmp_path, layout(name))
    pf, whole = qelmfile.load(path), qelmfile.loads(path.read_bytes())
    signals, expected = pf.signals, whole.signals
    assert len(signals) == len(expected)
    if samples_first:  # decodes every long list, giving back the pages of its bytes
        for s in signals:
            if s.kind == "Arbitrary":
                s.samples
    order = list(range(-len(expected), len(expected)))
    random.Random(name).shuffle(order)
    for i in order:
        got, want = signals[i], expected[i]
        assert got == want and repr(got) == repr(want) and str(got) == str(want), i
        if want.kind == "Arbitrary":
            assert np.array_equal(got.samples, want.samples)
    assert [s.kind for s in signals] == [s.kind for s in expected]
    assert str(pf) == str(whole)
    assert [str(f) for f in qelmfile.check(pf)] == [str(f) for f in qelmfile.check(whole)]
    assert pf == whole and qelmfile.diff(pf, whole) == []


@pytest.mark.skipif(INSPECT is None, reason="qelm-inspect is not installed")
@pytest.mark.parametrize("name", LAYOUTS)
def test_the_text_form_and_the_findings_of_the_command_are_those_of_the_whole_record(tmp_path,
                                                                                    name):
    path = file_of(tmp_path, layout(name))
    whole = qelmfile.loads(path.read_bytes())
    text = subprocess.run([INSPECT, "--text", path], capture_output=True, timeout=120)
    assert text.returncode == 0 and text.stdout == (str(whole) + "\n").encode()
    check = subprocess.run([INSPECT, "--check", path], capture_output=True, timeout=120)
    findings = [str(f) for f in qelmfile.check(whole)]
    assert check.stdout.decode().splitlines() == (findings or ["ok"])
    summary = subprocess.run([INSPECT, "--summary", path], capture_output=True, timeout=120)
    lines = summary.stdout.decode().splitlines()
    listed = lines[lines.index(f"signals:    {len(whole.signals)}") + 1:][:len(whole.signals)]
    assert [line.split()[1] for line in listed] == [s.kind for s in whole.signals]
    overview = subprocess.run([INSPECT, path], capture_output=True, timeout=120)
    assert overview.returncode == 0 and overview.stdout.startswith(summary.stdout + b"\n")
    assert overview.stdout.endswith(b"}\n") and b"Protocol {" in overview.stdout


@pytest.fixture(scope="module")
def two_files(tmp_path_factory):
    tmp_path = tmp_path_factory.mktemp("seq")
    path = file_of(tmp_path, small_signals(50, 3) + [arbitrary(list(range(100)))])
    other = file_of(tmp_path, small_signals(50, 4), "other.qelm")
    return path, other


OPERATIONS = {
    "len": lambda s: len(s),
    "first": lambda s: s[0],
    "last": lambda s: s[-1],
    "slice": lambda s: s[3:9],
    "reversed slice": lambda s: s[::-3],
    "empty slice": lambda s: s[40:2],
    "iteration": lambda s: [x.kind for x in s],
    "reversed": lambda s: [repr(x) for x in reversed(s)],
    "contains": lambda s: s[7] in s,
    "equal to itself": lambda s: s == s,
    "repr": lambda s: repr(s),
    "unpacking": lambda s: (lambda first, *rest: (first, len(rest)))(*s),
}


@pytest.mark.parametrize("operation", OPERATIONS, ids=list(OPERATIONS))
def test_the_signal_sequence_behaves_as_the_tuple(two_files, operation):
    signals = qelmfile.load(two_files[0]).signals
    assert OPERATIONS[operation](signals) == OPERATIONS[operation](tuple(signals))


@pytest.mark.parametrize("key, error", [(51, IndexError), (-52, IndexError), (10**30, IndexError),
                                        ("0", TypeError), (1.0, TypeError)])
def test_the_signal_sequence_refuses_what_a_tuple_refuses(two_files, key, error):
    signals = qelmfile.load(two_files[0]).signals
    with pytest.raises(error):
        signals[key]
    with pytest.raises(error):
        tuple(signals)[key]


def test_signal_sequences_compare_by_their_signals(two_files):
    path, other = two_files
    a, b, c = qelmfile.load(path), qelmfile.loads(path.read_bytes()), qelmfile.load(other)
    assert a.signals == b.signals and a.signals == tuple(b.signals)
    assert not (a.signals != b.signals)
    assert a.signals != c.signals and a.signals[:50] != c.signals
    assert a.signals != list(b.signals)  # as a tuple is never equal to a list
    with pytest.raises(TypeError):
        hash(a.signals)


def test_the_samples_of_a_small_signal_outlive_its_view_and_the_file(tmp_path):
    codes = [0, 1, 32767, 12345, 7]
    pf = qelmfile.load(file_of(tmp_path, [constant(1.0), arbitrary(codes)]))
    samples = pf.signals[1].samples
    del pf
    gc.collect()
    assert samples.tolist() == codes


def chain_into_cycle(length, cycle):
    """Mixed signals 0 -> 1 -> ... each naming the next, the last `cycle` of them in a ring."""
    ring_start = length - cycle
    return [mixed(i + 1 if i + 1 < length else ring_start, i + 1 if i + 1 < length else ring_start)
            for i in range(length)]


@pytest.mark.parametrize("signals, findings", [
    (chain_into_cycle(10, 3), ["signals[7]: mixed signals 7, 8 and 9 form a cycle: 7 -> 8 -> 9 -> 7"]),
    (chain_into_cycle(40, 2), ["signals[38]: mixed signals 38 and 39 form a cycle: 38 -> 39 -> 38"]),
    (chain_into_cycle(40, 40)[:39] + [constant(0.0)], []),  # a long chain ending nowhere
    ([mixed(1, 1), mixed(0, 0)] + [mixed(0, 1)] * 5000,
     ["signals[0]: mixed signals 0 and 1 form a cycle: 0 -> 1 -> 0"]),
    ([mixed(0, 0)] + [mixed(0, 0)] * 5000, ["signals[0].a_idx: names the mixed signal itself",
                                            "signals[0].b_idx: names the mixed signal itself"]),
    ([mixed(2, 1), mixed(0, 0), mixed(1, 0), constant(1.0)] + [mixed(1, 3)] * 100,
     ["signals[0]: mixed signals 0, 1 and 2 depend on one another in cycles, for example "
      "0 -> 2 -> 0"]),
], ids=["ring after a chain", "ring after a long chain", "chain", "ring named by thousands",
        "thousands naming one", "group"])
def test_cycles_are_found_among_signals_kept_in_the_bytes(tmp_path, signals, findings):
    path = file_of(tmp_path, signals)
    got = [str(f) for f in qelmfile.check(qelmfile.load(path))]
    assert got == findings
    assert [str(f) for f in qelmfile.check(qelmfile.loads(path.read_bytes()))] == findings
