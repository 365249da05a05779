#!/usr/bin/env python3
"""The typical road of both drivers on the emulated board: boots OVMF with the
drivers in its flash image under QEMU, with the chosen setup and USB devices,
sleeps in S3 and wakes, and reports what the firmware and the drivers did and
whether that is what the setup requires.

The road's parts, one concern each: road_board.py (the board's facts, from
build/board.json), road_machine.py (QEMU's machine and where each device is
plugged), road_boot.py (the boot loop and the application's line protocol),
road_judge.py (the rules: what a setup requires, judged from the board's facts
alone) and road_report.py (the report). This file is the command line.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from host_tool import OVMF_CODE, OVMF_VARS, QEMU, require, require_pair, run_tool
from ovmf_qemu import boot_folder, machine, monitor_arguments, stand_in_settings
from road_board import RoadError, load_board
from road_boot import boot_road, road_facts
from road_judge import judge
from road_machine import ATTACHMENT_KINDS, BARS, STORAGE_DEVICE, Attachment, Road, boot_folder_index, placements, \
    qemu_arguments
from road_report import report

REPO = Path(__file__).resolve().parent.parent
FLASH_IMAGE = "OVMF_CODE_4M-road.fd"
BOOT_APPLICATION = "BoardApp.efi"
LOADER = "StickLoader.efi"
BUILD_TARGETS = ("RoadFlashImage", "BoardApp", "StickLoader")

# Each board's road when the options name no connector to switch off or no
# device to plug: (connectors switched off, attachments). A bootable stick on
# a switched-off connector, which the firmware must not boot, beside sticks
# that must stay usable (on the test board one behind a switched-off hub
# port's other side).
DEFAULT_ROADS = {
    "product": (("USB2_1p",), (("boot stick", "USB2_1p"), ("stick", "A2"), ("stick", "B1"))),
    "test": (("D1", "USB2_1p"), (("boot stick", "USB2_1p"), ("stick", "D1:43"), ("stick", "D4"))),
}
# The build's record of the OVMF image its flash images start from.
OVMF_CODE_RECORD = "ovmf-code.txt"


def step(text):
    """Progress, on stderr: stdout holds the report or the JSON document alone."""
    print(text, file=sys.stderr, flush=True)


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        raise RoadError(message)


def parser():
    result = OneLineParser(
        prog="road.py", description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="CONNECTOR is a connector of the board the build folder was configured for (its Board.h),\n"
        "by index or label (case does not matter), optionally with one of its ports (A1:13). Devices on\n"
        "a port behind one of the board's hubs get a hub plugged in for them. Without --disable, and\n"
        f"without any of {', '.join(kind.option for kind in ATTACHMENT_KINDS)}, each board's own road:\n"
        + "".join(f"  {board} board: {', '.join(off)} off; "
                  f"{', '.join(f'{kind} on {name}' for kind, name in attached)}\n"
                  for board, (off, attached) in DEFAULT_ROADS.items())
        + "Exit status: 0 when the board behaved as the setup requires, 1 when not, 2 when nothing could\n"
        "be run.")
    result.add_argument("--mode", type=int, default=7,
                        help="Setup's UsbConnectorControlMode (default 7: each connector by its enable byte; "
                             "any other value disables nothing)")
    result.add_argument("--disable", action="append", metavar="CONNECTOR",
                        help='switch a connector off in Setup; repeat for several, or "none" or "all" '
                             "(default: the board's road, below)")
    for kind in ATTACHMENT_KINDS:
        result.add_argument(kind.option, action="append", default=[], metavar="CONNECTOR", help=kind.help)
    result.add_argument("--bar", choices=BARS, default="32-bit",
                        help="the xHCI controller's BAR0: a 32-bit window (default), a 64-bit one above 4 GiB, "
                             "prefetchable or not, or one that names no window: an I/O BAR, zero (unassigned) or "
                             "absent (the function reads all-ones)")
    result.add_argument("--reset-road", action="store_true",
                        help="set SaSetup's reset request byte to 1: SaSetupResetDxe must clear it and cold-reset "
                             "exactly once (without it the byte is 0 and nothing may happen)")
    result.add_argument("--reset-request", type=int, metavar="VALUE",
                        help="the reset road with this request byte, 1-255 (any nonzero byte is a request)")
    result.add_argument("--no-sleep", action="store_true",
                        help="leave out the S3 sleep after the report's facts are gathered")
    result.add_argument("--json", action="store_true", help="print the facts as one JSON document, not the report")
    result.add_argument("--check", action="store_true", help="only check the options, then exit")
    result.add_argument("--build", action="store_true",
                        help="configure and build what the road needs into the build folder first")
    result.add_argument("--board", choices=DEFAULT_ROADS,
                        help="the board the road runs on; with --build, the build folder is configured for it "
                             "(default: the board the build folder was configured for, the product board for a new "
                             "one)")
    result.add_argument("--build-dir", type=Path,
                        help="the build folder (default build/ for the product board, build-test/ for --board test, "
                             "or $BUILD_DIR)")
    return result


def build_folder(args):
    if args.build_dir is not None:
        return args.build_dir.resolve()
    if "BUILD_DIR" in os.environ:
        return Path(os.environ["BUILD_DIR"]).resolve()
    return REPO / ("build" if args.board in (None, "product") else f"build-{args.board}")


def asked_attachments(args):
    """(kind, connectors named) for each kind of attachment, in the order the road attaches them."""
    return [(kind, getattr(args, kind.option[2:].replace("-", "_"))) for kind in ATTACHMENT_KINDS]


def unique(items):
    return list(dict.fromkeys(items))


def resolve(args, board):
    """The road the options describe, checked against the board."""
    if not 0 <= args.mode <= 255:
        raise RoadError(f"--mode {args.mode} is not a byte")
    if args.reset_request is not None and not 1 <= args.reset_request <= 255:
        raise RoadError(f"--reset-request {args.reset_request} is not a request byte: use 1-255")
    reset_request = args.reset_request if args.reset_request is not None else int(args.reset_road)
    default_disabled, default_attachments = DEFAULT_ROADS[board.name]
    disable = args.disable if args.disable is not None else list(default_disabled)
    words = [name for name in disable if name.lower() in ("none", "all")]
    if words and len(disable) > 1:
        raise RoadError(f"--disable {words[0]} stands alone: it cannot be combined with other connectors")
    if words:
        disabled = list(board.connectors) if words[0].lower() == "all" else []
    else:
        disabled = unique(board.find(name) for name in disable)
    asked = asked_attachments(args)
    for kind, names in asked:
        if kind.once and len(names) > 1:
            raise RoadError(f"{kind.option} is given once: the road has one {kind.name}")
    attachments = [(kind.name, name) for kind, names in asked for name in names] or list(default_attachments)
    road = Road(args.mode, disabled, [Attachment(kind, *board.place(name)) for kind, name in attachments],
                reset_request, not args.no_sleep, args.bar)
    return road, placements(road, board)


def build(build_dir, targets, board=None):
    """Configures (for the board, when given) and builds the targets; the
    build's own output shows only when it fails."""
    started = time.monotonic()
    for command in (["cmake", "-S", str(REPO), "-B", str(build_dir), *([f"-DBOARD={board}"] if board else [])],
                    ["cmake", "--build", str(build_dir), "-j", str(os.cpu_count() or 1), "--target", *targets]):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode:
            print((result.stdout + result.stderr).rstrip()[-3000:], file=sys.stderr)
            raise RoadError(f"build of {', '.join(targets)} failed")
    shown = os.path.relpath(build_dir)
    step(f"build: {', '.join(targets)} in {build_dir if shown.startswith('..') else shown} "
         f"({time.monotonic() - started:.0f} s)")


def ovmf_code(build_dir):
    """The OVMF image the build folder's flash images start from."""
    try:
        return (build_dir / OVMF_CODE_RECORD).read_text().strip()
    except OSError:
        return "unknown (the build folder was configured before it recorded its image)"


def settings(road, board, placed):
    """What the boot application and the stand-in are told, one fw_cfg file each."""
    hub_id = [a.qemu_port for a in placed if a.kind == "hub-id stick"]
    return {"job": "road", "road/mode": str(road.mode),
            "road/enable": "".join("0" if c in road.disabled else "1" for c in board.connectors),
            "road/reset-request": str(road.reset_request),
            "road/sleep": "yes" if road.sleep else "no",
            **stand_in_settings(bar=road.bar, hub_id_port=hub_id[0] if hub_id else None)}


def main(argv=None):
    args = parser().parse_args(argv)
    build_dir = build_folder(args)
    if not args.check:
        # Before anything is built: sticks are the default attachment.
        asked = asked_attachments(args)
        sticks = any(kind.qemu_device == STORAGE_DEVICE for kind, names in asked if names) or \
            not any(names for _, names in asked)
        require([QEMU] + (["mformat", "mcopy", "mmd"] if sticks else []) + (["cmake"] if args.build else []),
                [OVMF_CODE, OVMF_VARS])
    if args.build:
        build(build_dir, ["BoardJson"], args.board)
    board = load_board(build_dir)
    if args.board not in (None, board.name):
        raise RoadError(f"{build_dir} is configured for the {board.name} board, not {args.board}: add --build to "
                        "configure it, or give another --build-dir")
    road, placed = resolve(args, board)
    if args.check:
        return 0
    if args.build:
        build(build_dir, BUILD_TARGETS)
    missing = [name for name in (FLASH_IMAGE, BOOT_APPLICATION, LOADER) if not (build_dir / name).exists()]
    if missing:
        raise RoadError(f"{', '.join(missing)} not built in {build_dir} (scripts/road.sh builds them, or cmake "
                        f"--build {build_dir} --target {' '.join(BUILD_TARGETS)})")
    # A flash image cut short pairs with no store.
    require_pair(build_dir / FLASH_IMAGE, OVMF_VARS)
    try:
        with tempfile.TemporaryDirectory(prefix="road-") as directory:
            work = Path(directory)
            fat, variables = boot_folder(work, build_dir / BOOT_APPLICATION)
            command = [*machine(build_dir / FLASH_IMAGE, variables, fat, work / "serial.log",
                                settings(road, board, placed), boot_index=boot_folder_index(placed)),
                       *monitor_arguments(work / "qmp.sock"),
                       *qemu_arguments(road, board, placed, work, build_dir / LOADER)]
            boots, lines, registers = boot_road(command, road.sleep, work / "serial.log", work / "qmp.sock", step,
                                                OVMF_VARS)
    except (OSError, subprocess.CalledProcessError) as error:
        why = (error.strerror or str(error)) if isinstance(error, OSError) else f"{error.cmd[0]} failed"
        raise RoadError(f"cannot run the boot with its files in {tempfile.gettempdir()}: {why}") from None
    raw = road_facts(lines, road.sleep) if lines is not None else None
    facts = judge(road, board, placed, raw, boots, registers)
    facts["road"]["ovmf_code"] = ovmf_code(build_dir)
    print(json.dumps(facts, indent=2) if args.json else report(facts, board.setup["per_connector_mode"]))
    return 0 if facts["verdict"]["ok"] else 1


if __name__ == "__main__":
    run_tool("road", main)
