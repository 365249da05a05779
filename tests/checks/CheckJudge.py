#!/usr/bin/env python3
"""Proves the road's judge by breaking what it judges: each row of FAULTS
puts one deliberate mistake into a copy of a driver's sources, builds the copy
for the board of the row's road and boots it through this tree's tools/road.py
on that road, the one that exposes the mistake. The unchanged copy must pass
on every road (on the test board with hub ports switched off, so the hub
protocol must be called); every faulted one must fail with a problem naming
the row's words, and must have changed the driver's image (an identical image
means the fault was optimised away)."""
import concurrent.futures
import os
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile

from faulted_copy import FaultMissing, OneLineParser, copy_tree, faulted

# What the road boots: the board description, the flash image, the boot
# application and the bootable stick's loader.
ROAD_TARGETS = ("BoardJson", "RoadFlashImage", "BoardApp", "StickLoader")
# Each board's image of each driver, as the road's flash image holds it.
IMAGES = {"product": {"policy": "UsbConnectorPolicyDxe.efi", "reset": "SaSetupResetDxe.efi"},
          "test": {"policy": "UsbConnectorPolicyDxe-test.efi", "reset": "SaSetupResetDxe.efi"}}
# The roads the faults are shown on, each a board and road.py's options;
# every one must pass with the unchanged sources. On the product board: root
# ports and a port behind the on-board hub off, a stick where each should be
# blocked or usable, and a prefetchable 64-bit BAR; then the reset road with a
# request byte other than 1 behind an I/O BAR. On the test board: hub ports
# and a root port off, then hub ports alone (no root port), every hub shape
# of the board's rows switched off and a stick on each.
ROADS = {
    "product": ("product", ["--disable", "USB2_1p", "--disable", "B1", "--boot-stick", "USB2_1p", "--stick", "A2",
                            "--stick", "B1", "--stick", "B2", "--stick", "USB2_2p #2", "--bar",
                            "64-bit-prefetchable", "--no-sleep"]),
    "product reset": ("product", ["--reset-request", "128", "--bar", "io", "--no-sleep"]),
    "test": ("test", ["--disable", "D1", "--disable", "D3", "--disable", "USB2_1p", "--stick", "D1", "--stick",
                      "D1:43", "--stick", "D3", "--stick", "D4:45", "--no-sleep"]),
    "test hub-only": ("test", ["--disable", "D1", "--disable", "D2", "--disable", "D3", "--disable", "D4", "--stick",
                               "D1", "--stick", "D1:43", "--stick", "D2", "--stick", "D3:42", "--stick", "D4:41",
                               "--keyboard", "A3", "--no-sleep"]),
}
# The rows run in two halves at once, each on its own copy: those shown on
# the product board's first road, and those shown on every other road.
HALVES = (("product",), ("product reset", "test", "test hub-only"))
TABLES = "usb-connector-policy/BoardTables.cpp"
PORT_DISABLE = "usb-connector-policy/PortDisable.cpp"
RESET = "setup-reset/SaSetupResetDxe.cpp"

# (fault, file, old text, new text, road, words one verdict problem must
# contain); the file's directory says which driver's image must change.
FAULTS = (
    ("root-port field of each prefix off by one", TABLES, "Path[ROOT_FIELD_INDEX] = HexDigit(Port - 1);",
     "Path[ROOT_FIELD_INDEX] = HexDigit(Port);", "product", "USB2_1p"),
    ("mask bit off by one", PORT_DISABLE, "(UINT16)(1U << (PortNumber - Range->FirstPort))",
     "(UINT16)(1U << (PortNumber - Range->FirstPort + 1))", "product", "register"),
    ("hub port field of the prefixes off by one", TABLES, "Path[HUB_FIELD_INDEX] = HexDigit(Place);",
     "Path[HUB_FIELD_INDEX] = HexDigit(Place + 1);", "product", "B1"),
    ("Disableable inverted for grouped rows", TABLES,
     "Block.Disableable[Connector] = (Row.Flags & CONNECTOR_FLAG_DISABLE_ALLOWED) != 0;",
     "Block.Disableable[Connector] = (Row.Flags & CONNECTOR_FLAG_DISABLE_ALLOWED) == 0;", "product",
     "UsbConnectorCapabilities"),
    ("Setup's enable bytes read one connector off", "usb-connector-policy/UsbConnectorPolicyDxe.cpp",
     "SetupBuffer[SETUP_USB_CONNECTOR_ENABLE_OFFSET + Connector]",
     "SetupBuffer[SETUP_USB_CONNECTOR_ENABLE_OFFSET + Connector + 1]", "product", "USB2_2p #2"),
    ("hub Apply called on every pass", PORT_DISABLE, "if (Usb2Port != 0 || Usb3Port != 0) {",
     "if (Usb2Port == Usb3Port || Usb2Port != Usb3Port) {", "product", "Apply"),
    ("port-disable register offsets swapped", PORT_DISABLE,
     "{XHCI_USB2_PORT_DISABLE_OFFSET, XHCI_USB3_PORT_DISABLE_OFFSET}",
     "{XHCI_USB3_PORT_DISABLE_OFFSET, XHCI_USB2_PORT_DISABLE_OFFSET}", "product", "boot script"),
    ("boot-script entries recorded again at a later ready-to-boot", PORT_DISABLE, "if (!BootScriptHolds[Mask]) {",
     "if (BootScriptHolds[Mask] || !BootScriptHolds[Mask]) {", "product", "twice"),
    ("a prefetchable BAR's flag bit kept in the base", PORT_DISABLE, "#define PCI_BAR_FLAGS_MASK 0xFULL",
     "#define PCI_BAR_FLAGS_MASK 0x7ULL", "product", "register"),
    ("an I/O BAR taken for a memory window", PORT_DISABLE, "(Low & PCI_BAR_IO_SPACE) != 0", "false",
     "product reset", "names no window"),
    ("a warm reset asked for", RESET, "ResetSystem(EfiResetCold,", "ResetSystem(EfiResetWarm,", "product reset",
     "EfiResetWarm"),
    ("only a request byte of 1 taken for a request", RESET, "SaSetupBuffer[SA_SETUP_COLD_RESET_REQUEST_OFFSET] == 0",
     "SaSetupBuffer[SA_SETUP_COLD_RESET_REQUEST_OFFSET] != 1", "product reset", "resets by SaSetupResetDxe"),
    ("hub Apply call removed", PORT_DISABLE, "Hub->Apply(Usb3Port, Bit, Usb2Port);", "(VOID) Bit;", "test",
     "Apply(usb3 0, pass 0x1, usb2 1)"),
    ("hub Apply's USB3 and USB2 arguments swapped", PORT_DISABLE, "Hub->Apply(Usb3Port, Bit, Usb2Port);",
     "Hub->Apply(Usb2Port, Bit, Usb3Port);", "test hub-only", "Apply(usb3 1, pass 0x1, usb2 0)"),
    ("the USB3 hub port taken from the USB2 mask", PORT_DISABLE,
     "const UINT8 Usb3Port = (PortDisableMasks[HubUsb3PortMask] & Bit) != 0 ? Port : 0;",
     "const UINT8 Usb3Port = (PortDisableMasks[HubUsb2PortMask] & Bit) != 0 ? Port : 0;", "test hub-only",
     "Apply(usb3 1, pass 0x1, usb2 1)"),
    ("hub port 4 never switched off", PORT_DISABLE, "Port <= HUB_PORT_DISABLE_PORT_COUNT;",
     "Port < HUB_PORT_DISABLE_PORT_COUNT;",
     "test hub-only", "Apply(usb3 4, pass 0x8, usb2 4)"),
    ("the protocol's Usb3Port member never set", PORT_DISABLE, "Hub->Usb3Port = Usb3Port;", "(VOID) Usb3Port;",
     "test hub-only", "Usb3Port 2"),
)


def build(arguments, build_dir):
    """Incremental; the build's output shows only when it fails."""
    result = subprocess.run([arguments.cmake, "--build", build_dir, "-j", "2", "--target", *ROAD_TARGETS],
                            capture_output=True, text=True)
    if result.returncode:
        print((result.stdout + result.stderr)[-3000:])
    return result.returncode == 0


def road(arguments, build_dir, options):
    """The exit status and the verdict's problems, or the tool's last words when it could not judge."""
    result = subprocess.run([sys.executable, arguments.source / "tools" / "road.py", "--build-dir", build_dir,
                             "--json", *options], capture_output=True, text=True)
    if result.returncode not in (0, 1) or not result.stdout.startswith("{"):
        return result.returncode, [f"road.py could not judge: {result.stderr.strip()[-500:]}"]
    return result.returncode, json.loads(result.stdout)["verdict"]["problems"]


def fault_problem(arguments, copy, builds, row):
    """What is wrong with one row, or None; prints the row's verdict."""
    fault, name, old, new, road_name, words = row
    board, options = ROADS[road_name]
    build_dir, unchanged = builds[board]
    image = IMAGES[board]["reset" if name.startswith("setup-reset/") else "policy"]
    try:
        with faulted(copy, name, old, new):
            if not build(arguments, build_dir):
                return f"{fault}: the faulted copy does not build"
            if (build_dir / image).read_bytes() == unchanged[image]:
                return f"{fault}: {image} is unchanged, the fault was optimised away"
            status, problems = road(arguments, build_dir, options)
    except FaultMissing as error:
        return f"{fault}: {error}"
    named = [p for p in problems if words.lower() in p.lower()]
    print(f"{fault} ({road_name} road): exit {status}, {named[0] if named else '; '.join(problems) or 'PASS'}")
    if status != 1 or not named:
        return f"{fault}: {' '.join(['road.py', *options])} exits {status} without a problem naming {words!r}"
    return None


def unchanged_build(arguments, copy, build_dir, board, roads):
    """The copy configured and built for the board, with its images, and
    whether each of the roads on the board passes; None when one does not, so
    no fault can be judged."""
    subprocess.run([arguments.cmake, "-S", copy, "-B", build_dir, "-DFIRMWARE_HOST_TESTS=OFF", f"-DBOARD={board}",
                    f"-DCMAKE_CXX_COMPILER={arguments.compiler}"],
                   check=True, stdout=subprocess.DEVNULL)
    if not build(arguments, build_dir):
        print(f"the unchanged copy does not build for the {board} board")
        return None
    passed = True
    for name in roads:
        road_board, options = ROADS[name]
        if road_board == board:
            status, problems = road(arguments, build_dir, options)
            print(f"unchanged sources ({name} road): exit {status}, {'; '.join(problems) or 'PASS'}")
            passed = passed and status == 0
    images = {image: (build_dir / image).read_bytes() for image in IMAGES[board].values()}
    return (build_dir, images) if passed else None


def run_half(arguments, directory, roads):
    """The rows shown on the roads, on a copy of the sources of their own (a
    row edits its copy); what is wrong with them."""
    copy = directory / "source"
    copy_tree(arguments.source, copy)
    boards = sorted({ROADS[name][0] for name in roads})
    builds = {board: unchanged_build(arguments, copy, directory / f"build-{board}", board, roads) for board in boards}
    if not all(builds.values()):
        return [f"the unchanged copy fails a road of {', '.join(roads)}"]
    return [problem for problem in (fault_problem(arguments, copy, builds, row) for row in FAULTS if row[4] in roads)
            if problem]


def main():
    parser = OneLineParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parents[2],
                        help="the tree to copy, and whose tools/road.py judges (default: this one)")
    parser.add_argument("--ovmf-code", required=True, help="the OVMF_CODE the main build uses")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--compiler", default="clang++")
    arguments = parser.parse_args()
    # The build and the road take the OVMF image from the environment.
    os.environ["OVMF_CODE"] = str(arguments.ovmf_code)
    missing = [tool for tool in (arguments.cmake, arguments.compiler, "qemu-system-x86_64", "mformat")
               if not shutil.which(tool)] + [path for path in (arguments.ovmf_code,) if not pathlib.Path(path).exists()]
    if missing:
        print(f"CheckJudge.py: not found: {', '.join(missing)}", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="judge-faults-") as directory, \
            concurrent.futures.ThreadPoolExecutor(len(HALVES)) as pool:
        halves = [pool.submit(run_half, arguments, pathlib.Path(directory) / f"half{number}", roads)
                  for number, roads in enumerate(HALVES)]
        found = [problem for half in halves for problem in half.result()]
    for problem in found:
        print(problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
