#!/usr/bin/env python3
"""Builds the given driver images and their FFS files twice from scratch, in
two unrelated directories, and fails unless every file is byte-for-byte the
same."""
import argparse
import pathlib
import subprocess
import sys
import tempfile


def build(arguments, directory):
    subprocess.run([arguments.cmake, "-S", arguments.source, "-B", directory, "-DFIRMWARE_HOST_TESTS=OFF",
                    f"-DCMAKE_CXX_COMPILER={arguments.compiler}"], check=True, stdout=subprocess.DEVNULL)
    # Each FFS target builds its image first.
    subprocess.run([arguments.cmake, "--build", directory, "-j", "2", "--target",
                    *(f"{image}Ffs" for image in arguments.images)], check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--compiler", required=True)
    parser.add_argument("images", nargs="+")
    arguments = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="first-") as first, tempfile.TemporaryDirectory(prefix="second-") as second:
        build(arguments, first)
        build(arguments, second)
        differing = []
        for name in (f"{image}{suffix}" for image in arguments.images for suffix in (".efi", ".ffs")):
            one = (pathlib.Path(first) / name).read_bytes()
            two = (pathlib.Path(second) / name).read_bytes()
            if one != two:
                offset = next((i for i, (a, b) in enumerate(zip(one, two)) if a != b), min(len(one), len(two)))
                differing.append(f"{name} differs from byte {offset:#x} ({len(one)} and {len(two)} bytes)")
            else:
                print(f"{name}: {len(one)} bytes, identical in both builds")
    for text in differing:
        print(text)
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
