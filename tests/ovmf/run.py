#!/usr/bin/env python3
"""The OVMF scenarios the road cannot express: boots OVMF under QEMU once per
scenario and reports what the driver images did there.

Each scenario gets a temporary folder with a fresh copy of the OVMF variable
store and a FAT folder holding the scenario application as
\\EFI\\BOOT\\BOOTX64.EFI plus the driver images and the board's stand-in. The
application reads the scenario name from fw_cfg, and the stand-in, where a
scenario starts it, its settings; the application prints its observations on
the serial line and ends QEMU through isa-debug-exit. QEMU runs with
-no-reboot, so a reset (the application's own after storing Driver####
options) ends the run; the runner then boots again on the same variable store,
each boot under its own timeout. In the hot-plug scenario the runner also
plugs and unplugs USB sticks through QEMU's monitor when the application asks
for them. A scenario passes only on the completion line "BOARD: PASS <name>"
together with the pass exit code; silence, a timeout or anything else is a
failure. Exit status: 0 when every scenario passed, 1 when one failed, 2 when
nothing could be run.
"""

import argparse
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools"))
from host_tool import OVMF_CODE, OVMF_VARS, QEMU, require, run_tool  # noqa: E402
from ovmf_qemu import (MEMORY, Monitor, boot_folder, boot_through_resets, machine, make_stick,  # noqa: E402
                       monitor_arguments, stand_in_settings, stop_boots, xhci_device)

BOOT_TIMEOUT_S = 60
# The longest flow is two boots: store options, check; one more shows a loop.
MAX_BOOTS = 3
MAX_PARALLEL = 2

APPLICATION = "OvmfScenarios.efi"
DRIVER_IMAGES = ("UsbConnectorPolicyDxe.efi", "SaSetupResetDxe.efi", "BoardStandInDxe.efi")

# Hot-plug runs start with a hub on root port 8 and hubs on its ports 1-4;
# the application asks for each stick in turn ("BOARD: HOTPLUG PLUG <id>
# <port>" / "UNPLUG <id>" / "REPLACE <old> <new> <port>") and the runner plugs
# it through QEMU's monitor (QMP).
HOTPLUG_HUBS = ("8", "8.1", "8.2", "8.3", "8.4")
HOTPLUG_REQUEST = re.compile(r"^BOARD: HOTPLUG (PLUG|UNPLUG|REPLACE) (.+)$")
HOTPLUG_SETTLE_S = 0.4


@dataclass(frozen=True)
class Scenario:
    name: str
    summary: str
    hotplug: bool = False
    timeout: int = BOOT_TIMEOUT_S  # seconds, per boot


SCENARIOS = (
    Scenario("setup-absent",
             "Setup missing: the driver stops at its Setup read and publishes nothing"),
    Scenario("setup-too-large",
             "Setup of 4000 bytes: the read fails with EFI_BUFFER_TOO_SMALL and nothing is published"),
    Scenario("revision-gate",
             "system table revision 2.29 is refused before any variable access; 2.30 is accepted"),
    Scenario("calibration-hob",
             "calibration HOB installed: the window is skipped (its port 0x1808 is dead here)"),
    Scenario("calibration-window",
             "PM timer moved to 0x1808: the window waits 364 ticks and leaves interrupts enabled"),
    Scenario("calibration-window-masked",
             "as calibration-window, entered with interrupts disabled: they stay disabled"),
    Scenario("calibration-dead-timer",
             "no calibration HOB, port 0x1808 dead: both drivers give up waiting, restore interrupts and return"),
    Scenario("late-start",
             "started as a Driver#### option after ready-to-lock, USB2_1p off: ready-to-boot writes the "
             "registers and tries the boot-script entries itself at every signal"),
    Scenario("hotplug-cycles",
             "USB2_1p off, 32 hot-plug cycles: each stick plugged behind root port 8 is blocked, whatever handle it "
             "gets; each stick on root port 4 works",
             hotplug=True, timeout=180),
)

VALUE_LINE = re.compile(r"^BOARD: (?!BEGIN |PASS |FAIL |REBOOT |CHECK FAILED: )(.+?) = (.*)$")


@dataclass
class Outcome:
    scenario: Scenario
    passed: bool
    reason: str
    seconds: float
    boots: list
    values: list = field(default_factory=list)
    checks: list = field(default_factory=list)


class HotPlug:
    """Runs beside each hot-plug boot: carries out the application's plug
    requests through QEMU's monitor (QMP) until QEMU ends; a failure ends
    QEMU and is kept in errors."""

    def __init__(self, work):
        self.work = work
        self.errors = []

    def __call__(self, process):
        try:
            monitor = Monitor(self.work / "qmp.sock", process)
            for request in map(HOTPLUG_REQUEST.match, monitor.follow_lines(self.work / "serial.log")):
                if request:
                    self.carry_out(monitor, request.group(1), request.group(2).split())
        except (OSError, RuntimeError, ValueError) as error:
            # QEMU closes the monitor when it ends; that is no failure of ours.
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.errors.append(f"hot-plug: {error}")
                process.kill()

    def carry_out(self, monitor, verb, words):
        if verb in ("UNPLUG", "REPLACE"):
            device_id = words.pop(0)
            monitor.execute("device_del", id=device_id)
            monitor.wait_event("DEVICE_DELETED", {"device": device_id})
            monitor.execute("blockdev-del", **{"node-name": device_id})
        if verb == "REPLACE":
            # OVMF has seen the unplug by then; a plug during its removal
            # work can hang the firmware.
            time.sleep(HOTPLUG_SETTLE_S)
        if verb in ("PLUG", "REPLACE"):
            device_id, port = words
            monitor.execute("blockdev-add", driver="raw", **{"node-name": device_id},
                            file={"driver": "file", "filename": str(self.work / "hotplug.img"), "locking": "off"})
            monitor.execute("device_add", driver="usb-storage", id=device_id, bus="xhci.0", port=port,
                            drive=device_id)


def run_scenario(scenario, build_dir, keep):
    """Boots the scenario until it ends otherwise than in a reset; returns the
    outcome and the serial logs."""
    work = Path(tempfile.mkdtemp(prefix=f"ovmf-{scenario.name}-"))
    started = time.monotonic()
    try:
        fat, variables = boot_folder(work, build_dir / APPLICATION)
        for image in DRIVER_IMAGES:
            shutil.copyfile(build_dir / image, fat / image)
        devices = []
        if scenario.hotplug:
            make_stick(work / "hotplug.img", "hot-plug stick")
            controller = json.loads((build_dir / "board.json").read_text())["controller"]
            devices = ["-device", xhci_device(controller),
                       *(arg for port in HOTPLUG_HUBS for arg in ("-device", f"usb-hub,bus=xhci.0,port={port}")),
                       *monitor_arguments(work / "qmp.sock")]
        # The stand-in as the Driver#### scenarios need it: the calibration
        # HOB, so that drivers started after it skip the window.
        fw_cfg = {"scenario": scenario.name, **stand_in_settings()}
        command = [*machine(OVMF_CODE, variables, fat, work / "serial.log", fw_cfg, MEMORY), *devices]
        hotplug = HotPlug(work) if scenario.hotplug else None
        boots = list(boot_through_resets(command, work / "serial.log", scenario.timeout, MAX_BOOTS, hotplug))
        errors = hotplug.errors if hotplug else []
        return judge(scenario, boots, errors, time.monotonic() - started), "\n".join(b.serial for b in boots)
    finally:
        if keep:
            print(f"kept {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


def judge(scenario, boots, errors, seconds):
    lines = [line for b in boots for line in b.lines()]
    ended = boots[-1].ended()
    outcome = Outcome(scenario, ended == "passed" and not errors, "", seconds, [b.ended() for b in boots],
                      [m.group(1, 2) for m in map(VALUE_LINE.match, lines) if m],
                      [line.split(": ", 2)[-1] for line in lines if line.startswith("BOARD: CHECK FAILED: ")])
    if errors:
        outcome.reason = errors[0]
    elif ended.startswith("reset"):
        outcome.reason = f"still resetting after {len(boots)} boots"
    elif ended != "passed":
        outcome.reason = ended.removeprefix("failed: ") + \
            (f", after: {outcome.checks[0]}" if outcome.checks and not ended.startswith("failed") else "")
    return outcome


def one_line(outcome):
    verdict = "PASS" if outcome.passed else "FAIL"
    boots = f", {len(outcome.boots)} boots" if len(outcome.boots) > 1 else ""
    line = f"{verdict} {outcome.scenario.name} ({outcome.seconds:.1f} s{boots})"
    if not outcome.passed:
        line += f": {outcome.reason}"
    values = "; ".join(f"{key}: {value}" for key, value in outcome.values)
    return line + (f"\n    {values}" if values else "")


def report(outcome):
    verdict = "PASS" if outcome.passed else f"FAIL: {outcome.reason}"
    lines = [f"== {outcome.scenario.name}: {outcome.scenario.summary}",
             f"   result: {verdict}",
             f"   boots: {', '.join(outcome.boots)}"]
    lines += [f"   {key}: {value}" for key, value in outcome.values]
    lines += [f"   check failed: {check}" for check in outcome.checks]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="scenarios to run (default: all)")
    parser.add_argument("--build-dir", type=Path, default=Path(os.environ.get("BUILD_DIR", REPO / "build")),
                        help="the build folder holding the scenario application and the driver images")
    parser.add_argument("-j", "--jobs", type=int, default=MAX_PARALLEL,
                        help=f"scenarios run at once (at most {MAX_PARALLEL})")
    parser.add_argument("--report", action="store_true", help="print what each driver did, scenario by scenario")
    parser.add_argument("--list", action="store_true", help="list the scenarios and exit")
    parser.add_argument("--keep", action="store_true", help="keep each scenario's folder and serial log")
    parser.add_argument("--log", action="store_true", help="print the serial log of failed scenarios")
    args = parser.parse_args()

    if args.list:
        for scenario in SCENARIOS:
            print(f"{scenario.name:28} {scenario.summary}")
        return 0
    known = {s.name: s for s in SCENARIOS}
    unknown = [n for n in args.names if n not in known]
    if unknown:
        parser.error(f"unknown scenario(s): {', '.join(unknown)}")
    chosen = [known[n] for n in args.names] if args.names else list(SCENARIOS)
    build_dir = args.build_dir.resolve()
    require([QEMU] + (["mformat", "mcopy"] if any(s.hotplug for s in chosen) else []),
            [OVMF_CODE, OVMF_VARS, *(build_dir / image for image in (APPLICATION, *DRIVER_IMAGES))])

    jobs = max(1, min(args.jobs, MAX_PARALLEL))
    outcomes = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        # The longest first, so that it runs beside the others.
        futures = [pool.submit(run_scenario, s, build_dir, args.keep)
                   for s in sorted(chosen, key=lambda s: s.timeout, reverse=True)]
        try:
            for future in concurrent.futures.as_completed(futures):
                outcome, log = future.result()
                outcomes[outcome.scenario.name] = outcome
                if not args.report:
                    print(one_line(outcome), flush=True)
                    if args.log and not outcome.passed:
                        print(log)
        except BaseException:
            # Interrupted: the scenarios' threads end their boots and remove
            # their folders before the pool lets the runner exit.
            pool.shutdown(wait=False, cancel_futures=True)
            stop_boots()
            raise

    ordered = [outcomes[s.name] for s in chosen]
    if args.report:
        print("\n\n".join(report(o) for o in ordered))
        print()
    passed = sum(o.passed for o in ordered)
    print(f"{passed} passed, {len(ordered) - passed} failed")
    return 0 if passed == len(ordered) else 1


if __name__ == "__main__":
    run_tool("ovmf scenarios", main)
