#!/usr/bin/env python3
"""Checks the flash image that ships, Debian's OVMF with the drivers' FFS files
put in by tools/firmware_volume.py at build time, with UEFIExtract, an outside
parser: it must read the image without a message, show each driver by GUID and
user-interface name as a DXE driver of a PE32, a user-interface and a version
section, and give back each file as built, its state byte inverted for the
volume, its name and version text null-terminated. A file that needs padding
between its sections must read the same. Then checks that the tool refuses, in
one line, with exit status 2 and without writing anything, a file that cannot
fit, a GUID already in the volume, an image that is no x86-64 driver, an empty
driver name or one UCS-2 cannot hold, an insertion of no file, a directory
as output, and an empty flash image to list."""
import argparse
import itertools
import pathlib
import subprocess
import sys
import tempfile

DRIVER_SECTIONS = ["PE32 image", "UI", "Version"]
DXE_VOLUME_SIZE = 0xC00000


def run(*command):
    return subprocess.run([str(part) for part in command], capture_output=True, text=True)


def report_problems(image, drivers):
    result = run("UEFIExtract", image, "report")
    said = (result.stdout + result.stderr).strip()
    problems = [f"UEFIExtract report: exit {result.returncode}, said {said!r}"] if result.returncode or said else []
    # Rows of type, subtype, base, size, CRC32, tree name and text; a file's
    # sections are the rows right after it.
    lines = pathlib.Path(f"{image}.report.txt").read_text().splitlines()[1:]
    rows = [[field.strip() for field in line.split("|")] for line in lines]
    for name, guid, _ in drivers:
        at = [index for index, row in enumerate(rows) if row[0] == "File" and row[5].endswith(guid)]
        if len(at) != 1:
            problems.append(f"UEFIExtract report shows {guid} {len(at)} times")
            continue
        row = rows[at[0]]
        sections = [section[1] for section in itertools.takewhile(lambda r: r[0] == "Section", rows[at[0] + 1:])]
        if row[1:2] + row[6:] != ["DXE driver", name] or sections != DRIVER_SECTIONS:
            problems.append(f"UEFIExtract report on {guid}: {row[1:2] + row[6:]}, sections {sections}")
        else:
            print(f"UEFIExtract report: {guid} {name}, DXE driver of sections {', '.join(sections)}")
    return problems


def pe_header(image):
    return int.from_bytes(image[0x3C:0x40], "little")


def ucs2_size(text):
    # As UEFIExtract writes sizes: hexadecimal, then decimal.
    size = 2 * (len(text) + 1)
    return f"{size:X}h ({size})"


def extraction_problems(image, drivers, scratch):
    problems = []
    for mode in ("file", "info"):
        result = run("UEFIExtract", image, *(guid for _, guid, _ in drivers),
                     "-o", *(scratch / f"{name}.{mode}" for name, _, _ in drivers), "-m", *([mode] * len(drivers)))
        # Non-zero when a GUID was not found.
        if result.returncode:
            problems.append(f"UEFIExtract -m {mode}: exit {result.returncode}")
    for name, guid, built in drivers:
        placed = scratch / f"{name}.file" / "file.ffs"
        placed = placed.read_bytes() if placed.exists() else b""
        built = built.read_bytes()
        found = []
        # Valid in positive logic in the .ffs file, inverted in an erase-polarity-1 volume.
        if built[23] != 0x07 or placed != built[:23] + b"\xf8" + built[24:]:
            found.append(f"{name}: the file at {guid} is not {name}.ffs with state 0x07 stored as 0xF8")
        # One info file per section, of "Key: value" lines.
        infos = [dict(line.split(": ", 1) for line in path.read_text().splitlines() if ": " in line)
                 for path in (scratch / f"{name}.info").glob("info_*.txt")]
        sections = {info.get("Subtype"): info for info in infos}
        ui, version = sections.get("UI", {}), sections.get("Version", {})
        described = [ui.get("Text"), ui.get("Body size"), version.get("Build number"),
                     version.get("Version string"), version.get("Body size")]
        if described != [name, ucs2_size(name), "0", "1.0", ucs2_size("1.0")]:
            found.append(f"{name}: UEFIExtract describes name and version as {described}")
        problems += found
        if not found:
            print(f"UEFIExtract by GUID: {guid} gives back {name}.ffs with state 0xF8, "
                  f"null-terminated name, version 1.0 of build 0")
    return problems


def refusal_problems(tool, cases, scratch):
    problems = []
    for what, arguments, words in cases:
        result = run(sys.executable, tool, *arguments)
        written = sorted(path.name for path in scratch.glob("refused*") if not path.is_dir())
        if result.returncode != 2 or len(result.stderr.splitlines()) != 1 or words not in result.stderr or written:
            problems.append(f"{what}: exit {result.returncode}, stderr {result.stderr!r}, wrote {written}")
        else:
            print(f"refused {what}: {result.stderr.strip()}")
    return problems


def make_ffs(tool, scratch, name, guid, image):
    path = scratch / f"{name}.efi"
    path.write_bytes(image)
    subprocess.run([sys.executable, tool, "ffs", "--guid", guid, "--name", name, path, path.with_suffix(".ffs")],
                   check=True)
    return path.with_suffix(".ffs")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True, help="tools/firmware_volume.py")
    parser.add_argument("--ovmf-code", required=True, help="the OVMF flash image the drivers went into")
    parser.add_argument("--image", required=True, type=pathlib.Path, help="the flash image built with the drivers")
    parser.add_argument("--driver", nargs=2, action="append", required=True, metavar=("FFS", "GUID"))
    arguments = parser.parse_args()
    tool = arguments.tool
    drivers = [(pathlib.Path(path).stem, guid.upper(), pathlib.Path(path)) for path, guid in arguments.driver]
    image = drivers[0][2].with_suffix(".efi").read_bytes()

    problems = report_problems(arguments.image, drivers)
    with tempfile.TemporaryDirectory() as directory:
        scratch = pathlib.Path(directory)
        problems += extraction_problems(arguments.image, drivers, scratch)
        # Our drivers need no padding between sections: an image whose size is
        # not a multiple of 4 and a name of even length need it before and
        # after the user-interface section. Added to the new image, it also
        # shows that the tool takes its own output.
        probe_guid = "00000000-0000-0000-0000-000000000002"
        probe = make_ffs(tool, scratch, "PaddingProbe", probe_guid, image + bytes(2))
        subprocess.run([sys.executable, tool, "insert", "--output", scratch / "probe.fd", arguments.image, probe],
                       check=True)
        problems += report_problems(scratch / "probe.fd", [("PaddingProbe", probe_guid, probe)])
        oversized = make_ffs(tool, scratch, "Oversized", "00000000-0000-0000-0000-000000000001",
                             image + bytes(DXE_VOLUME_SIZE))
        output = scratch / "refused.fd"
        application = bytearray(image)
        # The PE32+ optional header's subsystem: 10, an EFI application.
        application[pe_header(image) + 24 + 68] = 10
        aarch64 = bytearray(image)
        aarch64[pe_header(image) + 4:pe_header(image) + 6] = (0xAA64).to_bytes(2, "little")
        (scratch / "application.efi").write_bytes(application)
        (scratch / "aarch64.efi").write_bytes(aarch64)
        (scratch / "empty.fd").write_bytes(b"")
        (scratch / "refused.dir").mkdir()
        ffs = ("ffs", "--guid", "00000000-0000-0000-0000-000000000003", "--name", "Refused")
        refusals = (
            ("a file larger than the DXE volume", ("insert", "--output", output, arguments.ovmf_code, oversized),
             "DXE volume has"),
            ("a GUID already in the DXE volume", ("insert", "--output", output, arguments.image, drivers[0][2]),
             "already in the DXE volume"),
            ("an EFI application as a driver", (*ffs, scratch / "application.efi", scratch / "refused.ffs"),
             "subsystem 10"),
            ("an AArch64 image", (*ffs, scratch / "aarch64.efi", scratch / "refused.ffs"), "not x86-64"),
            ("a driver with an empty name", (*ffs[:3], "--name", "", drivers[0][2].with_suffix(".efi"),
                                             scratch / "refused.ffs"), "name is empty"),
            # A byte that is no UTF-8 reaches the tool as a lone surrogate.
            ("a name UCS-2 cannot hold", (*ffs[:3], "--name", "\udcff", drivers[0][2].with_suffix(".efi"),
                                          scratch / "refused.ffs"), "cannot be stored"),
            ("inserting no FFS file", ("insert", "--output", output, arguments.ovmf_code), "no FFS file"),
            # The file written whole beside it must not stay either.
            ("a directory as output", (*ffs, drivers[0][2].with_suffix(".efi"), scratch / "refused.dir"),
             "is a directory"),
            ("listing an empty flash image", ("list", scratch / "empty.fd"), "empty"))
        problems += refusal_problems(tool, refusals, scratch)
        listing = subprocess.run(f"{sys.executable} {tool} list {arguments.ovmf_code} | head -n 1", shell=True,
                                 capture_output=True, text=True)
        if listing.stderr:
            problems.append(f"list | head: stderr {listing.stderr!r}")
    for text in problems:
        print(text)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
