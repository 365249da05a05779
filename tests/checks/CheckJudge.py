#!/usr/bin/env python3
"""Proves the road's judge by breaking what it judges: each row of FAULTS
puts one deliberate mistake into a copy of the policy driver's sources, builds
the copy for the row's board and boots it through this tree's tools/road.py in
the configuration that exposes the mistake. The unchanged copy must pass on
each board (on the test board with hub ports switched off, so the hub protocol
must be called); every faulted one must fail with a problem naming the row's
words, and must have changed the driver image (an identical image means the
fault was optimised away)."""
import argparse
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile

# What the build needs from the tree.
TREE = ("CMakeLists.txt", "cmake", "include", "chipset", "support", "usb-connector-policy", "setup-reset",
        "emulated-board", "tools")
# What the road boots: the board description, the flash image, the boot
# application and the bootable stick's loader.
ROAD_TARGETS = ("BoardJson", "RoadFlashImage", "BoardApp", "StickLoader")
# The policy image each board's road boots, and the road on that board when
# nothing is broken: on the test board, hub ports on both sides off (D1, D3),
# one whose connector may not be switched off (D4), and a root port.
BOARDS = {
    "product": ("UsbConnectorPolicyDxe.efi", []),
    "test": ("UsbConnectorPolicyDxe-test.efi",
             ["--disable", "D1", "--disable", "D3", "--disable", "D4", "--disable", "USB2_1p", "--stick", "D1",
              "--stick", "D1:42", "--stick", "D2", "--stick", "D4:45", "--no-sleep"]),
}
TABLES = "usb-connector-policy/BoardTables.cpp"
PORT_DISABLE = "usb-connector-policy/PortDisable.cpp"

# (fault, file, old text, new text, board, road options, words one verdict
# problem must contain)
FAULTS = (
    ("root-port field of each prefix off by one", TABLES, "Path[ROOT_FIELD_INDEX] = HexDigit(Port - 1);",
     "Path[ROOT_FIELD_INDEX] = HexDigit(Port);", "product", [], "USB2_1p"),
    ("mask bit off by one", TABLES, "(UINT16)(1U << (PortNumber - Range->FirstPort))",
     "(UINT16)(1U << (PortNumber - Range->FirstPort + 1))", "product", [], "register"),
    ("hub port field of the prefixes off by one", TABLES, "Path[HUB_FIELD_INDEX] = HexDigit(Place);",
     "Path[HUB_FIELD_INDEX] = HexDigit(Place + 1);", "product",
     ["--disable", "B1", "--stick", "B1", "--stick", "B2", "--no-sleep"], "B1"),
    ("Disableable inverted for grouped rows", TABLES,
     "Block.Disableable[Connector] = (Row.Flags & CONNECTOR_FLAG_DISABLE_ALLOWED) != 0;",
     "Block.Disableable[Connector] = (Row.Flags & CONNECTOR_FLAG_DISABLE_ALLOWED) == 0;", "product", ["--no-sleep"],
     "UsbConnectorCapabilities"),
    ("Setup's enable bytes read one connector off", "usb-connector-policy/UsbConnectorPolicyDxe.cpp",
     "SetupBuffer[SETUP_USB_CONNECTOR_ENABLE_OFFSET + Connector]",
     "SetupBuffer[SETUP_USB_CONNECTOR_ENABLE_OFFSET + Connector + 1]", "product",
     ["--stick", "USB2_1p", "--stick", "USB2_2p #2", "--no-sleep"], "USB2_2p #2"),
    ("hub Apply called on every pass", PORT_DISABLE, "if (Usb2Port != 0 || Usb3Port != 0) {",
     "if (Usb2Port == Usb3Port || Usb2Port != Usb3Port) {", "product", ["--no-sleep"], "Apply"),
    ("port-disable register offsets swapped", PORT_DISABLE,
     "{XHCI_USB2_PORT_DISABLE_OFFSET, XHCI_USB3_PORT_DISABLE_OFFSET}",
     "{XHCI_USB3_PORT_DISABLE_OFFSET, XHCI_USB2_PORT_DISABLE_OFFSET}", "product", [], "boot script"),
    ("boot-script entries recorded again at a later ready-to-boot", PORT_DISABLE, "if (!BootScriptHolds[Mask]) {",
     "if (BootScriptHolds[Mask] || !BootScriptHolds[Mask]) {", "product", [], "twice"),
    ("hub Apply call removed", PORT_DISABLE, "Hub->Apply(Usb3Port, Bit, Usb2Port);", "(VOID) Bit;", "test",
     BOARDS["test"][1], "Apply(1, 0x1, 1)"),
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
    fault, name, old, new, board, options, words = row
    build_dir, unchanged = builds[board]
    image = BOARDS[board][0]
    source = copy / name
    pristine = source.read_text()
    if pristine.count(old) != 1:
        return f"{fault}: {old!r} occurs {pristine.count(old)} times in {name}, not once"
    source.write_text(pristine.replace(old, new))
    try:
        if not build(arguments, build_dir):
            return f"{fault}: the faulted copy does not build"
        if (build_dir / image).read_bytes() == unchanged:
            return f"{fault}: {image} is unchanged, the fault was optimised away"
        status, problems = road(arguments, build_dir, options)
    finally:
        source.write_text(pristine)
    named = [p for p in problems if words.lower() in p.lower()]
    print(f"{fault} ({board} board): exit {status}, {named[0] if named else '; '.join(problems) or 'PASS'}")
    if status != 1 or not named:
        return f"{fault}: {' '.join(['road.py', *options])} exits {status} without a problem naming {words!r}"
    return None


def unchanged_build(arguments, copy, build_dir, board):
    """The copy configured and built for the board, its policy image, and
    whether its road passes; None when it does not, so no fault can be judged."""
    subprocess.run([arguments.cmake, "-S", copy, "-B", build_dir, "-DFIRMWARE_HOST_TESTS=OFF", f"-DBOARD={board}",
                    f"-DCMAKE_CXX_COMPILER={arguments.compiler}", f"-DOVMF_CODE={arguments.ovmf_code}"],
                   check=True, stdout=subprocess.DEVNULL)
    if not build(arguments, build_dir):
        print(f"the unchanged copy does not build for the {board} board")
        return None
    status, problems = road(arguments, build_dir, BOARDS[board][1])
    print(f"unchanged sources ({board} board): exit {status}, {'; '.join(problems) or 'PASS'}")
    return (build_dir, (build_dir / BOARDS[board][0]).read_bytes()) if status == 0 else None


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        self.exit(2, f"CheckJudge.py: {message}\n")


def main():
    parser = OneLineParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parents[2],
                        help="the tree to copy, and whose tools/road.py judges (default: this one)")
    parser.add_argument("--ovmf-code", required=True, help="the OVMF_CODE the main build uses")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--compiler", default="clang++")
    arguments = parser.parse_args()
    missing = [tool for tool in (arguments.cmake, arguments.compiler, "qemu-system-x86_64", "mformat")
               if not shutil.which(tool)] + [path for path in (arguments.ovmf_code,) if not pathlib.Path(path).exists()]
    if missing:
        print(f"CheckJudge.py: not found: {', '.join(missing)}", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="judge-faults-") as directory:
        copy = pathlib.Path(directory) / "source"
        copy.mkdir()
        for name in TREE:
            if (arguments.source / name).is_dir():
                shutil.copytree(arguments.source / name, copy / name,
                                ignore=shutil.ignore_patterns("__pycache__"))
            else:
                shutil.copy2(arguments.source / name, copy / name)
        builds = {board: unchanged_build(arguments, copy, pathlib.Path(directory) / f"build-{board}", board)
                  for board in BOARDS}
        if not all(builds.values()):
            return 1
        found = [p for p in (fault_problem(arguments, copy, builds, row) for row in FAULTS) if p]
    for problem in found:
        print(problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
