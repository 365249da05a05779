#!/usr/bin/env python3
"""Checks the PE32+ headers of boot-service driver images: format, machine,
subsystem, relocations, no imports, alignment and memory protection flags,
and the flash budget: the image's size, and its size LZMA-compressed as a
flash image stores it. Prints every deviation and exits 1 when there is
one."""
import argparse
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
from firmware_volume import compressed_size  # noqa: E402

PE32_PLUS_MAGIC = 0x20B
MACHINE_X64 = 0x8664
SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER = 11
FILE_RELOCS_STRIPPED = 0x0001
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100
SECTION_EXECUTE = 0x20000000
SECTION_WRITE = 0x80000000
DIRECTORY_IMPORT = 1
DIRECTORY_BASE_RELOCATION = 5
PAGE_SIZE = 4096
FILE_ALIGNMENT = 32


def budget_deviations(image, max_size, max_compressed_size):
    found = []
    if max_size is not None and len(image) > max_size:
        found.append(f"{len(image)} bytes, above its raw budget of {max_size} bytes")
    if max_compressed_size is not None:
        compressed = compressed_size(image)
        if compressed > max_compressed_size:
            found.append(f"{compressed} bytes LZMA-compressed, above its compressed budget of {max_compressed_size} bytes")
    return found


def deviations(image, without_fixups):
    if image[:2] != b"MZ":
        return ["no MZ header"]
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        return ["no PE signature"]
    machine, section_count = struct.unpack_from("<HH", image, pe + 4)
    optional_size, characteristics = struct.unpack_from("<HH", image, pe + 20)
    optional = pe + 24
    found = []

    def expect(condition, text):
        if not condition:
            found.append(text)

    magic = struct.unpack_from("<H", image, optional)[0]
    expect(magic == PE32_PLUS_MAGIC, f"optional header magic {magic:#x}, not PE32+")
    if magic != PE32_PLUS_MAGIC:
        return found
    section_alignment, file_alignment = struct.unpack_from("<II", image, optional + 32)
    subsystem, dll_characteristics = struct.unpack_from("<HH", image, optional + 68)
    directory_count = struct.unpack_from("<I", image, optional + 108)[0]

    def directory(index):
        if index >= directory_count:
            return 0, 0
        return struct.unpack_from("<II", image, optional + 112 + 8 * index)

    expect(machine == MACHINE_X64, f"machine {machine:#x}, not x86-64")
    expect(subsystem == SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER, f"subsystem {subsystem}, not a boot-service driver")
    expect(not characteristics & FILE_RELOCS_STRIPPED, "relocations stripped")
    relocation_rva, relocation_size = directory(DIRECTORY_BASE_RELOCATION)
    # An image without any absolute fixup has nothing to relocate, and lld-link
    # then writes no relocation directory: for it, relocatable means relocations
    # not stripped and DYNAMIC_BASE set, both checked here for every image.
    expect(without_fixups or (relocation_rva != 0 and relocation_size != 0), "no base relocations")
    expect(dll_characteristics & DLL_DYNAMIC_BASE, "DYNAMIC_BASE clear")
    expect(dll_characteristics & DLL_NX_COMPAT, "NX_COMPAT clear")
    expect(directory(DIRECTORY_IMPORT)[1] == 0, "import directory not empty")
    expect(section_alignment == PAGE_SIZE, f"section alignment {section_alignment}")
    expect(file_alignment == FILE_ALIGNMENT, f"file alignment {file_alignment}")

    sections = optional + optional_size
    for index in range(section_count):
        header = sections + 40 * index
        name = image[header:header + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual_address = struct.unpack_from("<I", image, header + 12)[0]
        flags = struct.unpack_from("<I", image, header + 36)[0]
        expect(virtual_address % PAGE_SIZE == 0, f"section {name} at {virtual_address:#x}, not page-aligned")
        expect((flags & (SECTION_WRITE | SECTION_EXECUTE)) != (SECTION_WRITE | SECTION_EXECUTE),
               f"section {name} writable and executable")
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--without-fixups", action="store_true",
                        help="the images hold no absolute address, so may have no relocation directory")
    parser.add_argument("--max-size", type=int, metavar="BYTES", help="largest size the image may have")
    parser.add_argument("--max-compressed-size", type=int, metavar="BYTES",
                        help="largest size the image may have LZMA-compressed")
    parser.add_argument("paths", nargs="+")
    arguments = parser.parse_args()
    failed = False
    for path in arguments.paths:
        with open(path, "rb") as file:
            image = file.read()
        found = deviations(image, arguments.without_fixups)
        found += budget_deviations(image, arguments.max_size, arguments.max_compressed_size)
        for text in found:
            print(f"{path}: {text}")
        failed = failed or bool(found)
        if not found:
            print(f"{path}: headers and size as required")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
