"""qelm-inspect, the installed command: its text form against str(), the summary, the checks,
exit codes and refusals of malformed files, and a round-trip property over random
protocols built through the Python API."""

import os
import pathlib
import re
import struct
import subprocess
import sys

import pytest

import qelmfile
from pyqelm import Channel, Coil, Protocol

from support import INSPECT, every_kind, varint

np = pytest.importorskip("numpy")

pytestmark = pytest.mark.skipif(INSPECT is None, reason="qelm-inspect is not installed")


def run(*args):
    return subprocess.run([INSPECT, *map(str, args)], capture_output=True, timeout=120)


def saved(tmp_path, protocol, name="p.qelm"):
    path = tmp_path / name
    protocol.save(str(path))
    return path


def new_protocol():
    return Protocol()


def odd_values():
    p = Protocol()
    p.add_constant_signal(float("nan"))
    p.add_constant_signal(-0.0)
    p.add_sine_signal(float("inf"), 1e-300, -1e16, 0.0001)
    p.add_mixed_signal(2**64 - 1, 7)
    p.set_amplitude_source(Coil.B2, 2**64 - 1, external=True)
    return p


def long_and_many():
    """Text of several hundred kilobytes, written out in pieces: samples and signals both cross
    the piece boundaries."""
    p = Protocol()
    p.set_session_duration(10.0)
    p.add_arbitrary_signal(np.random.default_rng(5).random(p.get_num_samples()))
    for k in range(3000):
        p.add_sine_signal(k / 7, 1.0)
    return p


# --- text form -----------------------------------------------------------------------------------

@pytest.mark.parametrize("build", [new_protocol, every_kind, odd_values, long_and_many])
def test_text_form_is_str_after_save(tmp_path, build):
    p = build()
    path = saved(tmp_path, p)
    result = run("--text", path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == str(p) + "\n"
    assert result.stderr == b""


# --- the default: summary, then the compact text form ---------------------------------------------

def zigzag(code):
    return ((code << 1) ^ (code >> 15)) & 0xFFFF


def arbitrary_signal(codes):
    """An encoded arbitrary signal of these raw codes, any length."""
    return b"\x04" + varint(len(codes)) + b"".join(varint(zigzag(c)) for c in codes)


def shortened(text):
    """The text form with every sample list of more than 6 values on one line, as the compact
    form writes it: worked out here from the full text, independently of the command."""
    def one_line(match):
        indent, body = match.group(1), match.group(2)
        values = [int(v.strip().rstrip(",")) for v in body.strip().splitlines()]
        if len(values) <= 6:
            return match.group(0)
        shown = ", ".join(map(str, values[:3])) + ", ..., " + ", ".join(map(str, values[-3:]))
        return (f"{indent}samples: [{shown}],  # {len(values)} samples, "
                f"min {min(values)}, max {max(values)}")
    return re.sub(r"(?m)^( *)samples: \[\n((?:\1    -?\d+,\n)+)\1\],", one_line, text)


@pytest.mark.parametrize("build", [new_protocol, every_kind, odd_values, long_and_many])
def test_default_is_the_summary_then_the_compact_text(tmp_path, build):
    p = build()
    path = saved(tmp_path, p)
    result = run(path)
    assert result.returncode == 0, result.stderr
    summary = run("--summary", path).stdout.decode()
    assert result.stdout.decode() == summary + "\n" + shortened(str(p)) + "\n"
    assert result.stderr == b""


@pytest.mark.parametrize("codes, line", [
    ([], "samples: [],"),
    ([5, -1, 7, 32767, 0, 3], None),  # six values: the full list, one per line
    ([5, -1, 7, 32767, 0, 3, 9], "samples: [5, -1, 7, ..., 0, 3, 9],  # 7 samples, min -1, max 32767"),
    ([-32768] + [100] * 60 + [32767, 1, 2],
     "samples: [-32768, 100, 100, ..., 32767, 1, 2],  # 64 samples, min -32768, max 32767"),
], ids=["empty", "six", "seven", "extremes"])
def test_long_sample_lists_are_shortened_with_length_and_range(tmp_path, codes, line):
    path = with_signals(tmp_path, arbitrary_signal(codes), 2)
    out = run(path).stdout.decode()
    compact = out[out.index("\nProtocol {") + 1:]
    full = run("--text", path).stdout.decode()
    if line is None:
        assert compact == full
    else:
        assert compact.count("\n" + " " * 20 + line + "\n") == 2
        assert compact == shortened(full)
        assert (len(compact) < len(full)) == (len(codes) > 6)


# --- summary -------------------------------------------------------------------------------------

def test_summary_shows_session_channels_signals_and_coils(tmp_path):
    path = saved(tmp_path, every_kind())
    result = run("--summary", path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.decode().splitlines()
    for expected in [
        f"file:       {path}, {path.stat().st_size} bytes",
        "session:    0.01 s, 50 samples at 5000 per second",
        "intensity:  0.25 (machine's max_intensity_setpoint 0.3)",
        'channel A:  enabled, coil 0 "Default", LC setting 0 (22.624434389140273 kHz)',
        "  coil A1 amplitude: signal 0 (Sine)",
        "  coil A2 amplitude: signal 4 (MixedSignal)",
        "  modulation:        signal 0 (Sine)",
        'channel B:  enabled, coil 0 "Default", LC setting 0 (22.624434389140273 kHz)',
        "  coil B1 amplitude: signal 3 (Arbitrary)",
        "  modulation:        external input 2",
        "signals:    5",
        "  0  Sine        amplitude 1.0, frequency 10.0, phase 0.25, depth 0.5",
        "  1  Constant    value 0.75",
        "  2  Ramp        peak 1.0, up_duration 0.002, down_duration 0.003",
        "  3  Arbitrary   50 samples (0.01 s), min 0 (raw 0), max 1 (raw 32767), "
        "mean 0.5 (raw 16383.5)",
        "  4  MixedSignal a: signal 0 (Sine), b: signal 3 (Arbitrary)",
        'coils:      1 record (num_coils 2), 6 external inputs',
        "    LC setting 0: 330.0 nF, 22.624434389140273 kHz, 221 ticks per sample, "
        "bank setting 1",
    ]:
        assert expected in lines


def test_summary_names_missing_signals_and_disabled_channels(tmp_path):
    p = Protocol()
    p.add_mixed_signal(0, 9)
    p.set_amplitude_source(Coil.B1, 5)
    lines = run("--summary", saved(tmp_path, p)).stdout.decode().splitlines()
    assert "  0  MixedSignal a: signal 0 (MixedSignal), b: signal 9 (does not exist)" in lines
    assert lines[lines.index("  coil B1 amplitude: signal 5 (does not exist)") - 1].startswith(
        "channel B:  disabled")


# --- check ---------------------------------------------------------------------------------------

def dangling_source(p):
    p.add_constant_signal(0.5)
    p.set_amplitude_source(Coil.A2, 3)


def external_beyond_machine(p):
    p.add_constant_signal(0.5)
    p.set_modulation_source(Channel.A, 6, external=True)


def intensity_above_setpoint(p):
    p.set_stimulation_intensity(0.5)


def arbitrary_of_an_earlier_length(p):
    p.set_session_duration(0.01)
    p.add_arbitrary_signal(np.zeros(50))
    p.set_session_duration(0.02)


def mixed_naming_missing_and_itself(p):
    p.add_mixed_signal(1, 4)


def mixed_cycle(p):
    p.add_constant_signal(0.5)
    p.add_mixed_signal(2, 0)
    p.add_mixed_signal(1, 0)


def disabled_channel_b(p):
    p.add_constant_signal(0.5)
    p.set_amplitude_source(Coil.B1, 7)
    p.set_modulation_source(Channel.B, 6, external=True)


def enabled_channel_b(p):
    disabled_channel_b(p)
    p.enable_channel(Channel.B)


def last_external_input(p):
    p.add_constant_signal(0.5)
    p.set_modulation_source(Channel.A, 5, external=True)


@pytest.mark.parametrize("change, expected", [
    (disabled_channel_b, ["ok"]),
    (last_external_input, ["ok"]),
    (dangling_source, [
        "channel_a_settings.amplitude2_source: names signal 3, which does not exist "
        "(1 signal: 0)"]),
    (external_beyond_machine, [
        "channel_a_settings.modulation_source: selects external input 6, which does not exist "
        "(the machine has 6 inputs: 0..5)"]),
    (intensity_above_setpoint, [
        "intensity: 0.5 is above the machine's max_intensity_setpoint 0.3"]),
    (arbitrary_of_an_earlier_length, [
        "signals[0].samples: holds 50 samples, but the session of 0.02 s has 100"]),
    (mixed_naming_missing_and_itself, [
        "signals[0].a_idx: names signal 1, which does not exist (1 signal: 0)",
        "signals[0].b_idx: names signal 4, which does not exist (1 signal: 0)"]),
    (mixed_cycle, ["signals[1]: mixed signals 1 and 2 form a cycle: 1 -> 2 -> 1"]),
    (enabled_channel_b, [
        "channel_b_settings.amplitude1_source: names signal 7, which does not exist "
        "(1 signal: 0)",
        "channel_b_settings.modulation_source: selects external input 6, which does not exist "
        "(the machine has 6 inputs: 0..5)"]),
])
def test_check_reports_each_finding_on_a_line(tmp_path, change, expected):
    p = Protocol()
    change(p)
    result = run("--check", saved(tmp_path, p))
    assert result.stdout.decode().splitlines() == expected
    assert result.returncode == (0 if expected == ["ok"] else 1)


def test_check_finds_a_mixed_signal_naming_itself(tmp_path):
    p = Protocol()
    p.add_constant_signal(0.5)
    p.add_mixed_signal(0, 1)
    result = run("--check", saved(tmp_path, p))
    assert result.returncode == 1
    assert result.stdout.decode() == "signals[1].b_idx: names the mixed signal itself\n"


def test_every_kind_is_clean(tmp_path):
    result = run("--check", saved(tmp_path, every_kind()))
    assert (result.returncode, result.stdout) == (0, b"ok\n")


LEVELS = "(levels are fractions of full intensity, 0..1)"


def session_of(seconds):
    def change(p):
        p.set_session_duration(seconds)
    return change


@pytest.mark.parametrize("change, expected", [
    (lambda p: p.add_constant_signal(1.0000000000000002),
     [f"signals[0].value: 1.0000000000000002 is above 1 {LEVELS}"]),
    (lambda p: p.add_constant_signal(-0.5), [f"signals[0].value: -0.5 is below 0 {LEVELS}"]),
    (lambda p: p.add_sine_signal(5.0, 10.0), [f"signals[0].amplitude: 5.0 is above 1 {LEVELS}"]),
    (lambda p: p.add_sine_signal(1.0, 10.0, 0.0, 2.0),
     ["signals[0].depth: 2.0 is above 1 (depths are fractions, 0..1)"]),
    (lambda p: p.add_sine_signal(1.0, 0.0),
     ["signals[0].frequency: 0.0 Hz is not above 0 (a sine needs a positive frequency)"]),
    (lambda p: p.add_sine_signal(1.0, 2501.0),
     ["signals[0].frequency: 2501.0 Hz is above 2500.0 Hz, half the sampling rate of 5000.0 "
      "samples per second"]),
    (lambda p: p.add_ramp_signal(1.5, 1.0, 1.0), [f"signals[0].peak: 1.5 is above 1 {LEVELS}"]),
    (lambda p: p.add_ramp_signal(1.0, -2.0, 1.0), ["signals[0].up_duration: -2.0 s is negative"]),
    (lambda p: p.add_ramp_signal(1.0, 1.0, 61.0),
     ["signals[0].down_duration: 61.0 s is longer than the session of 60.0 s"]),
    (lambda p: p.add_ramp_signal(1.0, 30.0, 30.5),
     ["signals[0]: up_duration 30.0 s and down_duration 30.5 s add up to 60.5 s, longer than "
      "the session of 60.0 s"]),
    (lambda p: p.add_sine_signal(1.0, 10.0, float("inf")),
     ["signals[0].phase: inf is not a finite number"]),
    (lambda p: p.add_ramp_signal(float("nan"), 1.0, 1.0),
     ["signals[0].peak: NaN is not a finite number"]),
    # The levels of a mixed signal are those of its parts, each reported where it stands.
    (lambda p: (p.add_sine_signal(1.0, 10.0), p.add_constant_signal(3.0),
                p.add_mixed_signal(0, 1)),
     [f"signals[1].value: 3.0 is above 1 {LEVELS}"]),
    # Bounds themselves are accepted.
    (lambda p: (p.add_constant_signal(1.0), p.add_constant_signal(0.0),
                p.add_sine_signal(1.0, 2500.0, -3.0, 0.0), p.add_ramp_signal(1.0, 60.0, 0.0)),
     ["ok"]),
], ids=["constant above", "constant below", "amplitude", "depth", "frequency zero",
        "frequency above half the rate", "peak", "negative duration", "duration beyond session",
        "ramp beyond session", "phase infinite", "peak NaN", "mixed part", "bounds"])
def test_check_finds_what_the_stimulator_cannot_produce(tmp_path, change, expected):
    p = Protocol()
    change(p)
    path = saved(tmp_path, p)
    result = run("--check", path)
    assert result.stdout.decode().splitlines() == expected
    assert result.returncode == (0 if expected == ["ok"] else 1)
    findings = [str(f) for f in qelmfile.check(qelmfile.load(path))]
    assert findings == ([] if expected == ["ok"] else expected)


@pytest.mark.parametrize("codes, expected", [
    ([0, 32767, 5], []),
    ([0, -1, 5, -7], ["signals[0].samples[1]: -1 is below 0 (levels are fractions of full "
                      "intensity, 0..1; samples hold them as 0..32767), and so is 1 later sample"]),
    ([-32768], ["signals[0].samples[0]: -32768 is below 0 (levels are fractions of full "
                "intensity, 0..1; samples hold them as 0..32767)"]),
], ids=["in range", "two negative", "one negative"])
def test_check_finds_negative_samples(tmp_path, codes, expected):
    path = with_signals(tmp_path, arbitrary_signal(codes), 1)
    lines = run("--check", path).stdout.decode().splitlines()
    # The length differs from the session's too: that finding comes first.
    assert lines[0].startswith("signals[0].samples: holds ")
    assert lines[1:] == expected


@pytest.mark.parametrize("offset, value, expected", [
    (134, -0.25, f"intensity: -0.25 is below 0 {LEVELS}"),
    (142, -3.0, "session_duration: -3.0 s is outside 0.01..1800.0 s, the session lengths the "
                "stimulator runs"),
    (142, float("inf"), "session_duration: inf is not a finite number"),
    (1, float("nan"), "machine_config.supply_voltage: NaN is not a finite number"),
], ids=["intensity", "session", "session infinite", "machine"])
def test_check_finds_values_only_a_file_can_hold(tmp_path, offset, value, expected):
    path = saved(tmp_path, Protocol())
    data = path.read_bytes()
    path.write_bytes(data[:offset] + struct.pack("<d", value) + data[offset + 8:])
    result = run("--check", path)
    assert (result.returncode, result.stdout.decode()) == (1, expected + "\n")


# --- bounds: file size, memory, picture size -----------------------------------------------------

def with_signals(tmp_path, signal, count, name="many.qelm"):
    """A new protocol's file with `count` copies of the encoded `signal` as its signal list."""
    base = saved(tmp_path, Protocol(), "base.qelm").read_bytes()
    assert base[150:160] == b"\x01" + bytes(9)  # the one Constant 0.0 that save puts in
    path = tmp_path / name
    path.write_bytes(base[:150] + varint(count) + signal * count + base[160:])
    return path


EMPTY_ARBITRARY = b"\x04\x00"
ONE_SAMPLE = b"\x04\x01\x7e"      # an arbitrary signal of the single sample 63
SELF_MIXED = b"\x03\x00\x00"      # a mixed signal of signal 0 with itself: a finding each


WINDOWS = sys.platform == "win32"
# The peak memory of a child comes from getrusage, which Windows lacks.
needs_getrusage = pytest.mark.skipif(WINDOWS, reason="needs resource.getrusage (POSIX)")


def lines_of(stderr):
    """Standard error as text with Unix line ends: Windows' C runtime writes a line end of its
    standard error as CR LF."""
    return stderr.decode().replace("\r\n", "\n")


def peak_rss(*args):
    """Exit status and peak resident memory in bytes of qelm-inspect run alone in a fresh
    parent, so that no other child of this test run counts."""
    code = ("import resource, subprocess, sys\n"
            "r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)\n"
            "sys.stderr.buffer.write(r.stderr)\n"
            "print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    out = subprocess.run([sys.executable, "-c", code, INSPECT, *map(str, args)],
                         capture_output=True, text=True, timeout=300, check=True)
    status, kilobytes = out.stdout.split()
    return int(status), int(kilobytes) * 1024, out.stderr


def zero_record_size():
    """Where a record of zero bytes ends: the first offset /dev/zero has left over."""
    with pytest.raises(qelmfile.FormatError) as refused:
        qelmfile.loads(bytes(4096))
    return refused.value.offset


@pytest.mark.parametrize("mode", [[], ["--summary"], ["--check"], ["--plot", "o.svg"]],
                         ids=["text", "summary", "check", "plot"])
def test_a_huge_sparse_file_is_refused_after_its_first_bytes(tmp_path, monkeypatch, mode):
    monkeypatch.chdir(tmp_path)
    big = tmp_path / "big.qelm"
    with open(big, "wb") as f:
        f.truncate(10 << 30)  # 10 GiB without a block on disk: reading it would take minutes
    if WINDOWS:
        result = run(*mode, big)
        status, rss, err = result.returncode, None, lines_of(result.stderr)
    else:
        status, rss, err = peak_rss(*mode, big)
    end = zero_record_size()
    assert status == 2
    assert err == (f"qelm-inspect: {big}: not a well-formed protocol file: offset {end}: "
                   f"{(10 << 30) - end} bytes left over after the settings record\n")
    if rss is not None:
        assert rss < 64 << 20
    assert not (tmp_path / "o.svg").exists()


@pytest.mark.parametrize("source", [
    pytest.param("device", marks=pytest.mark.skipif(not pathlib.Path("/dev/zero").exists(),
                                                    reason="needs /dev/zero")),
    pytest.param("pipe", marks=pytest.mark.skipif(WINDOWS, reason="cat and /dev/stdin"))])
def test_endless_input_is_refused_one_byte_past_its_record(tmp_path, source):
    if source == "device":
        result = run("/dev/zero")
    else:
        with subprocess.Popen(["cat", "/dev/zero"], stdout=subprocess.PIPE) as feeder:
            result = subprocess.run([INSPECT, "/dev/stdin"], stdin=feeder.stdout,
                                    capture_output=True, timeout=120)
            feeder.kill()
    assert result.returncode == 2 and result.stdout == b""
    name = "/dev/zero" if source == "device" else "/dev/stdin"
    assert lines_of(result.stderr) == (
        f"qelm-inspect: {name}: not a well-formed protocol file: offset {zero_record_size()}: "
        f"1 byte left over after the settings record\n")


@pytest.mark.skipif(os.environ.get("PYQELM_SANITIZED") == "1",
                    reason="a quarter of a gigabyte under the sanitizers takes minutes")
def test_more_signals_than_any_bound_are_accepted_and_one_byte_more_is_not(tmp_path):
    # Nine signals of a full 30-minute session, every sample at its longest (3 bytes): more
    # than any fixed bound on signals of that size would allow.
    p = Protocol()
    p.set_session_duration(1800.0)
    ones = np.ones(p.get_num_samples())
    for _ in range(9):
        p.add_arbitrary_signal(ones)
    path = saved(tmp_path, p, "large.qelm")
    del p, ones
    size = path.stat().st_size
    assert size > 9 * 27_000_000
    result = run("--check", path)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"ok\n", b"")
    with open(path, "ab") as f:
        f.write(b"\0")
    result = run("--check", path)
    assert lines_of(result.stderr) == (f"qelm-inspect: {path}: not a well-formed protocol file: "
                                      f"offset {size}: 1 byte left over after the settings record\n")


@pytest.mark.parametrize("mode, multiple", [
    ([], 24), (["--text"], 24), (["--summary"], 24), (["--check"], 48), (["--plot", "o.svg"], 24),
], ids=["default", "text", "summary", "check", "plot"])
@needs_getrusage
@pytest.mark.skipif(os.environ.get("PYQELM_SANITIZED") == "1",
                    reason="AddressSanitizer's shadow memory and quarantine inflate resident size")
def test_memory_stays_within_a_multiple_of_the_file(tmp_path, monkeypatch, mode, multiple):
    # Two million signals of two or three bytes each: the record holds each in about 40 bytes,
    # and every line of text or finding goes out as it is made, never held all at once.
    monkeypatch.chdir(tmp_path)
    signal = SELF_MIXED if mode == ["--check"] else EMPTY_ARBITRARY
    path = with_signals(tmp_path, signal, 2_000_000)
    status, rss, err = peak_rss(*mode, path)
    assert status == (1 if mode == ["--check"] else 0), err
    assert rss < multiple * path.stat().st_size + (32 << 20)


# --- exit codes and refusals ---------------------------------------------------------------------

def test_help_documents_the_exit_codes():
    result = run("--help")
    assert result.returncode == 0 and result.stderr == b""
    text = result.stdout.decode()
    assert "usage: qelm-inspect" in text
    for line in ["  0  done; with --check, nothing found", "  1  --check found something"]:
        assert line in text.splitlines()


@pytest.mark.parametrize("args, message", [
    ([], "no FILE given"),
    (["--summary", "--check", "F"], "give at most one of --summary, --text, --check and --plot"),
    (["--text", "--summary", "F"], "give at most one of"),
    (["--plot", "o.svg", "--summary", "F"], "give at most one of"),
    (["--frobnicate", "F"], "unknown option '--frobnicate'"),
    (["F", "G"], "give exactly one FILE"),
    (["F", "--plot"], "--plot needs an output file"),
    (["--plot=", "F"], "--plot needs an output file"),
])
def test_bad_arguments_are_usage_errors(tmp_path, args, message):
    result = run(*[tmp_path / "p.qelm" if a in ("F", "G") else a for a in args])
    assert result.returncode == 2
    assert result.stdout == b""
    err = result.stderr.decode()
    assert err.startswith("qelm-inspect: ") and message in err and "usage: " in err


def test_file_after_double_dash_may_start_with_a_dash(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Protocol().save("-p.qelm")
    result = run("--check", "--", "-p.qelm")
    assert (result.returncode, result.stdout) == (0, b"ok\n")


# Windows' C runtime refuses to open a directory with EACCES rather than EISDIR.
@pytest.mark.parametrize("target, reason", [
    ("missing.qelm", "No such file"),
    (".", "Permission denied" if sys.platform == "win32" else "directory"),
])
def test_unreadable_files(tmp_path, target, reason):
    result = run("--summary", tmp_path / target)
    assert result.returncode == 2 and result.stdout == b""
    assert reason in result.stderr.decode()


@pytest.mark.parametrize("mode", [[], ["--text"], ["--summary"], ["--check"]],
                         ids=["default", "text", "summary", "check"])
@pytest.mark.skipif(not pathlib.Path("/dev/full").exists(), reason="needs /dev/full")
def test_a_full_standard_output_is_a_failure(tmp_path, mode):
    with open("/dev/full", "wb") as full:
        result = subprocess.run([INSPECT, *mode, saved(tmp_path, long_and_many())], stdout=full,
                                stderr=subprocess.PIPE, timeout=120)
    assert (result.returncode, lines_of(result.stderr)) == (2, "qelm-inspect: cannot write to standard output\n")


def test_unwritable_plot(tmp_path):
    result = run("--plot", tmp_path / "no" / "such" / "dir.svg", saved(tmp_path, Protocol()))
    assert result.returncode == 2
    assert "No such file or directory" in result.stderr.decode()


MALFORMED = {
    "truncated": (lambda b: b[:-1],
                  "offset 200: monitor_subsampling_factor: truncated: needs a varint, 0 bytes left"),
    "trailing byte": (lambda b: b + b"\x00", "offset 201: 1 byte left over after the settings record"),
    "bad bool": (lambda b: b"\x02" + b[1:],
                 "offset 0: running_on_target_machine: boolean byte 02 is neither 00 nor 01"),
    "unknown signal kind": (lambda b: b[:151] + b"\x07" + b[152:],
                            "offset 151: signals[0]: signal kind 7 is not one of 0..4"),
    "empty": (lambda b: b"", "offset 0: running_on_target_machine: truncated"),
}


@pytest.mark.parametrize("damage", MALFORMED, ids=list(MALFORMED))
@pytest.mark.parametrize("mode", [[], ["--summary"], ["--check"], ["--plot", "out.svg"]],
                         ids=["text", "summary", "check", "plot"])
def test_malformed_files_are_refused_with_offset_and_field(tmp_path, monkeypatch, damage, mode):
    monkeypatch.chdir(tmp_path)
    change, message = MALFORMED[damage]
    path = saved(tmp_path, Protocol())
    path.write_bytes(change(path.read_bytes()))
    result = run(*mode, path)
    assert result.returncode == 2 and result.stdout == b""
    err = result.stderr.decode()
    assert err.startswith(f"qelm-inspect: {path}: not a well-formed protocol file: {message}")
    assert err.count("\n") == 1 and err.endswith("\n")
    assert not (tmp_path / "out.svg").exists()


CORPUS = pathlib.Path(__file__).resolve().parent.parent / "protocols" / "fuzz" / "corpus"
WELL_FORMED_SEEDS = {"default", "every_kind", "extremes", "utf8_name"}


@pytest.mark.parametrize("name", sorted(p.name for p in CORPUS.iterdir()) if CORPUS.is_dir() else [])
def test_fuzz_seeds_are_what_their_names_say(tmp_path, name):
    again = tmp_path / "again.qelm"
    result = run("--reencode", again, CORPUS / name)
    if name in WELL_FORMED_SEEDS:
        assert result.returncode == 0, result.stderr
        assert again.read_bytes() == (CORPUS / name).read_bytes()
        assert run("--summary", CORPUS / name).returncode == 0
    else:
        assert result.returncode == 2
        assert "not a well-formed protocol file: offset " in result.stderr.decode()


# --- round trip over random protocols ------------------------------------------------------------

try:
    import hypothesis
    from hypothesis import strategies as st
    from hypothesis.extra.numpy import arrays
except ImportError:  # only the property test needs it
    hypothesis = None

if hypothesis is None:
    def test_random_protocols_round_trip():
        pytest.skip("hypothesis is not installed")
else:
    POSITION = st.one_of(st.integers(0, 8), st.integers(0, 2**64 - 1))
    ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)

    def random_protocol(draw):
        p = Protocol()
        short = draw(st.booleans())
        p.set_session_duration(draw(st.floats(0.01, 0.05) if short else st.floats(0.01, 1800.0)))
        p.set_stimulation_intensity(draw(st.floats(0.0, 1.0)))
        if draw(st.booleans()):
            p.enable_channel(Channel.B)
        kinds = ["constant", "sine", "ramp", "mixed"] + (["arbitrary"] if short else [])
        for kind in draw(st.lists(st.sampled_from(kinds), max_size=6)):
            if kind == "constant":
                p.add_constant_signal(draw(ANY_FLOAT))
            elif kind == "sine":
                p.add_sine_signal(*(draw(ANY_FLOAT) for _ in range(4)))
            elif kind == "ramp":
                p.add_ramp_signal(*(draw(ANY_FLOAT) for _ in range(3)))
            elif kind == "mixed":
                p.add_mixed_signal(draw(POSITION), draw(POSITION))
            else:
                p.add_arbitrary_signal(draw(arrays(np.float64, p.get_num_samples(),
                                                   elements=st.floats(0.0, 1.0))))
        for coil in draw(st.lists(st.sampled_from([Coil.A1, Coil.A2, Coil.B1, Coil.B2]))):
            p.set_amplitude_source(coil, draw(POSITION), external=draw(st.booleans()))
        for channel in draw(st.lists(st.sampled_from([Channel.A, Channel.B]))):
            p.set_modulation_source(channel, draw(POSITION), external=draw(st.booleans()))
        return p

    @hypothesis.settings(max_examples=60, deadline=None,
                         suppress_health_check=[hypothesis.HealthCheck.function_scoped_fixture])
    @hypothesis.given(data=st.data())
    def test_random_protocols_round_trip(tmp_path, data):
        p = random_protocol(data.draw)
        path = saved(tmp_path, p)

        shown = run("--text", path)
        assert shown.returncode == 0, shown.stderr
        assert shown.stdout.decode() == str(p) + "\n"

        again = tmp_path / "again.qelm"
        assert run("--reencode", again, path).returncode == 0
        assert again.read_bytes() == path.read_bytes()

        assert run("--check", path).returncode in (0, 1)
        assert run("--summary", path).returncode == 0
