"""Each extension module exports its init function and nothing else: no copy of a C++ library
template (weak or unique symbols) that another module loaded into the same process could bind
to instead of its own. The dynamic symbol table (ELF) or the export table (PE) of the built
file is read directly, so no tool of the platform is needed."""

import struct

import pytest

import pyqelm
import qelmfile


def elf_exports(data):
    """Names of the defined, visible symbols in the dynamic symbol table of an ELF64 file."""
    assert data[:4] == b"\x7fELF" and data[4] == 2, "not a 64-bit ELF file"
    endian = "<" if data[5] == 1 else ">"
    shoff, = struct.unpack_from(endian + "Q", data, 0x28)
    shentsize, shnum = struct.unpack_from(endian + "HH", data, 0x3A)
    sections = [struct.unpack_from(endian + "IIQQQQIIQQ", data, shoff + i * shentsize)
                for i in range(shnum)]
    names = []
    for _name, kind, _flags, _addr, offset, size, link, _info, _align, entsize in sections:
        if kind != 11:  # SHT_DYNSYM
            continue
        strtab_offset = sections[link][4]
        for pos in range(offset + entsize, offset + size, entsize):  # entry 0 is the null symbol
            name, info, other, shndx = struct.unpack_from(endian + "IBBH", data, pos)
            binding, visibility = info >> 4, other & 3
            # GLOBAL, WEAK or GNU_UNIQUE, defined here, default or protected visibility.
            if binding in (1, 2, 10) and shndx != 0 and visibility in (0, 3):
                end = data.index(b"\0", strtab_offset + name)
                names.append(data[strtab_offset + name:end].decode())
    return sorted(names)


def pe_exports(data):
    """Names in the export table of a PE32+ file (a Windows .pyd)."""
    assert data[:2] == b"MZ", "not a PE file"
    pe, = struct.unpack_from("<I", data, 0x3C)
    assert data[pe:pe + 4] == b"PE\0\0"
    sections_count, = struct.unpack_from("<H", data, pe + 6)
    optional_size, = struct.unpack_from("<H", data, pe + 20)
    optional = pe + 24
    assert struct.unpack_from("<H", data, optional)[0] == 0x20B, "not PE32+"
    export_rva, export_size = struct.unpack_from("<II", data, optional + 112)
    if export_size == 0:
        return []
    sections = [struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
                for i in range(sections_count)]

    def at(rva):
        for virtual_size, address, raw_size, raw_offset in sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_offset + rva - address
        raise AssertionError(f"RVA {rva:#x} in no section")

    directory = at(export_rva)
    names_count, = struct.unpack_from("<I", data, directory + 24)
    names_rva, = struct.unpack_from("<I", data, directory + 32)
    names = []
    for i in range(names_count):
        name_rva, = struct.unpack_from("<I", data, at(names_rva) + 4 * i)
        start = at(name_rva)
        names.append(data[start:data.index(b"\0", start)].decode())
    return sorted(names)


def exports(path):
    with open(path, "rb") as f:
        data = f.read()
    return pe_exports(data) if data[:2] == b"MZ" else elf_exports(data)


@pytest.mark.parametrize("module, init", [(pyqelm, "PyInit_pyqelm"), (qelmfile, "PyInit_qelmfile")],
                         ids=["pyqelm", "qelmfile"])
def test_the_module_exports_only_its_init_function(module, init):
    assert exports(module.__file__) == [init]
