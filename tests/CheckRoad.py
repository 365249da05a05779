#!/usr/bin/env python3
"""Runs tools/road.py, the main command, on one configuration and checks its
verdict and the facts behind it: which devices lost USB I/O (a stick claiming
the chipset hub's id among them), what reached the port-disable registers
and the S3 boot script, what the registers hold after a real S3 resume, the
reset road's single reset. The blocking configuration also has UEFIExtract
read the road's flash image; "refusals" checks that bad input is refused in
one line before anything starts."""
import argparse
import json
import pathlib
import subprocess
import sys

from CheckFlashImage import report_problems

XHCI = "PciRoot(0x0)/Pci(0x14,0x0)/"
FLASH_FILES = (("BenchBoardDxe", "48FC9B15-D9AB-4331-87C9-CF169F86F63C"),
               ("UsbConnectorPolicyDxe", "EEFBA29C-1EEF-4FF5-98D8-FAA01612050C"),
               ("SaSetupResetDxe", "528BEF29-3DA1-4FAA-A42B-49CD0AEF5448"))


def device(facts, path):
    found = [d for d in facts["devices"] if d["path"] == XHCI + path]
    return found[0] if len(found) == 1 else None


def accepted_entries(facts):
    return [(e["when"], e["width"], e["address"] - int(facts["ready_to_boot"]["window"], 16), e["value"])
            for e in facts["boot_script"] if e["status"] == "EFI_SUCCESS"]


def check_blocking(facts):
    ready = facts["ready_to_boot"]
    resume = facts["after_s3_resume"]["registers"]
    return [
        # USB2_1p's stick claiming the chipset hub's id, and the stick behind the on-board hub on B1.
        (all(device(facts, p) and not device(facts, p)["usb_io"] and not device(facts, p)["file_systems"]
             for p in ("USB(0x7,0x0)", "USB(0x0,0x0)/USB(0x0,0x0)")), "a stick on a disabled connector is usable"),
        (device(facts, "USB(0x7,0x0)") and (device(facts, "USB(0x7,0x0)")["vendor"],
                                            device(facts, "USB(0x7,0x0)")["product"]) == ("0x8087", "0x0024"),
         "the stick on USB2_1p does not claim the chipset hub's id"),
        (device(facts, "USB(0x3,0x0)") and device(facts, "USB(0x3,0x0)")["file_systems"] == 1,
         "the stick on A2 is not usable"),
        (device(facts, "USB(0x2,0x0)") and device(facts, "USB(0x2,0x0)")["usb_io"], "the keyboard lost USB I/O"),
        ((ready["usb2_register"], ready["usb3_register"]) == ("0x00000080", "0x00000000"),
         f"registers {ready['usb2_register']} / {ready['usb3_register']}"),
        (accepted_entries(facts) == [("End-of-DXE", 1, 0x84F8, 0x80), ("End-of-DXE", 1, 0x84FC, 0)],
         f"boot script {facts['boot_script']}"),
        ((resume["usb2"]["value"], resume["usb3"]["value"]) == ("0xa5a50080", "0xa5a50000")
         and resume["usb2"]["from_boot_script"] and resume["usb3"]["from_boot_script"],
         f"after S3 resume {resume}"),
    ]


def check_all_enabled(facts):
    ready = facts["ready_to_boot"]
    resume = facts["after_s3_resume"]
    return [
        (all(d["usb_io"] for d in facts["devices"]) and len(facts["devices"]) == 5, "a device lost USB I/O"),
        # The sticks on USB2_1p and behind the hub on A1, and the one on A2 claiming the chipset hub's id.
        (sum(d["file_systems"] for d in facts["devices"]) == 3, "the sticks are not all usable"),
        (ready["usb2_register"] == ready["untouched_value"] and not facts["boot_script"] and not ready["hub_lookups"],
         "ready-to-boot or End-of-DXE acted with nothing disabled"),
        (all(r["value"] == resume["lost_state"] for r in resume["registers"].values()),
         f"after S3 resume {resume}"),
    ]


def check_reset(facts):
    sa_setup = facts["sa_setup"]
    return [
        ([b["ended"] for b in facts["boots"]].count("reset before the application") == 1, "not exactly one reset"),
        ((sa_setup["request_byte"], sa_setup["first_changed_byte"], sa_setup["writes_by_drivers"]) == (0, "none", 1),
         f"SaSetup afterwards {sa_setup}"),
    ]


CASES = {
    "blocking": (["--disable", "USB2_1p", "--disable", "B1", "--hub-id-stick", "USB2_1p", "--stick", "A2", "--stick",
                  "B1", "--keyboard", "A1"], check_blocking),
    "all-enabled": (["--disable", "none", "--stick", "USB2_1p", "--hub", "A1", "--stick", "A1", "--keyboard", "A1",
                     "--hub-id-stick", "A2"], check_all_enabled),
    "reset": (["--reset-road"], check_reset),
}

REFUSALS = (["--stick", "Nowhere"], ["--stick", "Hub 1"], ["--stick", "A1", "--stick", "A1"], ["--mode", "300"],
            ["--colour"])


def refusal_problems(tool, build_dir):
    problems = []
    for arguments in REFUSALS:
        result = subprocess.run([sys.executable, tool, "--build-dir", build_dir, *arguments], capture_output=True,
                                text=True)
        if result.returncode != 2 or result.stdout or len(result.stderr.splitlines()) != 1:
            problems.append(f"{arguments}: exit {result.returncode}, stdout {result.stdout!r}, "
                            f"stderr {result.stderr!r}")
        else:
            print(f"refused {arguments}: {result.stderr.strip()}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True, help="tools/road.py")
    parser.add_argument("--build-dir", required=True)
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
            problems += report_problems(image, [(name, guid, None) for name, guid in FLASH_FILES])
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
