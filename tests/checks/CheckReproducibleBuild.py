#!/usr/bin/env python3
"""Builds what ships (the driver images, their FFS files and the flash image
with both inside) twice from scratch, in two unrelated directories, and fails
unless every file is byte-for-byte the same in both and in the build that
runs this check."""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

# The targets that make the shipped files.
SHIPPED_TARGETS = ("UsbConnectorPolicyDxeFfs", "SaSetupResetDxeFfs", "DriversFlashImage")


def build(arguments, directory, targets):
    subprocess.run([arguments.cmake, "-S", arguments.source, "-B", directory, "-DFIRMWARE_HOST_TESTS=OFF",
                    f"-DCMAKE_CXX_COMPILER={arguments.compiler}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([arguments.cmake, "--build", directory, "-j", "2", "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL)


def first_difference(one, two):
    return next((i for i, (a, b) in enumerate(zip(one, two)) if a != b), min(len(one), len(two)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--ovmf-code", required=True)
    parser.add_argument("--shipped-in", required=True, type=pathlib.Path, help="the build this check runs in")
    parser.add_argument("files", nargs="+", help="the shipped files, by name")
    arguments = parser.parse_args()
    # The build and the road take the OVMF image from the environment.
    os.environ["OVMF_CODE"] = str(arguments.ovmf_code)
    targets = [t for t in SHIPPED_TARGETS if t != "DriversFlashImage" or any(f.endswith(".fd") for f in
                                                                              arguments.files)]
    differing = []
    with tempfile.TemporaryDirectory(prefix="first-") as first, tempfile.TemporaryDirectory(prefix="second-") as second:
        build(arguments, first, targets)
        build(arguments, second, targets)
        for name in arguments.files:
            copies = {where: (directory / name).read_bytes() for where, directory in
                      (("first build", pathlib.Path(first)), ("second build", pathlib.Path(second)),
                       ("this build", arguments.shipped_in))}
            reference = copies["first build"]
            unequal = [f"{where} from byte {first_difference(reference, data):#x} ({len(data)} bytes)"
                       for where, data in copies.items() if data != reference]
            if unequal:
                differing.append(f"{name}: {', '.join(unequal)} differ from the first build ({len(reference)} bytes)")
            else:
                print(f"{name}: {len(reference)} bytes, identical in two clean builds and this one")
    for text in differing:
        print(text)
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
