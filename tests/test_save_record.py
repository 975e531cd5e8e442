"""The record of a rewrite in place, made by hand beside a file as a save cut short leaves it,
on every platform and as written by either kind of system: the readers (qelmfile.load,
qelm-inspect) and the next save put the old contents back over a rewrite cut short, and leave
the file alone when it holds the new contents whole or was saved again since.

The record's layout is written out here from its description, independently of the library.
"""

import os
import subprocess
import sys

import pytest

import qelmfile
from pyqelm import Protocol
from support import INSPECT

MASK = (1 << 64) - 1
PRIME1, PRIME2, PRIME3 = 0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9
BLOCK = 512
IDENTITY = {"posix": 1, "windows": 2}


def _rotl(x, by):
    return ((x << by) | (x >> (64 - by))) & MASK


def _round(lane, word):
    return _rotl((lane + word * PRIME2) & MASK, 31) * PRIME1 & MASK


def checksum(data):
    lanes = [(PRIME1 + PRIME2) & MASK, PRIME2, 0, -PRIME1 & MASK]
    word = lambda at: int.from_bytes(data[at:at + 8], "little")  # noqa: E731
    at = 0
    while at + 32 <= len(data):
        lanes = [_round(lanes[i], word(at + 8 * i)) for i in range(4)]
        at += 32
    x = (_rotl(lanes[0], 1) + _rotl(lanes[1], 7) + _rotl(lanes[2], 12) + _rotl(lanes[3], 18)
         + len(data)) & MASK
    while at + 8 <= len(data):
        x = _rotl(x ^ _round(0, word(at)), 27) * PRIME1 & MASK
        at += 8
    for byte in data[at:]:
        x = _rotl(x ^ (byte * PRIME3 & MASK), 11) * PRIME1 & MASK
    x ^= x >> 33
    x = x * PRIME2 & MASK
    x ^= x >> 29
    x = x * PRIME3 & MASK
    return x ^ (x >> 32)


def record(old, new, device, inode, system):
    u64 = lambda x: x.to_bytes(8, "little")  # noqa: E731
    sums = b"".join(u64(checksum(new[at:at + BLOCK])) for at in range(0, len(new), BLOCK))
    body = checksum(old) ^ _rotl(checksum(sums) * PRIME3 & MASK, 23) ^ PRIME2
    head = (b"QELMJRN2" + u64(device) + u64(inode) + u64(len(old)) + u64(body) + u64(len(new))
            + u64(BLOCK | IDENTITY[system] << 32))
    return head + u64(checksum(head)) + old + sums


def protocol_bytes(signals, path):
    p = Protocol()
    for i in range(signals):
        p.add_constant_signal(float(i))
    p.save(str(path))
    data = path.read_bytes()
    path.unlink()
    return data


OLD, NEW, LATER = 60, 35, 20  # signals of each protocol: the new one is shorter


@pytest.mark.parametrize("system", ["posix", "windows"])
@pytest.mark.parametrize("state, signals, message", [
    ("cut-short", OLD, "an interrupted save was undone"),
    ("new-whole", NEW, "an interrupted save had written its new contents whole"),
    ("saved-again", LATER, "the leftover record of an earlier interrupted save no longer matched"),
])
@pytest.mark.parametrize("reader", ["load", "inspect", "save"])
def test_a_record_is_applied_only_over_a_rewrite_cut_short(tmp_path, system, state, signals,
                                                           message, reader):
    if reader == "inspect" and INSPECT is None:
        pytest.skip("qelm-inspect is not installed")
    old, new, later = (protocol_bytes(n, tmp_path / "x.qelm") for n in (OLD, NEW, LATER))
    target = tmp_path / "p.qelm"
    # The new contents written, the old tail not yet cut; or the new whole; or a later file.
    target.write_bytes({"cut-short": new + old[len(new):], "new-whole": new,
                        "saved-again": later}[state])
    status = os.stat(target)
    journal = tmp_path / ".p.qelm.journal"
    journal.write_bytes(record(old, new, status.st_dev, status.st_ino, system))
    if sys.platform != "win32":
        os.chmod(journal, 0o600)
    expected = {"cut-short": old, "new-whole": new, "saved-again": later}[state]
    if reader == "load":
        assert len(qelmfile.load(target).signals) == signals
    elif reader == "inspect":
        out = subprocess.run([INSPECT, "--check", str(target)], capture_output=True, text=True,
                             timeout=120)
        assert out.returncode == 1, out.stderr
        assert out.stdout.startswith("recovery: " + message), out.stdout
    else:
        # The next save settles the record first, then saves.
        Protocol().save(str(target))
        expected = target.read_bytes()
        assert len(expected) < len(later)
    assert not journal.exists()
    assert target.read_bytes() == expected
    assert sorted(os.listdir(tmp_path)) == ["p.qelm"]


@pytest.mark.parametrize("spoil", ["old-contents", "checksums", "cut"])
def test_a_torn_record_is_removed_and_the_file_left_alone(tmp_path, spoil):
    old, new = (protocol_bytes(n, tmp_path / "x.qelm") for n in (OLD, NEW))
    target = tmp_path / "p.qelm"
    target.write_bytes(old)
    status = os.stat(target)
    data = bytearray(record(old, new, status.st_dev, status.st_ino, "posix"))
    if spoil == "old-contents":
        data[64 + 10] ^= 1
    elif spoil == "checksums":
        data[-1] ^= 1
    else:
        del data[-8:]
    journal = tmp_path / ".p.qelm.journal"
    journal.write_bytes(bytes(data))
    if sys.platform != "win32":
        os.chmod(journal, 0o600)
    assert len(qelmfile.load(target).signals) == OLD
    assert not journal.exists()
    assert target.read_bytes() == old
