"""`save` against a failing file system (a full disk, the file-size limit, a read-only file
system, a file the caller may not write) and in the places where a new file could not take the
old one's place (other names, a mount on the file, another user's file). A failed save leaves
the old contents, no temporary file and a message naming the error; a successful one leaves the
file what it was.

Mounting needs root and is skipped where it is refused; the permission cases need a process
that the mode bits bind (root without its override capabilities, or any other user).
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

from pyqelm import Protocol

pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="Linux file-system faults")

OLD = b"the previous protocol file, which must survive"
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
PANIC = "PanicException"

# Helper commands run without the sanitizer runtimes a sanitized test run preloads.
PLAIN_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS")}


def big_protocol(signals=10_000):
    """A protocol whose file is about 9 bytes per signal: 90 kB by default."""
    p = Protocol()
    for i in range(signals):
        p.add_constant_signal(float(i))
    return p


def os_error(code, kind):
    return re.compile(re.escape(f'{UNWRAP}Os {{ code: {code}, kind: {kind}, message: "') + r"[^\"]+\" \}")


def saved_with_failure(p, path):
    with pytest.raises(BaseException) as info:
        p.save(str(path))
    assert type(info.value).__name__ == PANIC
    return str(info.value)


def assert_untouched(directory, before):
    assert sorted(os.listdir(directory)) == before
    assert (directory / "old.qelm").read_bytes() == OLD


@pytest.fixture
def tmpfs(tmp_path):
    """A 64 kB tmpfs with the old file in it; yields its directory."""
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting needs root")
    mount_point = tmp_path / "fs"
    mount_point.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=64k,mode=0755", "tmpfs", str(mount_point)],
        capture_output=True, env=PLAIN_ENV,
    )
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.decode().strip()}")
    try:
        (mount_point / "old.qelm").write_bytes(OLD)
        yield mount_point
    finally:
        subprocess.run(["umount", "-l", str(mount_point)], capture_output=True, env=PLAIN_ENV)


def test_full_disk_keeps_the_old_file_and_frees_the_space(tmpfs):
    before = sorted(os.listdir(tmpfs))
    free = os.statvfs(tmpfs).f_bfree
    message = saved_with_failure(big_protocol(), tmpfs / "old.qelm")
    assert os_error(28, "StorageFull").fullmatch(message), message
    assert_untouched(tmpfs, before)
    assert os.statvfs(tmpfs).f_bfree == free  # the partial temporary file is gone, blocks and all
    small = Protocol()
    small.save(str(tmpfs / "old.qelm"))  # the room the failed save took is there again
    assert len((tmpfs / "old.qelm").read_bytes()) == 201


def test_full_disk_keeps_a_file_with_two_names_whole(tmpfs):
    # A file with a second name is rewritten in place: the room is taken before any old byte.
    os.link(tmpfs / "old.qelm", tmpfs / "second")
    before = sorted(os.listdir(tmpfs))
    free = os.statvfs(tmpfs).f_bfree
    message = saved_with_failure(big_protocol(), tmpfs / "old.qelm")
    assert os_error(28, "StorageFull").fullmatch(message), message
    assert_untouched(tmpfs, before)
    assert (tmpfs / "second").read_bytes() == OLD
    assert os.statvfs(tmpfs).f_bfree == free


def test_a_file_mounted_on_itself_is_saved(tmp_path):
    if os.geteuid() != 0 or shutil.which("mount") is None:
        pytest.skip("mounting needs root")
    target = tmp_path / "volume.qelm"
    target.write_bytes(OLD)
    mounted = subprocess.run(["mount", "--bind", str(target), str(target)], capture_output=True,
                             env=PLAIN_ENV)
    if mounted.returncode != 0:
        pytest.skip(f"cannot bind-mount here: {mounted.stderr.decode().strip()}")
    try:
        Protocol().save(str(target))
        assert len(target.read_bytes()) == 201
    finally:
        subprocess.run(["umount", "-l", str(target)], capture_output=True, env=PLAIN_ENV)
    assert len(target.read_bytes()) == 201  # the file under the mount is the one saved
    assert os.listdir(tmp_path) == ["volume.qelm"]


def test_read_only_file_system_keeps_the_old_file(tmpfs):
    remounted = subprocess.run(
        ["mount", "-o", "remount,ro", str(tmpfs)], capture_output=True, env=PLAIN_ENV
    )
    if remounted.returncode != 0:
        pytest.skip(f"cannot remount read-only: {remounted.stderr.decode().strip()}")
    before = sorted(os.listdir(tmpfs))
    message = saved_with_failure(Protocol(), tmpfs / "old.qelm")
    assert os_error(30, "ReadOnlyFilesystem").fullmatch(message), message
    assert_untouched(tmpfs, before)


# --- in a child process: under a file-size limit, or bound by the mode bits ---------------------

CHILD = r"""
import json, resource, sys
from pyqelm import Protocol
limit, path, signals = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
p = Protocol()
for i in range(signals):
    p.add_constant_signal(float(i))
if limit:
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
try:
    p.save(path)
    print(json.dumps(["ok", ""]))
except BaseException as exc:
    print(json.dumps([type(exc).__name__, str(exc)]))
"""


def file_of(signals):
    """The bytes a save of the child's protocol writes."""
    with tempfile.TemporaryDirectory() as directory:
        big_protocol(signals).save(os.path.join(directory, "x.qelm"))
        with open(os.path.join(directory, "x.qelm"), "rb") as f:
            return f.read()


def save_in_child(path, signals, fsize_limit=0, prefix=()):
    out = subprocess.run(
        [*prefix, sys.executable, "-c", CHILD, str(fsize_limit), str(path), str(signals)],
        capture_output=True, text=True, timeout=120,
    )
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def test_file_size_limit_keeps_the_old_file(tmp_path):
    (tmp_path / "old.qelm").write_bytes(OLD)
    before = sorted(os.listdir(tmp_path))
    # CPython ignores SIGXFSZ, so the write past the limit fails with EFBIG.
    kind, message = save_in_child(tmp_path / "old.qelm", signals=2000, fsize_limit=4096)
    assert kind == PANIC
    assert os_error(27, "FileTooLarge").fullmatch(message), message
    assert_untouched(tmp_path, before)


@pytest.fixture(scope="module")
def unprivileged():
    """The command prefix that runs a child bound by the mode bits, or a skip."""
    if os.geteuid() != 0:
        return ()
    # Root keeps its identity (and so its access to this interpreter) but loses the
    # capabilities that override file permissions.
    prefix = ("setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search,-fowner")
    if shutil.which("setpriv") is None:
        pytest.skip("no setpriv to drop root's file-permission override")
    probe = subprocess.run([*prefix, "true"], capture_output=True, env=PLAIN_ENV)
    if probe.returncode != 0:
        pytest.skip(f"cannot drop capabilities here: {probe.stderr.decode().strip()}")
    return prefix


def test_permission_denied_keeps_the_old_file(tmp_path, unprivileged):
    target = tmp_path / "old.qelm"
    target.write_bytes(OLD)
    target.chmod(0o444)
    before = sorted(os.listdir(tmp_path))
    kind, message = save_in_child(target, signals=10, prefix=unprivileged)
    assert kind == PANIC
    assert os_error(13, "PermissionDenied").fullmatch(message), message
    assert_untouched(tmp_path, before)
    assert target.stat().st_mode & 0o777 == 0o444


def test_writable_file_in_a_read_only_directory_is_saved(tmp_path, unprivileged):
    target = tmp_path / "old.qelm"
    target.write_bytes(OLD)
    inode = target.stat().st_ino
    tmp_path.chmod(0o555)  # the file may be written, but nothing may be created beside it
    try:
        kind, message = save_in_child(target, signals=10, prefix=unprivileged)
    finally:
        tmp_path.chmod(0o755)
    assert (kind, message) == ("ok", "")
    assert target.stat().st_ino == inode
    assert target.read_bytes() == file_of(10)
    assert os.listdir(tmp_path) == ["old.qelm"]


@pytest.mark.parametrize(
    "directory_mode, owner, file_mode",
    [
        (0o1777, (4321, 8765), 0o666),  # someone else's file in a sticky directory like /tmp
        (0o555, (0, 0), 0o666),  # a writable file in a directory nobody may not write
        (0o777, (4321, 8765), 0o646),  # someone else's file in a writable directory
    ],
    ids=["sticky", "read-only-directory", "others-file"],
)
def test_another_users_file_is_saved_and_stays_theirs(as_nobody, directory_mode, owner, file_mode):
    # Not under tmp_path: its parents are closed to other users. The temporary directory
    # itself (the build's, in the test command) is open to them.
    directory = tempfile.mkdtemp(prefix="pyqelm-save-")
    target = os.path.join(directory, "shared.qelm")
    try:
        with open(target, "wb") as f:
            f.write(OLD)
        os.chown(target, *owner)
        os.chmod(target, file_mode)
        os.chmod(directory, directory_mode)
        before = os.stat(target)
        kind, message = save_in_child(target, signals=10, prefix=as_nobody)
        assert (kind, message) == ("ok", "")
        after = os.stat(target)
        assert (after.st_ino, after.st_uid, after.st_gid, after.st_mode) == (
            before.st_ino, *owner, before.st_mode)
        with open(target, "rb") as f:
            assert f.read() == file_of(10)
        assert os.listdir(directory) == ["shared.qelm"]
    finally:
        os.chmod(directory, 0o755)
        shutil.rmtree(directory)
