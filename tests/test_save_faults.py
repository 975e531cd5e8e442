"""`save` against a failing file system: a full disk, the file-size limit, a read-only file
system, a directory or a file the caller may not write. Each time the file already at the path
keeps its old contents, no temporary file is left behind, and the message names the error.

Mounting needs root and is skipped where it is refused; the permission cases need a process
that the mode bits bind (root without its override capabilities, or any other user).
"""

import json
import os
import re
import shutil
import subprocess
import sys

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


@pytest.mark.parametrize("read_only", ["directory", "file"])
def test_permission_denied_keeps_the_old_file(tmp_path, unprivileged, read_only):
    target = tmp_path / "old.qelm"
    target.write_bytes(OLD)
    if read_only == "directory":
        target.chmod(0o644)
        tmp_path.chmod(0o555)  # the file may be written, but nothing may be created beside it
    else:
        target.chmod(0o444)
    before = sorted(os.listdir(tmp_path))
    try:
        kind, message = save_in_child(target, signals=10, prefix=unprivileged)
    finally:
        tmp_path.chmod(0o755)
    assert kind == PANIC
    assert os_error(13, "PermissionDenied").fullmatch(message), message
    assert_untouched(tmp_path, before)
    assert target.stat().st_mode & 0o777 == (0o644 if read_only == "directory" else 0o444)
