#!/usr/bin/env python3
"""Prints how much flash driver images take, beside the smallest and the median
DXE driver of a flash image: each image's size as built and LZMA-compressed
the way a firmware volume's compressed section holds it.

  driver_sizes.py [--flash FLASH.fd] IMAGE.efi...
"""

import argparse
import os

import firmware_volume
from host_tool import OVMF_CODE, ToolError, run_tool


def flash_drivers(flash):
    """(name, PE32 image) of every DRIVER file with a PE32 section, smallest image first."""
    drivers = [(entry.name or entry.guid, entry.pe32) for entry in firmware_volume.list_files(flash)
               if entry.type == "DRIVER" and entry.pe32 is not None]
    return sorted(drivers, key=lambda driver: (len(driver[1]), driver[0]))


def read_image(path):
    """(name, bytes) of a driver image; refuses what is not a PE image."""
    image = firmware_volume.read_input(path)
    if firmware_volume.pe_header(image) is None:
        raise ToolError(f"{path} is not a PE image")
    return os.path.basename(path), image


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--flash", default=str(OVMF_CODE), help=f"flash image to compare with (default {OVMF_CODE})")
    parser.add_argument("images", nargs="+", help="driver images")
    arguments = parser.parse_args(argv)
    try:
        images = [read_image(path) for path in arguments.images]
        drivers = flash_drivers(firmware_volume.read_input(arguments.flash))
    except firmware_volume.FirmwareError as error:
        raise ToolError(error) from None
    if not drivers:
        raise ToolError(f"{arguments.flash} holds no DRIVER file with a PE32 image")

    # The lower of the two middle drivers when the count is even.
    median = drivers[(len(drivers) - 1) // 2]
    flash = os.path.basename(arguments.flash)
    rows = images + [(f"smallest of {len(drivers)} DXE drivers in {flash}: {drivers[0][0]}", drivers[0][1]),
                     (f"median of {len(drivers)} DXE drivers in {flash}: {median[0]}", median[1])]
    width = max(len(label) for label, _ in rows)
    print(f"{'bytes':{width}}  {'raw':>6}  {'LZMA':>6}")
    for label, image in rows:
        print(f"{label:{width}}  {len(image):6}  {firmware_volume.compressed_size(image):6}")
    return 0


if __name__ == "__main__":
    run_tool("driver_sizes", main)
