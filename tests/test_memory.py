"""Exhausted memory raises MemoryError and leaves the protocol as it was."""

import os
import subprocess
import sys

import pytest

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
