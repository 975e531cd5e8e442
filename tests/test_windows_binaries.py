"""What the installed Windows modules load: the interpreter DLL their wheel's tag promises.

A stable-ABI module that imported python312.dll would install on 3.13 and then fail to load
there; a version-specific one that imported python3.dll alone would load on every version and
crash on the first call outside the stable ABI.
"""

import pathlib
import re
import struct
import sys

import pytest

import pyqelm
import qelmfile

pytestmark = pytest.mark.skipif(sys.platform != "win32", reason="reads the import table of a Windows build")


def imported_dlls(path):
    """The DLL names of a PE32+ file's import and delay-import tables, in lower case."""
    data = pathlib.Path(path).read_bytes()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe : pe + 4] == b"PE\0\0"
    sections, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
    optional = pe + 24
    assert struct.unpack_from("<H", data, optional)[0] == 0x20B, "not a 64-bit image"
    table = optional + optional_size
    spans = [struct.unpack_from("<8xIIII", data, table + 40 * i) for i in range(sections)]

    def offset(rva):
        for size, address, raw_size, raw in spans:
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        raise AssertionError(f"RVA {rva:#x} lies in no section")

    def text(rva):
        start = offset(rva)
        return data[start : data.index(b"\0", start)].decode("ascii").lower()

    names = []
    # Data directories 1 (imports, 20-byte entries, name at 12) and 13 (delay imports, 32-byte
    # entries, name at 4); each list ends with an entry of zeros.
    for directory, entry_size, name_at in ((1, 20, 12), (13, 32, 4)):
        rva, size = struct.unpack_from("<II", data, optional + 112 + 8 * directory)
        if not rva or not size:
            continue
        at = offset(rva)
        while any(data[at : at + entry_size]):
            names.append(text(struct.unpack_from("<I", data, at + name_at)[0]))
            at += entry_size
    return names


@pytest.mark.parametrize("module", [pyqelm, qelmfile], ids=lambda m: m.__name__)
def test_module_loads_only_the_interpreter_dll_of_its_tag(module):
    path = pathlib.Path(module.__file__)
    dlls = imported_dlls(path)
    interpreter_dlls = sorted(d for d in dlls if re.fullmatch(r"python3\d*\.dll", d))
    minor = sys.version_info.minor
    if path.name == f"{module.__name__}.pyd":
        # No version in the file name: the stable-ABI build, for 3.12 and every later version.
        assert interpreter_dlls == ["python3.dll"]
    else:
        assert path.name == f"{module.__name__}.cp3{minor}-win_amd64.pyd"
        assert interpreter_dlls == [f"python3{minor}.dll"]
    # The C++ runtime is linked in: a wheel carries no MinGW DLLs for it.
    assert not [d for d in dlls if d.startswith(("libstdc++", "libgcc", "libwinpthread"))]
