#!/usr/bin/env python3
"""Guest time each driver adds to a boot, counted in executed instructions:
boots the flash image holding both drivers between start-up cost probes
(build/OVMF_CODE_4M-boot-cost.fd) under QEMU's -icount and prints a table
beside the same figures for a no-op driver.

Under -icount guest time advances by 2**shift ns per executed instruction, so
the time-stamp counter, which QEMU derives from guest time, counts
instructions whatever the host is doing. The flash image's DXE volume gets,
in dispatch order: BoardStandInDxe, probe, probe, UsbConnectorPolicyDxe, probe,
SaSetupResetDxe, probe, NoOpDxe, probe (emulated-board/CMakeLists.txt). The
difference between the probes on either side of a driver is what loading and
starting it took; the emulated board's boot application
(emulated-board/app/BootCost.cpp) times the notifications.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

from host_tool import OVMF_CODE, OVMF_VARS, QEMU, ToolError, require, run_tool
from ovmf_qemu import MEMORY, boot, boot_folder, machine, stand_in_settings

REPO = Path(__file__).resolve().parent.parent
ICOUNT_SHIFT = 4
NS_PER_INSTRUCTION = 2 ** ICOUNT_SHIFT
BOOT_TIMEOUT_S = 120
# Probe 0 creates the table, so that no driver's interval carries that work;
# probes 0 and 1 show what one probe alone takes.
MEASURED = (("UsbConnectorPolicyDxe", 1, 2), ("SaSetupResetDxe", 2, 3), ("NoOpDxe", 3, 4))
FLASH_IMAGE = "OVMF_CODE_4M-boot-cost.fd"
BOOT_APPLICATION = "BoardApp.efi"


# The measuring boots: each starts from the variable store the prepare boot
# left (Setup stored) or from OVMF's own (no Setup, so the policy refuses to
# start), and tells BoardStandInDxe through fw_cfg whether to install the
# calibration HOB or lend the PM timer to port 0x1808 instead.
WITH_HOB = stand_in_settings()
WINDOW = stand_in_settings(calibration_hob=False, lend_pm_timer=True)
MEASURES = (("armed", True, WITH_HOB), ("window", True, WINDOW), ("refused", False, WITH_HOB))


def run_once(build_dir, work):
    """{measure: COST lines} of one run: the prepare boot, then each measure."""
    fat, variables = boot_folder(work, build_dir / BOOT_APPLICATION)
    prepared = work / "prepared.fd"

    def run(step, start_from, stand_in):
        variables.write_bytes(start_from.read_bytes())
        fw_cfg = {"job": "boot-cost", "boot-cost/step": step, **stand_in}
        command = [*machine(build_dir / FLASH_IMAGE, variables, fat, work / "serial.log", fw_cfg, MEMORY),
                   "-icount", f"shift={ICOUNT_SHIFT},sleep=off"]
        outcome = boot(command, work / "serial.log", BOOT_TIMEOUT_S)
        wanted = "reset by the application" if step == "prepare" else "passed"
        if outcome.ended() != wanted:
            raise ToolError(f"the {step} boot {outcome.ended()}")
        return [line for line in outcome.lines() if line.startswith("BOARD: COST ")]

    run("prepare", OVMF_VARS, WITH_HOB)
    prepared.write_bytes(variables.read_bytes())
    return {name: run("measure", prepared if with_setup else OVMF_VARS, stand_in)
            for name, with_setup, stand_in in MEASURES}


START = "start, HOB"
START_WINDOW = "start, no HOB"
ARRIVALS = tuple(f"arrival, {n} USB I/O" for n in (1, 8, 64))
READY_TO_BOOT = "ready-to-boot"
COLUMNS = (START, START_WINDOW, *ARRIVALS, READY_TO_BOOT)


def starts(lines):
    """{driver: ns} between the probes around it, less what one probe alone takes."""
    for line in lines:
        if line.startswith("BOARD: COST probes "):
            stamps = [int(value) for value in line.split("stamps=")[1].split(",")]
            probe_alone = stamps[1] - stamps[0]
            return {driver: stamps[after] - stamps[before] - probe_alone for driver, before, after in MEASURED}
    raise ToolError("no probe readings")


def notifications(lines):
    found = {}
    for line in lines:
        what, *pairs = line[len("BOARD: COST "):].split(" ")
        fields = dict(pair.split("=", 1) for pair in pairs)
        if what == "arrival":
            found[f"arrival, {fields['handles']} USB I/O"] = int(fields["ns"])
        elif what == "ready_to_boot":
            found[READY_TO_BOOT] = int(fields["ns"])
    return found


def figures(measures):
    """{row: {column: ns}} from one run. The no-op driver's notifications are
    timed in the boot where the policy refused to start, so only the no-op
    driver's empty ones were armed."""
    armed, window = starts(measures["armed"]), starts(measures["window"])
    table = {driver: {START: armed[driver], START_WINDOW: window[driver]} for driver, _, _ in MEASURED}
    table["UsbConnectorPolicyDxe"].update(notifications(measures["armed"]))
    table["NoOpDxe"].update(notifications(measures["refused"]))
    return table


def cell(seen):
    ns = statistics.median(seen)
    spread = "" if len(set(seen)) == 1 else f" ±{(max(seen) - min(seen)) / 2000:.1f}"
    return f"{ns / 1000:,.1f} ({ns / NS_PER_INSTRUCTION:,.0f}){spread}"


def print_table(runs):
    print(f"Guest time in us, with instructions at {NS_PER_INSTRUCTION} ns each in brackets (QEMU -icount "
          f"shift={ICOUNT_SHIFT}); the median of {len(runs)} runs, ± half their spread where they differ.")
    print("start: loading and starting the driver from flash, less a probe's own; without the HOB the PM timer is "
          "live, so the calibration window runs.")
    print("arrival and ready-to-boot: one device-path installation or ready-to-boot signal with everything armed "
          "for it; the no-op driver's row is timed with the policy driver not started.")
    width = 24
    print(f"{'':22}" + "".join(f"{column:>{width}}" for column in COLUMNS))
    for row in runs[0]:
        cells = [cell([run[row][column] for run in runs]) if column in runs[0][row] else "-" for column in COLUMNS]
        print(f"{row:22}" + "".join(f"{text:>{width}}" for text in cells))
    varying = sum(len({run[row][column] for run in runs}) > 1 for row in runs[0] for column in runs[0][row])
    print(f"{len(runs)} runs: " + ("every figure the same" if not varying else f"{varying} figures differ"))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=2, help="complete runs to compare (default 2)")
    parser.add_argument("--build-dir", type=Path, default=Path(os.environ.get("BUILD_DIR", REPO / "build")))
    args = parser.parse_args(argv)
    if args.runs < 1:
        raise ToolError(f"--runs {args.runs}: the table needs at least one run")
    build_dir = args.build_dir.resolve()
    require([QEMU], [OVMF_CODE, OVMF_VARS, build_dir / FLASH_IMAGE, build_dir / BOOT_APPLICATION])
    runs = []
    for run in range(args.runs):
        started = time.monotonic()
        with tempfile.TemporaryDirectory(prefix="boot-cost-") as directory:
            runs.append(figures(run_once(build_dir, Path(directory))))
        print(f"run {run + 1}: {1 + len(MEASURES)} boots in {time.monotonic() - started:.0f} s", file=sys.stderr)
    print_table(runs)
    return 0


if __name__ == "__main__":
    run_tool("boot_cost", main)
