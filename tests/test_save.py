"""Saving protocols: the exact bytes, the extension check, the default signal, and an existing
file that gets the new contents but stays the same file."""

import os
import re
import stat
import struct
import sys

import pytest

from pyqelm import Channel, Coil, Protocol

from support import settings_of



def new_protocol_file(target_machine):
    """The encoding of a new protocol saved at once, written out field by field."""
    f64 = lambda v: struct.pack("<d", v)  # noqa: E731
    coil = b"\x07Default" + f64(150.0) + f64(0.1) + f64(40.0) + b"\x01" + f64(330.0) + f64(
        22.624434389140273) + b"\xdd\x01" + b"\x01"
    machine = (f64(80.0) + b"\x02" + b"\x01" + coil + b"\x01" + f64(330.0) + b"\x01" + f64(330.0) + b"\x06"
               + b"\x00\x00\x00\x01" + f64(0.3) + f64(0.5) + f64(40.0) + f64(40.0) + f64(70.0) + f64(520.0))
    channel_a = b"\x01" + b"\x00" * 11
    channel_b = b"\x00" * 12
    return (bytes([target_machine]) + machine + f64(0.0) + f64(60.0) + b"\x01\x00" + f64(0.0)
            + channel_a + channel_b + b"\x00" * 16 + b"\x01")


PANIC_EXTENSION = 'assertion failed: filepath.ends_with(".qelm")'
UNWRAP = "called `Result::unwrap()` on an `Err` value: "
WINDOWS = sys.platform == "win32"
posix_only = pytest.mark.skipif(WINDOWS, reason="POSIX mode bits and umask; Windows files have none")
windows_only = pytest.mark.skipif(not WINDOWS, reason="Windows file attributes")


def os_error(code, kind):
    """The form of a system error's description; the system's own text is not pinned (wine's
    texts differ from Windows')."""
    return re.compile(re.escape(f"{UNWRAP}Os {{ code: ") + f"({code})" + f", kind: ({kind}), message: \""
                      + r'([^"\\]|\\.)*[^"\\ ]" \}')


@pytest.fixture
def at(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return tmp_path


# Windows deletes a variable set to the empty text in its own process (os.environ calls
# _wputenv), so there an empty value is an absent one.
@pytest.mark.parametrize("variable, first_byte", [(None, 0), ("", 0 if WINDOWS else 1), ("yes", 1)])
def test_new_protocol_saves_the_201_byte_file(at, monkeypatch, variable, first_byte):
    if variable is None:
        monkeypatch.delenv("QELM_TARGET_MACHINE", raising=False)
    else:
        monkeypatch.setenv("QELM_TARGET_MACHINE", variable)
    Protocol().save("protocol.qelm")
    data = (at / "protocol.qelm").read_bytes()
    assert len(data) == 201
    assert data == new_protocol_file(first_byte)
    assert data[52:60] == bytes.fromhex("EFDA9FEEDA9F3640")


def test_every_signal_kind_and_setting_is_in_the_file(at):
    np = pytest.importorskip("numpy")
    p = Protocol()
    p.set_session_duration(0.01)  # 50 samples
    p.set_stimulation_intensity(0.5)
    p.add_sine_signal(1.0, 10.0, 0.0, 0.5)
    p.add_ramp_signal(1.0, 2.0, 3.0)
    p.add_mixed_signal(0, 300)
    samples = np.zeros(50)
    samples[1] = 1.0
    p.add_arbitrary_signal(samples)
    p.enable_channel(Channel.B)
    p.set_amplitude_source(Coil.B2, 128, external=True)
    p.save("all.qelm")
    data = (at / "all.qelm").read_bytes()
    signals_at = 134 + 16
    assert data[134:150] == struct.pack("<dd", 0.5, 0.01)
    body = data[signals_at:]
    sine = bytes.fromhex("01" "000000000000F03F" "0000000000002440" + "00" * 8 + "000000000000E03F")
    ramp = b"\x02" + struct.pack("<ddd", 1.0, 2.0, 3.0)
    mixed = b"\x03\x00\xac\x02"
    arbitrary = b"\x04\x32\x00\xfe\xff\x03" + b"\x00" * 48
    channel_a = b"\x01" + b"\x00" * 11
    channel_b = b"\x01" + b"\x00" * 3 + b"\x00\x80\x01\x01" + b"\x00" * 3 + b"\x00\x00"
    assert body == b"\x04" + sine + ramp + mixed + arbitrary + channel_a + channel_b + b"\x00" * 16 + b"\x01"


@pytest.mark.parametrize("name", ["protocol.QELM", "protocol.qelm ", "protocol", "qelm", ".qel", "x.qelm/", "x.qelm\n"])
def test_wrong_extension_touches_nothing(at, name):
    p = Protocol()
    with pytest.raises(BaseException) as info:
        p.save(name)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == PANIC_EXTENSION
    assert list(at.iterdir()) == []
    assert settings_of(p)["signals"] == []  # no default signal either


def test_bare_extension_is_a_valid_name(at):
    Protocol().save(".qelm")
    assert (at / ".qelm").stat().st_size == 201


def test_str_subclass_accepted_path_objects_refused(at):
    class Name(str):
        pass

    Protocol().save(Name("sub.qelm"))
    assert (at / "sub.qelm").exists()
    with pytest.raises(TypeError) as info:
        Protocol().save(at / "path.qelm")
    path_type = "WindowsPath" if WINDOWS else "PosixPath"
    assert str(info.value) == f"argument 'filepath': '{path_type}' object cannot be cast as 'str'"


def test_default_signal_is_added_and_stays(at):
    p = Protocol()
    p.save("a.qelm")
    assert settings_of(p)["signals"] == [("Constant", {"value": 0.0})]
    assert p.add_constant_signal(1.0) == 1
    p.save("a.qelm")
    assert len(settings_of(p)["signals"]) == 2


def test_overwrite_larger_file_and_save_twice(at):
    target = at / "p.qelm"
    target.write_bytes(b"\xaa" * 10_000)
    p = Protocol()
    p.save("p.qelm")
    first = target.read_bytes()
    assert len(first) == 201
    p.set_stimulation_intensity(1.0)
    p.save("p.qelm")
    second = target.read_bytes()
    assert len(second) == 201 and second != first
    assert second[134:142] == struct.pack("<d", 1.0)
    assert sorted(x.name for x in at.iterdir()) == ["p.qelm"]  # no temporary file left


@posix_only
def test_new_file_mode_follows_umask(at):
    old = os.umask(0o027)
    try:
        Protocol().save("m.qelm")
    finally:
        os.umask(old)
    assert stat.S_IMODE((at / "m.qelm").stat().st_mode) == 0o640


@posix_only
def test_existing_file_keeps_its_permission_bits(at):
    target = at / "keep.qelm"
    target.write_bytes(b"old")
    target.chmod(0o600)
    Protocol().save("keep.qelm")
    assert stat.S_IMODE(target.stat().st_mode) == 0o600
    assert target.stat().st_size == 201


def test_every_name_of_the_file_sees_the_new_protocol(at):
    (at / "p.qelm").write_bytes(b"\xaa" * 10_000)
    os.link(at / "p.qelm", at / "other name.qelm")
    inode = (at / "p.qelm").stat().st_ino
    Protocol().save("p.qelm")
    assert len((at / "other name.qelm").read_bytes()) == 201
    assert (at / "p.qelm").stat().st_ino == inode
    assert sorted(x.name for x in at.iterdir()) == ["other name.qelm", "p.qelm"]


@pytest.mark.skipif(not hasattr(os, "setxattr"), reason="no extended attributes here")
def test_extended_attributes_stay(at):
    target = at / "x.qelm"
    target.write_bytes(b"old")
    try:
        os.setxattr(target, "user.session", b"morning run")
    except OSError as exc:
        pytest.skip(f"no user attributes on this file system: {exc}")
    Protocol().save("x.qelm")
    assert os.getxattr(target, "user.session") == b"morning run"
    assert target.stat().st_size == 201


def test_symbolic_link_stays_and_its_target_is_replaced(at):
    (at / "real").mkdir()
    real = at / "real" / "data.qelm"
    real.write_bytes(b"old contents")
    link = at / "link.qelm"
    try:
        link.symlink_to(os.path.join("real", "data.qelm"))
    except OSError as exc:  # Windows grants it only with a privilege or in developer mode
        pytest.skip(f"cannot make a symbolic link here: {exc}")
    if not link.is_symlink():
        pytest.skip("this system makes no symbolic link that it reports as one")
    Protocol().save("link.qelm")
    assert link.is_symlink()
    assert os.readlink(link) == os.path.join("real", "data.qelm")
    assert len(real.read_bytes()) == 201


POSIX_FAILURES = [
    ("missing/dir/p.qelm", 'Os { code: 2, kind: NotFound, message: "No such file or directory" }'),
    ("adir.qelm", 'Os { code: 21, kind: IsADirectory, message: "Is a directory" }'),
    ("afile/p.qelm", 'Os { code: 20, kind: NotADirectory, message: "Not a directory" }'),
    ("nul\0.qelm", 'Error { kind: InvalidInput, message: "file name contained an unexpected NUL byte" }'),
    ("x" * 300 + ".qelm", 'Os { code: 36, kind: InvalidFilename, message: "File name too long" }'),
]
# Codes and kinds of the system errors (several codes where Windows versions and wine differ);
# the NUL message is this module's own and exact.
WINDOWS_FAILURES = [
    ("missing/dir/p.qelm", os_error(3, "NotFound")),
    ("adir.qelm", os_error(5, "PermissionDenied")),  # a directory refuses a writer
    ("afile/p.qelm", os_error("3|267", "NotFound|NotADirectory")),
    ("nul\0.qelm", 'Error { kind: InvalidInput, message: "strings passed to WinAPI cannot contain NULs" }'),
    # one component over 255 units: Windows says 123 or 206, wine 2 or 3
    ("x" * 300 + ".qelm", os_error("123|206|2|3", "InvalidFilename|NotFound")),
]


@pytest.mark.parametrize("path, message", WINDOWS_FAILURES if WINDOWS else POSIX_FAILURES)
def test_failures_name_the_error_and_leave_nothing(at, path, message):
    (at / "adir.qelm").mkdir()
    (at / "afile").write_bytes(b"")
    before = sorted(x.name for x in at.iterdir())
    p = Protocol()
    with pytest.raises(BaseException) as info:
        p.save(path)
    assert type(info.value).__name__ == "PanicException"
    if isinstance(message, str):
        assert str(info.value) == UNWRAP + message
    else:
        assert message.fullmatch(str(info.value)), str(info.value)
    assert sorted(x.name for x in at.iterdir()) == before
    # the default signal supplied before the write stays, and the protocol is usable
    assert settings_of(p)["signals"] == [("Constant", {"value": 0.0})]
    p.save("ok.qelm")


def test_path_of_300_characters(at):
    """Beyond the classic 260-unit limit of Windows paths: the target and the temporary file
    beside it are reached in their extended-length form."""
    directory = at
    while len(str(directory)) < 200:
        directory = directory / ("d" * 40)
        directory.mkdir()
    target = directory / ("n" * (300 - len(str(directory)) - 1 - 5) + ".qelm")
    assert len(str(target)) == 300
    target.write_bytes(b"old" * 1000)
    p = Protocol()
    p.save(str(target))
    assert target.read_bytes()[1:] == new_protocol_file(0)[1:]
    p.save(str(target.with_name("new.qelm")))
    assert sorted(x.name for x in directory.iterdir()) == ["new.qelm", target.name]


@windows_only
def test_read_only_file_is_refused_and_kept(at):
    target = at / "ro.qelm"
    target.write_bytes(b"old")
    target.chmod(stat.S_IREAD)  # the read-only attribute
    try:
        with pytest.raises(BaseException) as info:
            Protocol().save("ro.qelm")
        assert os_error(5, "PermissionDenied").fullmatch(str(info.value)), str(info.value)
        assert target.read_bytes() == b"old"
        assert sorted(x.name for x in at.iterdir()) == ["ro.qelm"]
    finally:
        target.chmod(stat.S_IREAD | stat.S_IWRITE)


@windows_only
def test_a_file_held_open_by_a_reader_is_saved_and_the_reader_sees_it(at, monkeypatch):
    """Python's open() shares reading and writing but not deletion, so the file cannot be
    replaced: it is rewritten in place, and the open file reads the new bytes."""
    monkeypatch.delenv("QELM_TARGET_MACHINE", raising=False)
    target = at / "open.qelm"
    target.write_bytes(b"\xaa" * 10_000)
    with open(target, "rb") as reader:
        Protocol().save("open.qelm")
        reader.seek(0)
        assert reader.read() == new_protocol_file(0)
    assert sorted(x.name for x in at.iterdir()) == ["open.qelm"]


@windows_only
def test_hidden_and_system_marks_stay(at):
    import ctypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    target = at / "marked.qelm"
    target.write_bytes(b"old")
    hidden_system = 0x2 | 0x4
    assert kernel32.SetFileAttributesW(str(target), hidden_system)
    Protocol().save("marked.qelm")
    assert kernel32.GetFileAttributesW(str(target)) & hidden_system == hidden_system
    assert len(target.read_bytes()) == 201
