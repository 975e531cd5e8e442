"""qelmfile, the reader: attributes and text form of loaded files, refusals of malformed data
(every truncation of a file, a set of mutations, the same text as qelm-inspect), check() against
qelm-inspect --check, equality and diff(), the sample arrays, and the names of pyqelm."""

import os
import pathlib
import struct
import random
import subprocess
import sys
import tempfile
import threading

import pytest

import qelmfile
from pyqelm import Channel, Coil, Protocol

from support import INSPECT, every_kind

np = pytest.importorskip("numpy")

needs_inspect = pytest.mark.skipif(INSPECT is None, reason="qelm-inspect is not installed")


def saved_bytes(tmp_path, protocol, name="p.qelm"):
    path = tmp_path / name
    protocol.save(str(path))
    return path, path.read_bytes()


@pytest.fixture
def default_file(tmp_path, monkeypatch):
    monkeypatch.delenv("QELM_TARGET_MACHINE", raising=False)
    return saved_bytes(tmp_path, Protocol())[1]


# --- attributes and text form ----------------------------------------------------------------

def test_attributes_are_the_fields_of_the_record(tmp_path):
    path, data = saved_bytes(tmp_path, every_kind())
    pf = qelmfile.load(path)
    assert (pf.session_duration, pf.intensity, pf.monitor_subsampling_factor) == (0.01, 0.25, 1)
    assert pf.monitor_trace_visible == (False,) * 16
    assert [s.kind for s in pf.signals] == ["Sine", "Constant", "Ramp", "Arbitrary", "MixedSignal"]
    sine, constant, ramp, arbitrary, mixed = pf.signals
    assert isinstance(sine, qelmfile.Sine)
    assert (sine.amplitude, sine.frequency, sine.phase, sine.depth) == (1.0, 10.0, 0.25, 0.5)
    assert constant.value == 0.75
    assert (ramp.peak, ramp.up_duration, ramp.down_duration) == (1.0, 0.002, 0.003)
    assert (mixed.a_idx, mixed.b_idx) == (0, 3)
    assert arbitrary.samples.tolist() == [round(v * 32767) for v in np.linspace(0.0, 1.0, 50)]
    a, b = pf.channel_a_settings, pf.channel_b_settings
    assert a.enabled and b.enabled
    assert (a.amplitude2_source.internal, a.amplitude2_source.external_selected) == (4, False)
    m = b.modulation_source
    assert (m.internal, m.external, m.external_selected) == (0, 2, True)
    assert (a.coil_idx, a.coil_setting_idx) == (0, 0)
    config = pf.machine_config
    assert (config.num_coils, config.capacitors, config.possible_capacitances) == (2, (330.0,), (330.0,))
    coil = config.coils[0]
    assert (coil.name, coil.inductance, coil.max_current) == ("Default", 150.0, 0.1)
    setting = coil.settings[0]
    assert (setting.carrier_frequency, setting.clk_ticks_per_sample,
            setting.capacitor_bank_setting) == (22.624434389140273, 221, 1)


@pytest.mark.parametrize("build", [Protocol, every_kind])
def test_str_is_the_text_form_of_the_saved_protocol(tmp_path, build):
    p = build()
    path, data = saved_bytes(tmp_path, p)
    assert str(qelmfile.load(path)) == str(p)
    # A record's own text is the same text at its own indentation level.
    channel = str(qelmfile.load(str(path)).channel_b_settings).replace("\n", "\n" + " " * 8)
    assert f"\n        channel_b_settings: {channel},\n" in str(p)


def test_views_are_read_only_and_cannot_be_made(tmp_path):
    pf = qelmfile.loads(saved_bytes(tmp_path, every_kind())[1])
    with pytest.raises(AttributeError):
        pf.session_duration = 1.0
    with pytest.raises(AttributeError):
        pf.signals[0].amplitude = 2.0
    with pytest.raises(TypeError):
        qelmfile.ProtocolFile()
    with pytest.raises(TypeError):
        type(pf.signals[0])()


def test_views_keep_the_file_alive(tmp_path):
    pf = qelmfile.loads(saved_bytes(tmp_path, every_kind())[1])
    source = pf.channel_b_settings.modulation_source
    samples = pf.signals[3].samples
    del pf
    assert source.external == 2
    assert samples[-1] == 32767


# --- loads on any bytes-like object ------------------------------------------------------------

@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview,
                                  lambda d: memoryview(b"xx" + d)[2:],
                                  lambda d: np.frombuffer(d, dtype=np.uint8)],
                         ids=["bytes", "bytearray", "memoryview", "slice", "ndarray"])
def test_loads_takes_any_contiguous_buffer(tmp_path, wrap):
    p = every_kind()
    data = saved_bytes(tmp_path, p)[1]
    assert str(qelmfile.loads(wrap(data))) == str(p)


@pytest.mark.parametrize("data, error", [("text", TypeError), (None, TypeError),
                                         (memoryview(bytes(400))[::2], BufferError)])
def test_loads_refuses_what_is_not_a_contiguous_buffer(data, error):
    with pytest.raises(error):
        qelmfile.loads(data)


@pytest.mark.skipif(sys.platform == "win32", reason="needs /dev/stdin")
def test_load_reads_a_stream_without_a_size(tmp_path):
    p = Protocol()
    p.add_arbitrary_signal(np.linspace(0.0, 1.0, p.get_num_samples()))  # some 800 kB
    path, data = saved_bytes(tmp_path, p)
    script = ("import sys, qelmfile\n"
              "sys.stdout.write(str(qelmfile.load('/dev/stdin')))\n")
    with open(path, "rb") as source:
        # A pipe: its size is unknown, so the reader grows its buffer as the data comes.
        feeder = subprocess.Popen(["cat"], stdin=source, stdout=subprocess.PIPE)
        result = subprocess.run([sys.executable, "-c", script], stdin=feeder.stdout,
                                capture_output=True, text=True, timeout=60)
        feeder.wait()
    assert result.returncode == 0, result.stderr
    assert result.stdout == str(qelmfile.loads(data))


@pytest.mark.parametrize("what", ["fileno", "False", "True", "0", "float", "None", "file object"])
def test_load_takes_paths_only_and_never_closes_a_descriptor(tmp_path, what):
    path, _ = saved_bytes(tmp_path, Protocol())
    with open(path, "rb") as held:
        argument = {"fileno": held.fileno(), "False": False, "True": True, "0": 0,
                    "float": 3.0, "None": None, "file object": held}[what]
        with pytest.raises(TypeError, match="str, bytes or os.PathLike"):
            qelmfile.load(argument)
        # The caller's descriptor is still open and still at its start.
        assert held.read() == path.read_bytes()


@pytest.mark.parametrize("kind", ["str", "bytes", "PathLike"])
def test_load_takes_every_kind_of_path(tmp_path, kind):
    path, data = saved_bytes(tmp_path, every_kind())
    argument = {"str": str(path), "bytes": bytes(path), "PathLike": path}[kind]
    assert qelmfile.load(argument) == qelmfile.loads(data)


def test_load_reports_a_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        qelmfile.load(tmp_path / "missing.qelm")


# --- malformed data --------------------------------------------------------------------------

def load_bytes(data):
    """qelmfile.load of `data` written to a file: load only validates the samples at first."""
    with tempfile.TemporaryDirectory() as directory:
        path = pathlib.Path(directory) / "f.qelm"
        path.write_bytes(data)
        return qelmfile.load(path)


def format_error(data):
    """The FormatError of loads(data), after checking that load refuses the file alike."""
    errors = []
    for read in (qelmfile.loads, load_bytes):
        with pytest.raises(qelmfile.FormatError) as caught:
            read(data)
        errors.append(caught.value)
    error, loaded = errors
    assert isinstance(error, ValueError)
    assert str(error).startswith(f"offset {error.offset}: {error.field}")
    assert (str(loaded), loaded.offset, loaded.field) == (str(error), error.offset, error.field)
    return error


# Where the default file is cut, and the item the decoder names: the offsets of the file layout.
CUTS = [(0, 0, "running_on_target_machine"), (1, 1, "machine_config.supply_voltage"),
        (9, 9, "machine_config.num_coils"),
        # A count is refused where it stands when the bytes left cannot hold its elements.
        (11, 10, "machine_config.coils"), (43, 43, "machine_config.coils[0].settings"),
        (61, 43, "machine_config.coils[0].settings"),
        (81, 81, "machine_config.num_external_signal_sources"),
        (134, 134, "intensity"), (142, 142, "session_duration"), (150, 150, "signals"),
        (160, 160, "channel_a_settings.enabled"),
        (161, 161, "channel_a_settings.amplitude1_source.internal"),
        (172, 172, "channel_b_settings.enabled"), (190, 190, "monitor_trace_visible[6]"),
        (200, 200, "monitor_subsampling_factor")]


@pytest.mark.parametrize("cut, offset, field", CUTS, ids=[c[2] for c in CUTS])
def test_a_cut_names_the_item_it_falls_in(default_file, cut, offset, field):
    error = format_error(default_file[:cut])
    assert (error.offset, error.field) == (offset, field)
    assert "truncated" in str(error) or "exceeds" in str(error)


@pytest.mark.parametrize("build", [Protocol, every_kind])
def test_every_truncation_is_refused_within_the_data(tmp_path, build):
    data = saved_bytes(tmp_path, build())[1]
    last = 0
    for cut in range(len(data)):
        error = format_error(data[:cut])
        # The refused item starts no later than the cut, and cutting later never moves the
        # refusal back to an earlier item.
        assert last <= error.offset <= cut, (cut, str(error))
        last = error.offset
    qelmfile.loads(data)


def patched(data, offset, new, old_length=None):
    return data[:offset] + new + data[offset + (len(new) if old_length is None else old_length):]


MUTATIONS = [
    ("bool", lambda d: patched(d, 0, b"\x02"), 0, "running_on_target_machine",
     "boolean byte 02 is neither 00 nor 01"),
    ("flag", lambda d: patched(d, 190, b"\x05"), 190, "monitor_trace_visible[6]",
     "boolean byte 05 is neither 00 nor 01"),
    ("kind", lambda d: patched(d, 151, b"\x07"), 151, "signals[0]",
     "signal kind 7 is not one of 0..4"),
    ("overlong", lambda d: patched(d, 9, b"\x82\x00", 1), 9, "machine_config.num_coils",
     "varint is not in its shortest form"),
    ("long varint", lambda d: patched(d, 200, b"\xff" * 10 + b"\x01", 1), 200,
     "monitor_subsampling_factor", "varint longer than 10 bytes"),
    ("wide varint", lambda d: patched(d, 200, b"\xff" * 9 + b"\x02", 1), 200,
     "monitor_subsampling_factor", "varint exceeds 64 bits"),
    ("utf-8", lambda d: patched(d, 12, b"\xff"), 11, "machine_config.coils[0].name",
     "text is not valid UTF-8"),
    ("name count", lambda d: patched(d, 11, b"\xff\x01", 1), 11, "machine_config.coils[0].name",
     "byte count 255 exceeds the 189 bytes left"),
    ("coil count", lambda d: patched(d, 10, b"\x7f"), 10, "machine_config.coils",
     "element count 127 exceeds the 190 bytes left (each element takes at least 26 bytes)"),
    ("trailing", lambda d: d + b"\x00", 201, "", "1 byte left over after the settings record"),
    ("sample", lambda d: patched(d, 150, b"\x01\x04\x01\xff\xff\x07", 10), 153,
     "signals[0].samples[0]", "zig-zag value 131071 exceeds 16 bits"),
]


@pytest.mark.parametrize("mutate, offset, field, message", [m[1:] for m in MUTATIONS],
                         ids=[m[0] for m in MUTATIONS])
def test_a_mutation_is_refused_at_its_offset(default_file, mutate, offset, field, message):
    error = format_error(mutate(default_file))
    assert (error.offset, error.field) == (offset, field)
    assert str(error) == f"offset {offset}: {field}{': ' if field else ''}{message}"


@needs_inspect
@pytest.mark.parametrize("mutate", [m[1] for m in MUTATIONS[:4]] + [lambda d: d[:100]])
def test_the_message_is_the_one_qelm_inspect_prints(tmp_path, default_file, mutate):
    path = tmp_path / "bad.qelm"
    path.write_bytes(mutate(default_file))
    with pytest.raises(qelmfile.FormatError) as caught:
        qelmfile.load(path)
    result = subprocess.run([INSPECT, str(path)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert result.stderr == f"qelm-inspect: {path}: not a well-formed protocol file: {caught.value}\n"


# --- check -----------------------------------------------------------------------------------

def with_findings():
    p = Protocol()
    p.set_session_duration(0.01)
    p.set_stimulation_intensity(0.9)                    # above the set-point 0.3
    p.add_mixed_signal(0, 7)                             # itself and a missing signal
    p.add_mixed_signal(2, 1)                             # 1 and 2 form a cycle
    p.add_mixed_signal(1, 1)
    p.set_session_duration(0.02)
    p.add_arbitrary_signal(np.zeros(100))
    p.set_session_duration(0.01)                         # ... so signal 3 is too long
    p.set_amplitude_source(Coil.A2, 12)
    p.set_modulation_source(Channel.A, 9, external=True)
    p.set_amplitude_source(Coil.B1, 40)                  # channel B is disabled: not checked
    return p


@needs_inspect
@pytest.mark.parametrize("build", [Protocol, every_kind, with_findings])
def test_check_gives_the_findings_of_qelm_inspect(tmp_path, build):
    path, _ = saved_bytes(tmp_path, build())
    findings = qelmfile.check(qelmfile.load(path))
    result = subprocess.run([INSPECT, "--check", str(path)], capture_output=True, text=True,
                            timeout=60)
    lines = result.stdout.splitlines()
    assert [str(f) for f in findings] == ([] if lines == ["ok"] else lines)
    assert all(str(f) == f"{f.field}: {f.message}" for f in findings)
    assert (result.returncode == 1) == bool(findings)


def test_check_reports_fields_by_path(tmp_path):
    findings = qelmfile.check(qelmfile.loads(saved_bytes(tmp_path, with_findings())[1]))
    fields = [f.field for f in findings]
    assert fields[0] == "intensity"
    assert "channel_a_settings.amplitude2_source" in fields
    assert not any(f.startswith("channel_b_settings") for f in fields)
    assert findings == qelmfile.check(qelmfile.loads(saved_bytes(tmp_path, with_findings())[1]))
    with pytest.raises(TypeError, match="ProtocolFile"):
        qelmfile.check(with_findings())


# --- equality and diff -----------------------------------------------------------------------

def test_equal_files_compare_equal_and_have_no_diff(tmp_path):
    a = qelmfile.load(saved_bytes(tmp_path, every_kind(), "a.qelm")[0])
    b = qelmfile.load(saved_bytes(tmp_path, every_kind(), "b.qelm")[0])
    assert a == b and not a != b and qelmfile.diff(a, b) == []
    assert a.signals[0] == b.signals[0] and a.signals[0] != b.signals[1]
    assert a != "not a file"
    with pytest.raises(TypeError):
        hash(a)


def test_diff_lists_paths_with_both_values(tmp_path):
    p, q = every_kind(), every_kind()
    q.set_session_duration(0.02)
    q.set_modulation_source(Channel.B, 2)
    a = qelmfile.load(saved_bytes(tmp_path, p, "a.qelm")[0])
    b = qelmfile.load(saved_bytes(tmp_path, q, "b.qelm")[0])
    assert a != b
    assert qelmfile.diff(a, b) == [
        ("session_duration", 0.01, 0.02),
        ("channel_b_settings.modulation_source.internal", 0, 2),
        ("channel_b_settings.modulation_source.external", 2, 0),
        ("channel_b_settings.modulation_source.external_selected", True, False),
    ]


def test_diff_reports_lists_of_other_length_and_other_kinds_whole(tmp_path):
    p, q = Protocol(), Protocol()
    p.add_constant_signal(-0.0)
    q.add_constant_signal(0.0)
    p.add_sine_signal(1.0, 2.0)
    q.add_ramp_signal(1.0, 2.0, 3.0)
    a = qelmfile.load(saved_bytes(tmp_path, p, "a.qelm")[0])
    b = qelmfile.load(saved_bytes(tmp_path, q, "b.qelm")[0])
    (zero, minus, plus), (kind, sine, ramp) = qelmfile.diff(a, b)
    assert zero == "signals[0].value" and str((minus, plus)) == "(-0.0, 0.0)"
    assert (kind, sine.kind, ramp.kind) == ("signals[1]", "Sine", "Ramp")
    q.add_constant_signal(1.0)
    c = qelmfile.load(saved_bytes(tmp_path, q, "c.qelm")[0])
    [(field, mine, theirs)] = qelmfile.diff(b, c)
    assert (field, len(mine), len(theirs)) == ("signals", 2, 3)


# --- samples ---------------------------------------------------------------------------------

def test_samples_are_a_read_only_view_of_the_decoded_memory(tmp_path):
    pf = qelmfile.loads(saved_bytes(tmp_path, every_kind())[1])
    signal = pf.signals[3]
    first, second = signal.samples, signal.samples
    assert first.dtype == np.int16 and first.shape == (50,)
    assert not first.flags.writeable and np.shares_memory(first, second)
    with pytest.raises(ValueError):
        first[0] = 1
    values = signal.sample_values()
    assert values.dtype == np.float64 and values[-1] == 1.0
    assert np.array_equal(np.round(values * 32767).astype(np.int16), first)


def test_every_code_maps_to_a_value_that_rounds_back_to_it():
    codes = np.arange(32768)
    assert np.array_equal(np.round(codes / 32767.0 * 32767.0), codes)


def test_numpy_is_imported_only_for_samples(tmp_path):
    path, _ = saved_bytes(tmp_path, every_kind())
    script = (
        "import sys, qelmfile\n"
        f"pf = qelmfile.load({str(path)!r})\n"
        "str(pf); qelmfile.check(pf); qelmfile.diff(pf, pf); repr(pf.signals)\n"
        "assert 'numpy' not in sys.modules\n"
        "pf.signals[3].samples\n"
        "assert 'numpy' in sys.modules\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr


# --- samples decoded on first use ------------------------------------------------------------

def with_samples(seed, *widths):
    """A protocol with an arbitrary signal of 1000 random samples for each width (the largest
    code: 63 gives one-byte samples, 8191 up to two bytes, 32767 up to three), a constant
    signal after each."""
    rng = np.random.default_rng(seed)
    p = Protocol()
    p.set_session_duration(0.2)  # 1000 samples
    for width in widths:
        p.add_arbitrary_signal(rng.integers(0, width + 1, 1000) / 32767)
        p.add_constant_signal(0.5)
    return p


def first_uses():
    """Each way a loaded file's samples are first needed."""
    return {
        "samples": lambda pf, ref: np.array_equal(pf.signals[0].samples, ref.signals[0].samples),
        "sample_values": lambda pf, ref: np.array_equal(pf.signals[0].sample_values(),
                                                        ref.signals[0].sample_values()),
        "str": lambda pf, ref: str(pf) == str(ref),
        "signal str": lambda pf, ref: str(pf.signals[0]) == str(ref.signals[0]),
        "repr": lambda pf, ref: repr(pf.signals[0]) == repr(ref.signals[0]),
        "eq": lambda pf, ref: pf == ref and ref == pf,
        "signal eq": lambda pf, ref: pf.signals[-2] == ref.signals[-2],
        "diff": lambda pf, ref: qelmfile.diff(pf, ref) == [] == qelmfile.diff(ref, pf),
        "check": lambda pf, ref: qelmfile.check(pf) == qelmfile.check(ref),
        "to_protocol": lambda pf, ref: str(pf.to_protocol()) == str(ref.to_protocol()),
    }


@pytest.mark.parametrize("widths", [(63,), (8191,), (32767,), (63, 32767, 8191)],
                         ids=["one byte", "two bytes", "three bytes", "three lists"])
@pytest.mark.parametrize("use", list(first_uses()))
def test_load_decodes_the_samples_on_first_use_as_loads_does(tmp_path, widths, use):
    path, data = saved_bytes(tmp_path, with_samples(len(use), *widths))
    pf, ref = qelmfile.load(path), qelmfile.loads(data)
    assert first_uses()[use](pf, ref)
    for i in range(0, 2 * len(widths), 2):
        assert np.array_equal(pf.signals[i].samples, ref.signals[i].samples)
    assert str(pf) == str(ref) and qelmfile.diff(pf, ref) == []
    pf.to_protocol().save(str(tmp_path / "again.qelm"))
    assert (tmp_path / "again.qelm").read_bytes() == data


def test_damaged_samples_are_refused_by_load_as_by_loads(tmp_path):
    data = saved_bytes(tmp_path, with_samples(1, 32767, 63))[1]
    rng = random.Random(5)
    start = data.index(b"\x04\xe8\x07")  # the first arbitrary signal: kind 4, 1000 samples
    for _ in range(300):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            damaged[rng.randrange(start, len(data))] = rng.choice(
                [0x00, 0x03, 0x04, 0x80, 0xFF, rng.randrange(256)])
        damaged = bytes(damaged[:rng.randrange(start, len(data) + 1)] if rng.random() < 0.2
                        else damaged)
        try:
            expected = qelmfile.loads(damaged)
        except qelmfile.FormatError:
            format_error(damaged)  # the same error from load
        else:
            loaded = load_bytes(damaged)
            assert loaded == expected and str(loaded) == str(expected)


def test_threads_needing_the_samples_at_once_see_them_decoded_once(tmp_path):
    path, data = saved_bytes(tmp_path, with_samples(2, 32767))
    expected = qelmfile.loads(data).signals[0].samples
    for _ in range(20):
        pf = qelmfile.load(path)
        barrier = threading.Barrier(4)
        seen = []

        def use(pf=pf, barrier=barrier, seen=seen):
            barrier.wait()
            seen.append(pf.signals[0].samples)

        threads = [threading.Thread(target=use) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(seen) == 4
        assert all(np.array_equal(s, expected) for s in seen)
        assert all(np.shares_memory(s, seen[0]) for s in seen)


# --- pyqelm keeps its names ------------------------------------------------------------------

def test_pyqelm_gains_no_names(tmp_path):
    script = (
        "import pyqelm\n"
        "before = (dir(pyqelm), dir(pyqelm.Protocol), list(pyqelm.__all__))\n"
        "import qelmfile\n"
        "p = pyqelm.Protocol(); p.add_constant_signal(0.5)\n"
        f"p.save({str(tmp_path / 'n.qelm')!r})\n"
        f"qelmfile.load({str(tmp_path / 'n.qelm')!r}).to_protocol()\n"
        "after = (dir(pyqelm), dir(pyqelm.Protocol), list(pyqelm.__all__))\n"
        "assert before == after, (before, after)\n"
        "assert after[2] == ['Protocol', 'Channel', 'Coil']\n"
        "assert [n for n in after[0] if not n.startswith('_')] == ['Channel', 'Coil', 'Protocol']\n")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr


# --- stubs -----------------------------------------------------------------------------------

@pytest.mark.typecheck
def test_stubs_match_the_runtime_module(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "qelmfile"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


TYPED_USE = """\
import qelmfile
pf = qelmfile.loads(b"")
duration: float = pf.session_duration
signal = pf.signals[0]
if isinstance(signal, qelmfile.Arbitrary):
    count: int = len(signal.samples) + len(signal.sample_values())
names: list[str] = [f.field + f.message for f in qelmfile.check(pf)]
fields = [field for field, _, _ in qelmfile.diff(pf, pf)]
pf.to_protocol().save("variant.qelm")
pf.session_duration = 1.0
qelmfile.loads("text")
pf.signals[0].amplitude
"""


@pytest.mark.typecheck
def test_stubs_type_use_and_flag_misuse(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "use.py").write_text(TYPED_USE)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "use.py"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    # The first nine lines are right; each of the last three is wrong.
    assert flagged == {10, 11, 12}, result.stdout


# A thread decodes the samples of a loaded file while the main thread forks, at a range of
# moments around the decoding; the child then uses the samples itself. It must find them
# complete and right, neither waiting forever for a decoding thread it does not have nor
# reading bytes that the decoding had already given back.
FORK_DURING_DECODE = r"""
import os, sys, threading, time, warnings
import qelmfile
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads: the point here
path, expected = sys.argv[1], int(sys.argv[2])
outcomes = []
for attempt in range(16):
    pf = qelmfile.load(path)
    worker = threading.Thread(target=lambda: pf.signals[0].samples)
    worker.start()
    time.sleep(attempt * 0.002)
    pid = os.fork()
    if pid == 0:
        os._exit(0 if int(pf.signals[0].samples.sum(dtype="int64")) == expected else 3)
    worker.join()
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            outcomes.append(os.waitstatus_to_exitcode(status))
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            outcomes.append("hung")
            break
        time.sleep(0.05)
print(outcomes)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_a_child_forked_during_sample_decoding_uses_the_samples(tmp_path):
    p = Protocol()
    p.set_session_duration(1800.0)
    samples = np.random.default_rng(7).random(p.get_num_samples())
    p.add_arbitrary_signal(samples)
    path, _ = saved_bytes(tmp_path, p)
    expected = int(np.round(samples * 32767).astype(np.int64).sum())
    out = subprocess.run([sys.executable, "-c", FORK_DURING_DECODE, str(path), str(expected)],
                         capture_output=True, text=True, timeout=1200)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str([0] * 16)


# An input that is no protocol file is refused after the bytes that show it, in bounded memory:
# the child may take only 64 MiB of address space more than it has before the load.
ENDLESS_INPUT = r"""
import os, resource, sys, threading
import qelmfile
source = sys.argv[1]
if source == "garbage":
    read_end, write_end = os.pipe()
    def feed():
        block = bytes((i * 7919 + 13) % 251 for i in range(65536))
        try:
            while True:
                os.write(write_end, block)
        except OSError:
            pass
    threading.Thread(target=feed, daemon=True).start()
    source = f"/dev/fd/{read_end}"
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + (64 << 20), resource.RLIM_INFINITY))
try:
    qelmfile.load(source)
    print("accepted")
except qelmfile.FormatError as e:
    print(e)
except MemoryError:
    print("MemoryError")
sys.stdout.flush()
os._exit(0)
"""


@pytest.mark.skipif(sys.platform != "linux", reason="needs /proc and resource limits")
@pytest.mark.skipif(os.environ.get("PYQELM_SANITIZED") == "1",
                    reason="the sanitizers reserve terabytes of address space")
@pytest.mark.parametrize("source", ["/dev/zero", "sparse", "garbage"])
def test_load_refuses_endless_and_huge_input_in_bounded_memory(tmp_path, source):
    with pytest.raises(qelmfile.FormatError) as zeros:
        qelmfile.loads(bytes(4096))
    end = zeros.value.offset  # where a record of zero bytes ends
    expected = f"offset {end}: 1 byte left over after the settings record"
    if source == "sparse":
        path = tmp_path / "sparse.qelm"
        with open(path, "wb") as f:
            f.truncate(1 << 30)
        source = str(path)
        expected = f"offset {end}: {(1 << 30) - end} bytes left over after the settings record"
    out = subprocess.run([sys.executable, "-c", ENDLESS_INPUT, source], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    if source == "garbage":
        # The pattern's first byte, 13, is no boolean.
        assert out.stdout == "offset 0: running_on_target_machine: boolean byte 0D is neither 00 nor 01\n"
    else:
        assert out.stdout == expected + "\n"
