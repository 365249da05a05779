#!/usr/bin/env python3
"""Runs tools/road.py, the main command, on one configuration and checks its
verdict and the facts behind it: which devices lost USB I/O (a stick claiming
the chipset hub's id among them), what reached the port-disable registers and
the S3 boot script, what the registers hold after a real S3 resume, the
resets SaSetup asked for. The blocking configuration also has UEFIExtract read
the road's flash image; "refusals" checks that bad input is refused in one
line, with exit status 2, before anything boots."""
import argparse
import json
import pathlib
import subprocess
import sys

from CheckFlashImage import report_problems

XHCI = "PciRoot(0x0)/Pci(0x14,0x0)/"


def device(facts, path):
    found = [d for d in facts["devices"] if d["path"] == XHCI + path]
    return found[0] if len(found) == 1 else {}


def blocked(facts, *paths):
    return all(device(facts, p) and not device(facts, p)["usb_io"] and not device(facts, p)["file_systems"]
               for p in paths)


def accepted_entries(facts):
    """(when, register offset, value) of each entry the firmware took."""
    window = facts["ready_to_boot"]["window"]
    return [(e["when"], e["address"] - window, e["value"]) for e in facts["boot_script"]
            if e["status"] == "EFI_SUCCESS"]


def after_resume(facts):
    registers = facts["after_s3_resume"]["registers"]
    return registers["usb2"]["value"], registers["usb3"]["value"]


def lost_state(facts):
    """What the application left in both registers before sleeping."""
    return facts["after_s3_resume"]["lost_state"]


def recorded_and_replayed(facts, usb2, usb3):
    """Both root-port masks recorded at End-of-DXE and back after the resume,
    each in the low half its 16-bit entry rewrites."""
    high = lost_state(facts) & 0xFFFF0000
    return [
        (accepted_entries(facts) == [("End-of-DXE", 0x84F8, usb2), ("End-of-DXE", 0x84FC, usb3)],
         f"boot script {facts['boot_script']}"),
        (after_resume(facts) == (high | usb2, high | usb3)
         and all(r["from_boot_script"] for r in facts["after_s3_resume"]["registers"].values()),
         f"after S3 resume {facts['after_s3_resume']}"),
    ]


def check_blocking(facts):
    ready = facts["ready_to_boot"]
    return [
        # USB2_1p's stick, the stick behind the on-board hub on B1, and the
        # stick on "USB2_2p #1" that claims the chipset hub's id.
        (blocked(facts, "USB(0x7,0x0)", "USB(0x0,0x0)/USB(0x0,0x0)", "USB(0x4,0x0)"),
         "a stick on a disabled connector is usable"),
        ((device(facts, "USB(0x4,0x0)").get("vendor"), device(facts, "USB(0x4,0x0)").get("product")) ==
         (0x8087, 0x0024), "the stick on USB2_2p #1 does not claim the chipset hub's id"),
        (device(facts, "USB(0x3,0x0)").get("file_systems") == 1, "the stick on A2 is not usable"),
        ([s["booted"] for s in facts["boot"]["boot_sticks"]] == [True], "the boot stick on A2 was not booted"),
        # USB2_1p is asked for twice, by label and by index.
        (facts["road"]["disabled"] == ["USB2_1p", "B1", "USB2_2p #1"], f"disabled {facts['road']['disabled']}"),
        (device(facts, "USB(0x2,0x0)").get("usb_io"), "the keyboard lost USB I/O"),
        ((ready["usb2_register"], ready["usb3_register"]) == (0x90, 0),
         f"registers {ready['usb2_register']} / {ready['usb3_register']}"),
        *recorded_and_replayed(facts, 0x90, 0),
    ]


def check_nothing_disabled(facts):
    ready = facts["ready_to_boot"]
    return [
        (all(d["usb_io"] for d in facts["devices"]) and len(facts["devices"]) == 5, "a device lost USB I/O"),
        # The sticks on USB2_1p and behind the hub on A1, and the one on A2 claiming the chipset hub's id.
        (sum(d["file_systems"] for d in facts["devices"]) == 3, "the sticks are not all usable"),
        (device(facts, "USB(0x3,0x0)").get("vendor") == 0x8087, "the stick on A2 does not claim the hub's id"),
        (ready["usb2_register"] == ready["untouched_value"] and not facts["boot_script"] and not ready["hub_lookups"],
         "End-of-DXE or ready-to-boot acted with nothing disabled"),
        (after_resume(facts) == (lost_state(facts),) * 2, f"after S3 resume {facts['after_s3_resume']}"),
    ]


def check_reset(facts):
    sa_setup = facts["sa_setup"]
    return [
        ([b["ended"] for b in facts["boots"]].count("reset before the application") == 1, "not exactly one reset"),
        ((sa_setup["request_byte"], sa_setup["first_changed_byte"], sa_setup["writes_by_drivers"]) == (0, "none", 1),
         f"SaSetup afterwards {sa_setup}"),
        ([r["type"] for r in sa_setup["resets"]] == ["EfiResetCold"], f"resets {sa_setup['resets']}"),
    ]


def check_a1_bar64(facts):
    ready = facts["ready_to_boot"]
    return [
        # A1's second port, root port 13, is the one its stick is on.
        (blocked(facts, "USB(0xC,0x0)"), "the stick on A1's port 13 is usable"),
        (device(facts, "USB(0x2,0x0)").get("usb_io"), "the keyboard on A1's port 3 lost USB I/O"),
        (ready["window"] >= 1 << 32, f"window {ready['window']:#x} is not above 4 GiB"),
        ((ready["usb2_register"], ready["usb3_register"]) == (0x4, 0x1),
         f"registers {ready['usb2_register']} / {ready['usb3_register']}"),
        (ready["low_dword_alias"] and (ready["low_dword_alias"]["usb2"], ready["low_dword_alias"]["usb3"]) ==
         (ready["untouched_value"],) * 2, f"BAR0's low dword alone {ready['low_dword_alias']}"),
        *recorded_and_replayed(facts, 0x4, 0x1),
    ]


def check_no_controller(facts):
    ready = facts["ready_to_boot"]
    return [
        (blocked(facts, "USB(0x7,0x0)"), "the stick on USB2_1p is usable"),
        (ready["bar0"] == [0xFFFFFFFF, 0xFFFFFFFF], f"BAR0 {ready['bar0']}"),
        ((ready["usb2_register"], ready["usb3_register"]) == (ready["untouched_value"],) * 2,
         "a register was written through an absent controller's BAR"),
        (not facts["boot_script"], f"boot script {facts['boot_script']}"),
        (ready["hub_lookups"] == ready["signals"], "the hub protocol was not looked up at each signal"),
        (after_resume(facts) == (lost_state(facts),) * 2, f"after S3 resume {facts['after_s3_resume']}"),
    ]


def check_test_board_hubs(facts):
    """The test board's rows: D1 on hub ports 38 (USB2 side, port 1) and 43
    (USB3 side, port 2), D2 on 44 (USB3 side, port 3), D3 on 40 and 42 but not
    to be switched off, D4 on 41 and 45 (port 4 on both sides). The
    protocol's members start at 238."""
    ready = facts["ready_to_boot"]
    applies = [(a["pass_bit"], a["usb3_port"], a["usb2_port"], a["usb2_member"], a["usb3_member"])
               for a in ready["hub_applies"]]
    return [
        (applies == [(0x1, 0, 1, 1, 238), (0x2, 2, 0, 1, 2), (0x4, 3, 0, 1, 3), (0x8, 4, 4, 4, 4)],
         f"hub calls {ready['hub_applies']}"),
        (blocked(facts, "USB(0x1,0x0)/USB(0x0,0x0)", "USB(0xD,0x0)/USB(0x1,0x0)", "USB(0xD,0x0)/USB(0x2,0x0)",
                 "USB(0xD,0x0)/USB(0x0,0x0)", "USB(0x1,0x0)/USB(0x3,0x0)"), "a stick behind a hub port is usable"),
        (device(facts, "USB(0x2,0x0)").get("usb_io"), "the keyboard on A3 lost USB I/O"),
        # No root port is off: both registers are written with 0, nothing recorded.
        ((ready["usb2_register"], ready["usb3_register"]) == (0, 0) and not facts["boot_script"],
         f"registers {ready['usb2_register']:#x} / {ready['usb3_register']:#x}, boot script {facts['boot_script']}"),
    ]


CASES = {
    "blocking": (["--disable", "USB2_1p", "--disable", "B1", "--disable", "USB2_2p #1", "--disable", "10",
                  "--stick", "USB2_1p",
                  "--boot-stick", "A2", "--stick", "B1", "--hub-id-stick", "USB2_2p #1", "--keyboard", "A1"],
                 check_blocking),
    "nothing-disabled": (["--mode", "0", "--disable", "all", "--stick", "USB2_1p", "--hub", "A1", "--stick", "A1",
                          "--keyboard", "A1", "--hub-id-stick", "A2"], check_nothing_disabled),
    # Bit 7 alone: a request byte read as 1, as signed or as bit 0 is missed.
    "reset": (["--reset-request", "128"], check_reset),
    "a1-bar64": (["--disable", "A1", "--bar", "64-bit", "--stick", "A1:13", "--keyboard", "A1:3"], check_a1_bar64),
    "no-controller": (["--bar", "absent"], check_no_controller),
    # The test board's (-DBOARD=test): every hub shape switched off, no root port.
    "test-board-hubs": (["--disable", "D1", "--disable", "D2", "--disable", "D3", "--disable", "D4", "--stick", "D1",
                         "--stick", "D1:43", "--stick", "D2", "--stick", "D3:42", "--stick", "D4:41", "--keyboard",
                         "A3", "--no-sleep"], check_test_board_hubs),
}

REFUSALS = (
    (["--stick", "Nowhere"], "unknown connector 'Nowhere'"),
    (["--stick", "Hub 1"], "on-board hub itself"),
    (["--stick", "A1", "--stick", "A1"], "takes one device"),
    (["--stick", "A1:7"], "has ports 3, 13"),
    (["--stick", "A1:"], "has ports 3, 13"),
    (["--hub", "A1", *(["--stick", "A1"] * 9)], "has 8 ports"),
    (["--disable", "none", "--disable", "A2"], "stands alone"),
    (["--mode", "300"], "not a byte"),
    (["--stick", "Hub 1:15"], "leads nowhere"),
    (["--stick", "\u00b2"], "unknown connector"),
    (["--stick", "A1:\u00b2"], "has ports 3, 13"),
    (["--hub", "Hub 1", "--stick", "B1"], "on-board hub itself"),
    (["--hub", "A1:13", "--stick", "B1:34"], "holds the on-board hub"),
    (["--build-dir", "/etc/passwd"], "is not a folder"),
    (["--reset-request", "0"], "not a request byte"),
    (["--colour"], "unrecognized arguments"),
)


def refusal_problems(tool, build_dir):
    problems = []
    for arguments, words in REFUSALS:
        result = subprocess.run([sys.executable, tool, "--build-dir", build_dir, *arguments], capture_output=True,
                                text=True)
        if result.returncode != 2 or result.stdout or len(result.stderr.splitlines()) != 1 or \
                words not in result.stderr:
            problems.append(f"{arguments}: exit {result.returncode}, stdout {result.stdout!r}, "
                            f"stderr {result.stderr!r}")
        else:
            print(f"refused {arguments}: {result.stderr.strip()}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True, help="tools/road.py")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--flash-file", nargs=2, action="append", default=[], metavar=("NAME", "GUID"),
                        help="a file the road's flash image holds")
    parser.add_argument("case", choices=[*CASES, "refusals"])
    arguments = parser.parse_args()
    if arguments.case == "refusals":
        problems = refusal_problems(arguments.tool, arguments.build_dir)
    else:
        options, check = CASES[arguments.case]
        result = subprocess.run([sys.executable, arguments.tool, "--build-dir", arguments.build_dir, "--json",
                                 *options], capture_output=True, text=True)
        print(result.stderr, result.stdout, sep="\n")
        if result.returncode not in (0, 1):
            return 1
        facts = json.loads(result.stdout)
        problems = [f"verdict: {problem}" for problem in facts["verdict"]["problems"]]
        problems += [what for ok, what in check(facts) if not ok]
        if arguments.case == "blocking":
            image = pathlib.Path(arguments.build_dir) / "OVMF_CODE_4M-road.fd"
            problems += report_problems(image, [(name, guid.upper(), None) for name, guid in arguments.flash_file])
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
