#!/usr/bin/env python3
"""Packs a DXE driver image as an FFS file, appends FFS files to the DXE volume
of an OVMF flash image laid out like Debian's OVMF_CODE_4M.fd, and lists the
files of a flash image's volumes.

  firmware_volume.py ffs --guid GUID --name NAME [--version TEXT] IMAGE.efi OUTPUT.ffs
  firmware_volume.py insert --output OUTPUT.fd FLASH.fd FILE.ffs...
  firmware_volume.py list FLASH.fd

The layout `insert` expects: a volume at offset 0 holding one firmware-volume
file whose only section is LZMA-compressed; inside it, the volume that holds
the DXE core, with erased space at its end. Everything else keeps its bytes
and position, and the output has the input's size. `ffs` takes only x86-64
PE32+ boot-service or runtime driver images. Every refusal is one line on
stderr and exit status 2, with no output file written.
"""

import argparse
import lzma
import re
import struct
import uuid
from dataclasses import dataclass

from host_tool import ToolError, run_tool, write_atomically

FFS2_FILE_SYSTEM = uuid.UUID("8C8CE578-8A3D-4F1C-9935-896185C32DD3")
LZMA_SECTION = uuid.UUID("EE4E5898-3914-4259-9D6E-DC7BD79403CF")
VOLUME_SIGNATURE = b"_FVH"
VOLUME_ERASE_POLARITY = 0x800

# Name, header checksum, file checksum, type, attributes, 24-bit size, state.
FILE_HEADER = struct.Struct("<16sBBBB3sB")
FILE_TYPES = {0x01: "RAW", 0x02: "FREEFORM", 0x03: "SECURITY_CORE", 0x04: "PEI_CORE", 0x05: "DXE_CORE",
              0x06: "PEIM", 0x07: "DRIVER", 0x08: "COMBINED_PEIM_DRIVER", 0x09: "APPLICATION", 0x0A: "MM",
              0x0B: "FIRMWARE_VOLUME_IMAGE", 0xF0: "PAD"}
FILE_RAW, FILE_DXE_CORE, FILE_DRIVER, FILE_VOLUME_IMAGE, FILE_PAD = 0x01, 0x05, 0x07, 0x0B, 0xF0
FILE_ATTRIBUTE_LARGE = 0x01
FILE_ATTRIBUTE_CHECKSUM = 0x40
FIXED_FILE_CHECKSUM = 0xAA
# A standalone .ffs file stores its state in positive logic, 0x07 (header
# constructed, header valid, data valid), as FFS files conventionally do. A
# volume with erase polarity 1 stores every state bit inverted, 0xF8: `insert`
# inverts the byte when it places a file, and reading a volume expects 0xF8.
VALID_FILE_STATE = 0x07
VALID_FILE_STATE_IN_VOLUME = ~VALID_FILE_STATE & 0xFF

SECTION_GUID_DEFINED = 0x02
SECTION_PE32 = 0x10
SECTION_VERSION = 0x14
SECTION_USER_INTERFACE = 0x15
SECTION_VOLUME_IMAGE = 0x17
GUID_DEFINED_HEADER = struct.Struct("<16sHH")  # encoding GUID, data offset, attributes

ERASED = 0xFF
LARGEST_SIZE = 0xFFFFFF


class FirmwareError(ToolError):
    """A refusal, reported as one line."""


@dataclass(frozen=True)
class FfsFile:
    offset: int  # in its volume
    guid: uuid.UUID
    kind: int
    attributes: int
    size: int
    data: bytes  # everything after the header


@dataclass(frozen=True)
class Volume:
    name: str
    offset: int  # in the bytes it was read from
    data: bytes
    files: list
    free: int  # offset of the erased space at the end


@dataclass(frozen=True)
class Section:
    offset: int  # in its file's data
    kind: int
    body: bytes  # everything after the 4-byte header


@dataclass(frozen=True)
class FileEntry:
    """One file of a flash image, as `list` prints it."""
    volume: str
    guid: str
    type: str
    size: int
    name: str | None  # from the user-interface section
    pe32: bytes | None  # the image in the PE32 section


def align(value, alignment):
    return (value + alignment - 1) & -alignment


def checksum8(data):
    return -sum(data) & 0xFF


def size24(size, what):
    if size > LARGEST_SIZE:
        raise FirmwareError(f"{what} would be {size} bytes, more than a 24-bit size holds")
    return size.to_bytes(3, "little")


def text_guid(guid):
    return str(guid).upper()


def parse_guid(text):
    if not re.fullmatch(r"[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}", text):
        raise FirmwareError(f"bad GUID {text!r}: expected XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX")
    return uuid.UUID(text)


def ucs2(text, what):
    """The text null-terminated, as a user-interface or version section holds
    it: UCS-2 has no surrogates, nothing beyond U+FFFF, and a NUL would end
    the text early."""
    if any(not 0 < ord(character) <= 0xFFFF or 0xD800 <= ord(character) <= 0xDFFF for character in text):
        raise FirmwareError(f"{what} {text!r} cannot be stored: UCS-2 text holds U+0001 to U+FFFF, surrogates "
                            f"excepted")
    return (text + "\0").encode("utf-16-le")


# Writing.

def section(kind, body, what):
    return size24(4 + len(body), what) + bytes([kind]) + body


def pad4(sections):
    return sections + bytes(align(len(sections), 4) - len(sections))


def file_header(guid, kind, size, state):
    header = bytearray(FILE_HEADER.pack(guid.bytes_le, 0, 0, kind, 0, size24(size, "the file"), 0))
    # The header checksum counts the file checksum and the state as zero.
    header[16] = checksum8(header)
    header[17] = FIXED_FILE_CHECKSUM
    header[23] = state
    return bytes(header)


MACHINE_X64 = 0x8664
# A DRIVER file holds a boot-service or a runtime driver; an application or
# another machine's image would be dispatched as one all the same.
DRIVER_SUBSYSTEMS = {11: "EFI boot-service driver", 12: "EFI runtime driver"}
SUBSYSTEM_OFFSET = 68  # in the PE32+ optional header


def pe_header(image):
    """Offset of the PE signature the DOS header points to, or None when the
    bytes are no PE image."""
    if len(image) < 0x40 or image[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    return pe if image[pe:pe + 4] == b"PE\0\0" else None


def check_driver_image(image, path):
    pe = pe_header(image)
    if pe is None or image[pe + 24:pe + 26] != b"\x0b\x02" or len(image) < pe + 24 + SUBSYSTEM_OFFSET + 2:
        raise FirmwareError(f"{path} is not a PE32+ image")
    machine = struct.unpack_from("<H", image, pe + 4)[0]
    if machine != MACHINE_X64:
        raise FirmwareError(f"{path} is for machine {machine:#06x}, not x86-64 ({MACHINE_X64:#06x})")
    subsystem = struct.unpack_from("<H", image, pe + 24 + SUBSYSTEM_OFFSET)[0]
    if subsystem not in DRIVER_SUBSYSTEMS:
        raise FirmwareError(f"{path} has subsystem {subsystem}, not a DXE driver's "
                            f"({', '.join(f'{number} {name}' for number, name in DRIVER_SUBSYSTEMS.items())})")


def driver_file(guid, image, name, version):
    """A DRIVER file: PE32, user-interface and version sections, no dependency
    expression, so the DXE core dispatches it once the architectural protocols
    are installed."""
    sections = section(SECTION_PE32, image, "the PE32 section")
    sections = pad4(sections) + section(SECTION_USER_INTERFACE, ucs2(name, "the driver's name"), "the name")
    sections = pad4(sections) + section(SECTION_VERSION, struct.pack("<H", 0) + ucs2(version, "the version"),
                                         "the version")
    return file_header(guid, FILE_DRIVER, FILE_HEADER.size + len(sections), VALID_FILE_STATE) + sections


# Reading.

def read_file(data, offset, where, state):
    guid, _, file_checksum, kind, attributes, size, file_state = FILE_HEADER.unpack_from(data, offset)
    size = int.from_bytes(size, "little")
    at = f"{where}: file at {offset:#x}"
    if attributes & FILE_ATTRIBUTE_LARGE or size < FILE_HEADER.size or offset + size > len(data):
        raise FirmwareError(f"{at} has a size this tool cannot read")
    header = bytearray(data[offset:offset + FILE_HEADER.size])
    header[17] = header[23] = 0
    if sum(header) & 0xFF:
        raise FirmwareError(f"{at} has a wrong header checksum")
    body = data[offset + FILE_HEADER.size:offset + size]
    if file_checksum != (checksum8(body) if attributes & FILE_ATTRIBUTE_CHECKSUM else FIXED_FILE_CHECKSUM):
        raise FirmwareError(f"{at} has a wrong file checksum")
    if file_state != state:
        raise FirmwareError(f"{at} has state {file_state:#04x}, not {state:#04x}")
    return FfsFile(offset, uuid.UUID(bytes_le=guid), kind, attributes, size, body)


def read_volume(container, offset, where):
    """The FFS2 volume at `offset`, with its files' headers checked."""
    if len(container) < offset + 0x38 or container[offset + 0x28:offset + 0x2C] != VOLUME_SIGNATURE:
        raise FirmwareError(f"no firmware volume at {where} offset {offset:#x}")
    length, _, attributes, header_length, _, extension = struct.unpack_from("<Q4sIHHH", container, offset + 0x20)
    data = container[offset:offset + length]
    at = f"{where}: volume at {offset:#x}"
    if len(data) != length or max(header_length, extension + 16) > length:
        raise FirmwareError(f"{at} runs past the end")
    if uuid.UUID(bytes_le=data[0x10:0x20]) != FFS2_FILE_SYSTEM or not attributes & VOLUME_ERASE_POLARITY:
        raise FirmwareError(f"{at} is not an FFS2 volume with erase polarity 1")
    if sum(struct.unpack_from(f"<{header_length // 2}H", data)) & 0xFFFF:
        raise FirmwareError(f"{at} has a wrong header checksum")
    name = text_guid(uuid.UUID(bytes_le=data[extension:extension + 16])) if extension else at
    files = []
    position = align(header_length, 8)
    while position + FILE_HEADER.size <= length:
        if data.count(ERASED, position, position + FILE_HEADER.size) == FILE_HEADER.size:
            break  # free space starts at the first header of erased bytes
        files.append(read_file(data, position, f"volume {name}", VALID_FILE_STATE_IN_VOLUME))
        position = align(position + files[-1].size, 8)
    free = min(position, length)
    if data.count(ERASED, free) != length - free:
        raise FirmwareError(f"volume {name} has data after its free space at {free:#x}")
    return Volume(name, offset, data, files, free)


def read_sections(data, where):
    sections = []
    position = 0
    while position < len(data):
        size = int.from_bytes(data[position:position + 3], "little")
        if size == LARGEST_SIZE or size < 4 or position + size > len(data):
            raise FirmwareError(f"{where}: section at {position:#x} has a size this tool cannot read")
        sections.append(Section(position, data[position + 3], data[position + 4:position + size]))
        position = align(position + size, 4)
    return sections


def lzma_payload(guided, where):
    """The decompressed data of an LZMA GUID-defined section, or None for any other encoding."""
    if len(guided.body) < GUID_DEFINED_HEADER.size:
        raise FirmwareError(f"{where}: GUID-defined section too short")
    guid, data_offset, _ = GUID_DEFINED_HEADER.unpack_from(guided.body)
    if uuid.UUID(bytes_le=guid) != LZMA_SECTION:
        return None
    stream = guided.body[data_offset - 4:]
    try:
        payload = lzma.decompress(stream, format=lzma.FORMAT_ALONE)
    except lzma.LZMAError as error:
        raise FirmwareError(f"{where}: LZMA section does not decompress ({error})") from None
    if len(payload) != int.from_bytes(stream[5:13], "little"):
        raise FirmwareError(f"{where}: LZMA section's size field does not match its data")
    return payload


def file_sections(file):
    if file.kind in (FILE_RAW, FILE_PAD):
        return []
    return read_sections(file.data, f"file {text_guid(file.guid)}")


def nested_volumes(sections, where):
    for item in sections:
        if item.kind == SECTION_VOLUME_IMAGE:
            yield from volume_tree(read_volume(item.body, 0, where))
        elif item.kind == SECTION_GUID_DEFINED:
            payload = lzma_payload(item, where)
            if payload is not None:
                yield from nested_volumes(read_sections(payload, where), where)


def volume_tree(volume):
    yield volume
    for file in volume.files:
        yield from nested_volumes(file_sections(file), f"file {text_guid(file.guid)}")


def flash_volumes(image):
    """Every volume of the flash image; volumes inside a file follow the volume holding it."""
    if not image:
        raise FirmwareError("the flash image is empty")
    offset = 0
    while offset < len(image):
        volume = read_volume(image, offset, "flash image")
        yield from volume_tree(volume)
        offset += len(volume.data)


def file_entry(volume, file):
    # The first section of each kind.
    found = {item.kind: item.body for item in reversed(file_sections(file))}
    name = found.get(SECTION_USER_INTERFACE)
    return FileEntry(volume.name, text_guid(file.guid), FILE_TYPES.get(file.kind, f"{file.kind:#04x}"), file.size,
                     name.decode("utf-16-le").split("\0")[0] if name is not None else None, found.get(SECTION_PE32))


def list_files(image):
    """A FileEntry for every file in every volume of the flash image."""
    return [file_entry(volume, file) for volume in flash_volumes(image) for file in volume.files]


# Insertion.

def compressed_firmware(image):
    """The volume at offset 0, its one file, that file's LZMA section and the decompressed payload."""
    outer = read_volume(image, 0, "flash image")
    files = [file for file in outer.files if file.kind != FILE_PAD]
    sections = file_sections(files[0]) if files else []
    payload = None
    # The compressed file must be the last one, so that it may grow into the free space.
    if (len(files) == 1 and files[0] is outer.files[-1] and files[0].kind == FILE_VOLUME_IMAGE
            and not files[0].attributes and len(sections) == 1 and sections[0].kind == SECTION_GUID_DEFINED):
        payload = lzma_payload(sections[0], "flash image")
    if payload is None:
        raise FirmwareError("unexpected flash layout: the volume at offset 0 should end with its one file, "
                            "a firmware-volume file holding one LZMA section")
    return outer, files[0], sections[0], payload


def dxe_volume(payload):
    """The volume of the decompressed payload that holds the DXE core."""
    for item in read_sections(payload, "compressed payload"):
        if item.kind == SECTION_VOLUME_IMAGE:
            volume = read_volume(payload, item.offset + 4, "compressed payload")
            if any(file.kind == FILE_DXE_CORE for file in volume.files):
                return volume
    raise FirmwareError("unexpected flash layout: no volume holding the DXE core in the compressed payload")


def append_files(volume, ffs_files):
    """The volume's bytes with the (path, bytes) FFS files appended on 8-byte boundaries."""
    data = bytearray(volume.data)
    guids = {file.guid for file in volume.files}
    position = volume.free
    for path, raw in ffs_files:
        file = read_file(raw, 0, path, VALID_FILE_STATE) if len(raw) >= FILE_HEADER.size else None
        if file is None or file.size != len(raw):
            raise FirmwareError(f"{path} is not one FFS file")
        if file.attributes:
            raise FirmwareError(f"{path} has file attributes {file.attributes:#04x}; only files without any fit here")
        if file.guid in guids:
            raise FirmwareError(f"{path}: a file with GUID {text_guid(file.guid)} is already in the DXE volume")
        guids.add(file.guid)
        if position + len(raw) > len(data):
            raise FirmwareError(f"the DXE volume has {len(data) - volume.free} bytes free, "
                                f"too few for {path} ({len(raw)} bytes) and the files before it")
        data[position:position + len(raw)] = raw
        data[position + 23] = VALID_FILE_STATE_IN_VOLUME
        position = align(position + len(raw), 8)
    return bytes(data)


def compressed_size(image):
    """Bytes the image takes LZMA-compressed, as a firmware volume stores it."""
    return len(lzma.compress(image, format=lzma.FORMAT_ALONE, preset=9 | lzma.PRESET_EXTREME))


def compress(payload, original):
    """An LZMA "alone" stream of the payload with the original stream's dictionary size, so that only the
    data and its size field differ from what the firmware build wrote."""
    dictionary = int.from_bytes(original[1:5], "little")
    stream = bytearray(lzma.compress(payload, format=lzma.FORMAT_ALONE, filters=[
        {"id": lzma.FILTER_LZMA1, "preset": 9 | lzma.PRESET_EXTREME, "dict_size": dictionary}]))
    # liblzma writes the size as unknown (all ones), on which OVMF hangs silently.
    stream[5:13] = len(payload).to_bytes(8, "little")
    return bytes(stream)


def insert_files(image, ffs_files):
    """A flash image of the same size with the (path, bytes) FFS files appended to its DXE volume."""
    outer, compressed, guided, payload = compressed_firmware(image)
    dxe = dxe_volume(payload)
    new_dxe = append_files(dxe, ffs_files)
    new_payload = payload[:dxe.offset] + new_dxe + payload[dxe.offset + len(new_dxe):]
    data_offset = GUID_DEFINED_HEADER.unpack_from(guided.body)[1] - 4
    stream = compress(new_payload, guided.body[data_offset:])
    new_section = section(SECTION_GUID_DEFINED, guided.body[:data_offset] + stream, "the LZMA section")
    new_file = file_header(compressed.guid, compressed.kind, FILE_HEADER.size + len(new_section),
                           VALID_FILE_STATE_IN_VOLUME) + new_section
    volume = outer.data[:compressed.offset] + new_file
    if len(volume) > len(outer.data):
        raise FirmwareError(f"the recompressed firmware ({len(stream)} bytes) no longer fits the "
                            f"{len(outer.data):#x}-byte volume at offset 0")
    result = volume + bytes([ERASED]) * (len(outer.data) - len(volume)) + image[len(outer.data):]
    # Read back what was written: checksums, the stream and its size field, the appended files.
    written = compressed_firmware(result)[3]
    if written != new_payload or len(dxe_volume(written).files) != len(dxe.files) + len(ffs_files):
        raise FirmwareError("the new image does not read back as written")
    return result


# Command line.

def read_input(path):
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise FirmwareError(f"cannot read {path}: {error.strerror}") from None


def write_output(path, data):
    try:
        write_atomically(path, data)
    except OSError as error:
        raise FirmwareError(f"cannot write {path}: {error.strerror}") from None


def command_ffs(arguments):
    guid = parse_guid(arguments.guid)
    if not arguments.name:
        raise FirmwareError("the driver's name is empty")
    image = read_input(arguments.image)
    check_driver_image(image, arguments.image)
    write_output(arguments.output, driver_file(guid, image, arguments.name, arguments.version))


def command_insert(arguments):
    if not arguments.files:
        raise FirmwareError("no FFS file to insert")
    image = read_input(arguments.flash)
    ffs_files = [(path, read_input(path)) for path in arguments.files]
    write_output(arguments.output, insert_files(image, ffs_files))


def command_list(arguments):
    volumes = list(flash_volumes(read_input(arguments.flash)))
    print(f"{'GUID':36}  {'TYPE':21}  {'SIZE':>8}  {'PE32':>8}  NAME")
    for volume in volumes:
        print(f"volume {volume.name}: {len(volume.data)} bytes, {len(volume.data) - volume.free} free")
        for entry in (file_entry(volume, file) for file in volume.files):
            pe32 = len(entry.pe32) if entry.pe32 is not None else ""
            print(f"{entry.guid:36}  {entry.type:21}  {entry.size:8}  {pe32:>8}  {entry.name or ''}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(required=True, metavar="COMMAND")
    ffs = commands.add_parser("ffs", help="wrap a PE32+ driver image as an FFS file of type DRIVER")
    ffs.add_argument("--guid", required=True, help="the file's GUID")
    ffs.add_argument("--name", required=True, help="the driver's name, for the user-interface section")
    ffs.add_argument("--version", default="1.0", help="the version section's text (default 1.0)")
    ffs.add_argument("image", help="the PE32+ image")
    ffs.add_argument("output", help="the .ffs file to write")
    ffs.set_defaults(run=command_ffs)
    insert = commands.add_parser("insert", help="append FFS files to the DXE volume of an OVMF flash image")
    insert.add_argument("--output", "-o", required=True, help="the flash image to write")
    insert.add_argument("flash", help="the flash image to start from, e.g. /usr/share/OVMF/OVMF_CODE_4M.fd")
    insert.add_argument("files", nargs="*", help="FFS files, appended in this order")
    insert.set_defaults(run=command_insert)
    listing = commands.add_parser("list", help="list the files of every volume of a flash image")
    listing.add_argument("flash")
    listing.set_defaults(run=command_list)
    arguments = parser.parse_args(argv)
    arguments.run(arguments)
    return 0


if __name__ == "__main__":
    run_tool("firmware_volume", main)
