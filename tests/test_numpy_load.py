"""The one-time load of NumPy's C interface, when Python code run by that very load calls back."""

import subprocess
import sys

import pytest

pytest.importorskip("numpy")

# The first add_arbitrary_signal loads NumPy. An audit hook sees the imports of that load and
# calls back into pyqelm from inside them: on the loading thread (which must fail at once
# instead of waiting for itself) or from a second thread (which must wait for the load without
# holding the interpreter lock, then proceed).
SCRIPT = r"""
import sys, threading, pyqelm
mode = sys.argv[1]
p = pyqelm.Protocol()
p.set_session_duration(0.01)
seen = []
worker = []

def call_back():
    try:
        p2 = pyqelm.Protocol()
        p2.add_arbitrary_signal([0.0])
        seen.append("returned")
    except BaseException as e:
        seen.append(f"{type(e).__name__}: {e}")

def hook(event, args):
    if event != "import" or not str(args[0]).startswith("numpy") or seen or worker:
        return
    if mode == "same-thread":
        call_back()
    else:
        t = threading.Thread(target=call_back)
        worker.append(t)
        t.start()
        t.join(0.2)  # the worker now waits for the load, which this thread must still finish

sys.addaudithook(hook)
try:
    p.add_arbitrary_signal([0.0])
except BaseException as e:
    print("outer:", type(e).__name__, e)
for t in worker:
    t.join()
print("inner:", seen[0] if seen else "not called")
import numpy as np
print("index:", p.add_arbitrary_signal(np.zeros(p.get_num_samples())))
"""


@pytest.mark.parametrize(
    "mode, inner",
    [
        ("same-thread", "inner: PanicException: Failed to access NumPy array API capsule: "
                        "NumPy is still being loaded on this thread"),
        ("other-thread", "inner: TypeError: argument 'samples': 'list' object cannot be cast as "
                         "'ndarray'"),
    ],
)
def test_a_call_back_during_the_numpy_load_never_hangs(mode, inner):
    out = subprocess.run([sys.executable, "-c", SCRIPT, mode], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    # The outer call loads NumPy and then refuses the list like any other non-array.
    assert lines[0] == ("outer: TypeError argument 'samples': 'list' object cannot be cast as "
                        "'ndarray'")
    assert lines[1].startswith(inner)
    assert lines[2] == "index: 0"  # the load completed and is kept


# Thread B imports NumPy; an audit hook on B, inside that import, first lets thread A start its
# own first add_arbitrary_signal (which needs the NumPy import B holds) and then calls
# add_arbitrary_signal on B. Neither may wait for the other forever.
TWO_THREADS = r"""
import sys, threading, time, pyqelm
results = {}

def call(name):
    p = pyqelm.Protocol()
    try:
        p.add_arbitrary_signal([0.0])
        results[name] = "returned"
    except BaseException as e:
        results[name] = type(e).__name__

a = threading.Thread(target=call, args=("A",))

def hook(event, args):
    if (event != "import" or threading.current_thread().name != "B" or a.is_alive()
            or "B" in results or not str(args[0]).startswith("numpy.")):
        return
    a.start()
    time.sleep(0.5)  # A is now inside its load, waiting for the import B runs
    call("B")

sys.addaudithook(hook)
b = threading.Thread(target=lambda: __import__("numpy"), name="B")
b.start()
b.join()
a.join()
print(sorted(results.items()))
"""


def test_two_threads_meeting_in_the_first_numpy_load_both_return():
    out = subprocess.run([sys.executable, "-c", TWO_THREADS], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    # A waited for B's import and then refused the list; B, called back from inside its own
    # import of NumPy, got an answer of some kind rather than waiting.
    results = dict(eval(out.stdout))
    assert results["A"] == "TypeError"
    assert set(results) == {"A", "B"}
