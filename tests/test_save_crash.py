"""`save` against a saver killed mid-way, a hostile shared directory and a lease holder: the
readers of this project (qelmfile.load, qelm-inspect) undo a rewrite in place that was killed
before they read; a link planted by another user is followed only where the kernel itself
would follow it; a file under a lease waits for its holder instead of failing.

Faults at each single step are in the GoogleTest suite (pyqelm/tests_cpp/test_fileio_crash.cpp);
these run the installed module and commands in child processes.
"""

import os
import signal
import subprocess
import sys
import tempfile
import time

import pytest

# Linux only (the whole module): fcntl does not exist on Windows.
fcntl = pytest.importorskip("fcntl")

pytest.importorskip("numpy")  # the protocols below are built from arrays

import qelmfile
from pyqelm import Protocol
from support import INSPECT

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="Linux file-system behaviour")

# One arbitrary signal of `count` samples filling a session of its length: one call, so that the
# protocols are quick to build even under the sanitizers.
BUILD = r"""
import numpy as np
from pyqelm import Protocol
def build(count):
    p = Protocol()
    p.set_session_duration(count / 5000)
    p.add_arbitrary_signal((np.arange(count) % 997) / 996)
    return p
"""

# Saves the protocols of `a` and `b` samples into the path, in turn, until killed.
SAVE_FOREVER = BUILD + r"""
import sys
path, a, b = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
protocols = [build(a), build(b)]
print("ready", flush=True)
while True:
    for p in protocols:
        p.save(path)
"""

SAMPLES = (800_000, 600_000)  # about 2.2 MB and 1.6 MB
# The same builder as the saving child's, from the same source.
scope = {}
exec(BUILD, scope)
build = scope["build"]


def record_sizes(contents):
    """The lengths of a whole record of a rewrite from any of `contents` to any: the header, the
    old contents and a checksum per 512-byte block of the new ones."""
    return {64 + len(old) + 8 * -(-len(new) // 512) for old in contents for new in contents}


def bytes_of(samples, directory):
    path = os.path.join(directory, f"{samples}.qelm")
    build(samples).save(path)
    with open(path, "rb") as f:
        return f.read()


def kill_with_a_whole_record(target, record, sizes):
    """Runs the saver and kills it while the record of its rewrite in place is complete (so
    the file may be partly rewritten), stopping it first to look."""
    child = subprocess.Popen([sys.executable, "-c", SAVE_FOREVER, str(target), *map(str, SAMPLES)],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        deadline = time.monotonic() + 300
        while time.monotonic() < deadline:
            if os.path.exists(record):
                child.send_signal(signal.SIGSTOP)
                try:
                    if os.stat(record).st_size in sizes:
                        child.kill()
                        child.wait(timeout=120)
                        return
                except FileNotFoundError:
                    pass
                child.send_signal(signal.SIGCONT)
            time.sleep(0.0005)
        pytest.fail("the saver never showed a whole record")
    finally:
        if child.poll() is None:
            child.kill()
            child.wait(timeout=120)
        child.stdout.close()


@pytest.mark.parametrize("reader", ["load", "inspect"])
def test_a_reader_undoes_a_rewrite_in_place_killed_midway(tmp_path, reader):
    if reader == "inspect" and INSPECT is None:
        pytest.skip("qelm-inspect is not installed")
    contents = [bytes_of(n, tmp_path) for n in SAMPLES]
    target = tmp_path / "p.qelm"
    target.write_bytes(contents[0])
    os.link(target, tmp_path / "second")  # another name: the save rewrites in place
    record = tmp_path / ".p.qelm.journal"
    kill_with_a_whole_record(target, record, record_sizes(contents))
    assert record.exists()
    if reader == "load":
        # Read before anything else touches the file: what load decoded is the file recovered.
        assert qelmfile.load(target).session_duration in {n / 5000 for n in SAMPLES}
    else:
        out = subprocess.run([INSPECT, "--check", str(target)], capture_output=True, text=True,
                             timeout=120)
        assert out.returncode == 1, out.stderr
        # Killed before its last flush, or after it with only the record left to remove.
        assert out.stdout.startswith(("recovery: an interrupted save was undone",
                                      "recovery: an interrupted save had written its new")), out.stdout
    assert not record.exists()
    assert target.read_bytes() in contents  # whole: one of the two saves, never a mix
    assert (tmp_path / "second").read_bytes() == target.read_bytes()


def test_the_next_save_undoes_a_killed_one_first(tmp_path):
    contents = [bytes_of(n, tmp_path) for n in SAMPLES]
    target = tmp_path / "p.qelm"
    target.write_bytes(contents[1])
    os.link(target, tmp_path / "second")
    record = tmp_path / ".p.qelm.journal"
    kill_with_a_whole_record(target, record, record_sizes(contents))
    Protocol().save(str(target))
    assert len(target.read_bytes()) == 201
    assert sorted(os.listdir(tmp_path)) == sorted(
        ["p.qelm", "second", *(f"{n}.qelm" for n in SAMPLES)])


@pytest.mark.parametrize("reader", ["load", "inspect"])
def test_a_killed_save_does_not_undo_a_later_save_through_another_name(tmp_path, reader):
    if reader == "inspect" and INSPECT is None:
        pytest.skip("qelm-inspect is not installed")
    contents = [bytes_of(n, tmp_path) for n in SAMPLES]
    target = tmp_path / "p.qelm"
    target.write_bytes(contents[0])
    os.link(target, tmp_path / "second.qelm")
    record = tmp_path / ".p.qelm.journal"
    kill_with_a_whole_record(target, record, record_sizes(contents))
    # Saved whole through the other name, which knows nothing of the record beside the first.
    later = Protocol()
    later.add_constant_signal(3.0)
    later.save(str(tmp_path / "second.qelm"))
    saved = (tmp_path / "second.qelm").read_bytes()
    assert record.exists()
    if reader == "load":
        assert len(qelmfile.load(target).signals) == 1
    else:
        out = subprocess.run([INSPECT, "--check", str(target)], capture_output=True, text=True,
                             timeout=120)
        assert out.returncode == 1, out.stderr
        assert out.stdout.startswith("recovery: the leftover record of an earlier interrupted "
                                     "save no longer matched the file"), out.stdout
    assert not record.exists()
    assert target.read_bytes() == saved


LOAD = r"""
import sys, qelmfile
try:
    qelmfile.load(sys.argv[1])
    print("loaded")
except OSError as exc:
    print(type(exc).__name__, exc.errno, exc)
"""


def test_a_reader_that_may_not_undo_a_killed_save_refuses_to_read(as_nobody):
    # Open to nobody: below the build's temporary directory, not tmp_path.
    directory = tempfile.mkdtemp(prefix="record-")
    try:
        os.chmod(directory, 0o755)
        contents = [bytes_of(n, directory) for n in SAMPLES]
        target = os.path.join(directory, "p.qelm")
        with open(target, "wb") as f:
            f.write(contents[0])
        os.link(target, os.path.join(directory, "second"))
        record = os.path.join(directory, ".p.qelm.journal")
        kill_with_a_whole_record(target, record, record_sizes(contents))
        os.chmod(target, 0o644)  # nobody may read it, not write it
        out = subprocess.run([*as_nobody, sys.executable, "-c", LOAD, target], capture_output=True,
                             text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        assert out.stdout.startswith("PermissionError 13 [Errno 13] an interrupted save left"), \
            out.stdout
        assert os.path.exists(record)
        qelmfile.load(target)  # root may: undone now
        assert not os.path.exists(record)
        with open(target, "rb") as f:
            assert f.read() in contents
    finally:
        subprocess.run(["rm", "-rf", directory], check=True)


# --- another user's link in a sticky directory --------------------------------------------------

PLANT = r"""
import os, sys
os.symlink(sys.argv[2], sys.argv[1])
"""


def test_a_planted_link_is_followed_only_as_far_as_the_kernel_follows_it(as_nobody):
    # Below the build's temporary directory, which every user may search; sticky and
    # world-writable like /tmp.
    directory = tempfile.mkdtemp(prefix="sticky-")
    os.chmod(directory, 0o1777)
    victim = os.path.join(directory, "victim.qelm")
    link = os.path.join(directory, "session.qelm")
    old = b"root's own file, not to be overwritten through someone else's link"
    try:
        with open(victim, "wb") as f:
            f.write(old)
        subprocess.run([*as_nobody, sys.executable, "-c", PLANT, link, victim], check=True,
                       timeout=120)
        assert os.lstat(link).st_uid != 0
        try:
            open(link, "r+b").close()
            kernel_follows = True
        except PermissionError:
            kernel_follows = False
        if kernel_follows:
            Protocol().save(link)
            with open(victim, "rb") as f:
                assert len(f.read()) == 201
        else:
            with pytest.raises(BaseException) as info:
                Protocol().save(link)
            assert "kind: PermissionDenied" in str(info.value)
            with open(victim, "rb") as f:
                assert f.read() == old
        assert os.path.islink(link)
    finally:
        subprocess.run(["rm", "-rf", directory], check=True)


# --- a lease holder ------------------------------------------------------------------------------

SAVE_ONCE = r"""
import sys
from pyqelm import Protocol
Protocol().save(sys.argv[1])
print("saved")
"""


@pytest.mark.parametrize("links", [1, 2], ids=["replaced", "in-place"])
def test_a_file_under_a_read_lease_is_saved_once_the_holder_lets_go(tmp_path, links):
    target = tmp_path / "leased.qelm"
    target.write_bytes(b"old contents")
    if links == 2:
        os.link(target, tmp_path / "second")
    held = os.open(target, os.O_RDONLY)
    broken = []

    def let_go(signum, frame):
        broken.append(signum)
        fcntl.fcntl(held, fcntl.F_SETLEASE, fcntl.F_UNLCK)

    previous = signal.signal(signal.SIGIO, let_go)
    try:
        try:
            fcntl.fcntl(held, fcntl.F_SETLEASE, fcntl.F_RDLCK)
        except OSError as exc:
            pytest.skip(f"no leases here: {exc}")
        out = subprocess.run([sys.executable, "-c", SAVE_ONCE, str(target)], capture_output=True,
                             text=True, timeout=300)
    finally:
        signal.signal(signal.SIGIO, previous)
        os.close(held)
    assert out.returncode == 0, out.stderr
    assert broken == [signal.SIGIO]
    assert len(target.read_bytes()) == 201
