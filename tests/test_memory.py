"""Exhausted memory raises MemoryError and leaves the protocol as it was; reading a file of
millions of small signals takes a small multiple of the file's size."""

import os
import shutil
import subprocess
import sys
import sysconfig

import pytest
from pyqelm import Protocol

pytest.importorskip("numpy")
resource = pytest.importorskip("resource")

SCRIPT = r"""
import resource, numpy as np, pyqelm
p = pyqelm.Protocol()
p.set_session_duration(1800.0)
p.add_constant_signal(0.5)
a = np.full(9_000_000, 0.5)
before = str(p)
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# Room for what is mapped now and little more: the 18 MB sample buffer cannot be had.
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + 8_000_000, hard))
try:
    p.add_arbitrary_signal(a)
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print(str(p) == before)
print(p.add_constant_signal(0.0))
"""


@pytest.mark.skipif(sys.platform != "linux", reason="uses /proc and RLIMIT_AS")
@pytest.mark.skipif(
    os.environ.get("PYQELM_SANITIZED") == "1",
    reason="AddressSanitizer reserves terabytes of address space and aborts on a failed allocation",
)
def test_failed_allocation_raises_memory_error_and_changes_nothing():
    out = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["MemoryError", "True", "1"]


# --- memory that follows the file's bytes ----------------------------------------------------
#
# A file of millions of small signals: each takes two or three bytes in the file, and about 40
# bytes decoded, so a reader that decodes them all needs some fifteen times the file. The text
# form, --summary, --check, load and the sequence of signals keep them in the file's bytes.

MANY = 2_000_000
MULTIPLE = 3
ROOM = 24 << 20  # the interpreter or the command itself, and its libraries

SIGNALS = {
    "self-mixed": b"\x03\x00\x00",        # a mixed signal of signal 0 with itself
    "empty arbitrary": b"\x04\x00",
    "one-sample arbitrary": b"\x04\x01\x7e",
}

PEAK = r"""
import resource, subprocess, sys
r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
sys.stderr.buffer.write(r.stderr)
print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""

LOAD = "import qelmfile, sys; pf = qelmfile.load(sys.argv[1]); "
PYTHON_MODES = {
    "load": LOAD + "assert len(pf.signals) == int(sys.argv[2])",
    "signals": LOAD + "s = pf.signals; assert sum(1 for x in s if x.kind) == int(sys.argv[2]); "
                      "assert s[-1] == s[0] and len(s[::1000]) == -(-len(s) // 1000)",
}
INSPECT_MODES = {"text": [], "summary": ["--summary"], "check": ["--check"]}


def many_signals(tmp_path, signal, count):
    base_path = tmp_path / "base.qelm"
    Protocol().save(str(base_path))
    base = base_path.read_bytes()
    assert base[150:160] == b"\x01" + bytes(9)  # the one Constant 0.0 that save puts in
    n, count_bytes = count, bytearray()
    while n >= 0x80:
        count_bytes.append((n & 0x7F) | 0x80)
        n >>= 7
    count_bytes.append(n)
    path = tmp_path / "many.qelm"
    path.write_bytes(base[:150] + bytes(count_bytes) + signal * count + base[160:])
    return path


def peak_of(args):
    """Exit status and peak resident memory in bytes of a program run alone in a fresh parent,
    so that no other child of this test run counts."""
    out = subprocess.run([sys.executable, "-c", PEAK, *map(str, args)], capture_output=True,
                         text=True, timeout=600, check=True)
    status, kilobytes = out.stdout.split()
    return int(status), int(kilobytes) * 1024, out.stderr


@pytest.mark.skipif(sys.platform != "linux", reason="peak memory of a child from getrusage")
@pytest.mark.skipif(os.environ.get("PYQELM_SANITIZED") == "1",
                    reason="AddressSanitizer's shadow memory and quarantine inflate resident size")
@pytest.mark.parametrize("signal", SIGNALS, ids=list(SIGNALS))
@pytest.mark.parametrize("mode", [*INSPECT_MODES, *PYTHON_MODES])
def test_many_small_signals_take_a_small_multiple_of_the_file(tmp_path, mode, signal):
    path = many_signals(tmp_path, SIGNALS[signal], MANY)
    if mode in PYTHON_MODES:
        status, rss, err = peak_of([sys.executable, "-c", PYTHON_MODES[mode], path, MANY])
        assert status == 0, err
    else:
        inspect = shutil.which("qelm-inspect", path=sysconfig.get_path("scripts")) or \
            shutil.which("qelm-inspect")
        if inspect is None:
            pytest.skip("qelm-inspect is not installed")
        status, rss, err = peak_of([inspect, *INSPECT_MODES[mode], path])
        # --check finds the arbitrary signals' lengths, and signal 0 naming itself.
        assert status == (1 if mode == "check" else 0), err
    assert rss < MULTIPLE * path.stat().st_size + ROOM, f"{rss / path.stat().st_size:.1f}x"
