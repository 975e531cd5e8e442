"""The worked example of docs/file-format.md matches what the module writes, byte for byte."""

import pathlib
import re

import pytest

import pyqelm

DOC = pathlib.Path(__file__).resolve().parent.parent / "docs" / "file-format.md"

# | 12 | 0x0C | `44 65 66 61 75 6C 74` | field | value |
ROW = re.compile(r"^\| (\d+) \| 0x([0-9A-F]+) \| `([0-9A-F ]+)` \|", re.MULTILINE)
DUMP = re.compile(r"^([0-9a-f]{8}): ((?:[0-9a-f]{2} )+)", re.MULTILINE)


@pytest.fixture
def new_file(tmp_path, monkeypatch):
    monkeypatch.delenv("QELM_TARGET_MACHINE", raising=False)
    path = tmp_path / "new.qelm"
    pyqelm.Protocol().save(str(path))
    return path.read_bytes()


def test_annotated_example_covers_every_byte(new_file):
    rows = ROW.findall(DOC.read_text(encoding="utf-8"))
    assert rows, "no annotated rows found"
    expected_offset = 0
    for offset, hex_offset, text in rows:
        data = bytes.fromhex(text)
        assert int(offset) == int(hex_offset, 16) == expected_offset, text
        assert new_file[expected_offset : expected_offset + len(data)] == data, offset
        expected_offset += len(data)
    assert expected_offset == len(new_file) == 201


def test_hex_dump_is_the_file(new_file):
    lines = DUMP.findall(DOC.read_text(encoding="utf-8"))
    assert [int(offset, 16) for offset, _ in lines] == list(range(0, 201, 16))
    assert b"".join(bytes.fromhex(text) for _, text in lines) == new_file
