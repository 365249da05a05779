#!/usr/bin/env python3
"""Real-firmware bench: boots OVMF under QEMU and reports what the driver
images did there, scenario by scenario.

Each scenario gets a temporary folder with a fresh copy of the OVMF variable
store and a FAT folder holding the boot application as \\EFI\\BOOT\\BOOTX64.EFI
plus the driver images. The boot application reads the scenario name from
fw_cfg, prints its observations on the serial line and ends QEMU through
isa-debug-exit. QEMU runs with -no-reboot, so a reset (the application's own
after storing Driver#### options, or a driver's) ends the run; the runner then
boots again on the same variable store, each boot under its own timeout. In
the hot-plug scenario the runner also plugs and unplugs USB sticks through
QEMU's monitor when the application asks for them. A scenario passes only on
the completion line "BENCH: PASS <name>" together with the pass exit code;
silence, a timeout or anything else is a failure.
"""

import argparse
import concurrent.futures
import os
import re
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))
from ovmf_qemu import (EXIT_PASS, EXIT_RESET, OVMF_CODE, OVMF_VARS, QEMU, Monitor, bench_lines,  # noqa: E402
                       boot, make_stick, qemu_base_command)

BOOT_TIMEOUT_S = 60
# The longest flow is three boots: store options, a driver's reset, check.
MAX_BOOTS = 4
MAX_PARALLEL = 2

BENCH_APP = "BenchApp.efi"
DRIVER_IMAGES = ("UsbConnectorPolicyDxe.efi", "SaSetupResetDxe.efi", "BenchBoardDxe.efi")

MEMORY = ("-m", "3328")
# A 256 MiB DIMM, which QEMU places at 4 GiB: RAM for a 64-bit BAR's window.
MEMORY_WITH_HIGH_DIMM = ("-m", "3328,slots=1,maxmem=4G",
                         "-object", "memory-backend-ram,id=bench-high,size=256M",
                         "-device", "pc-dimm,memdev=bench-high")


# QEMU's xHCI at the board's PCI address with 14 USB2 root ports, raw FAT
# sticks on root ports 8 and 13 and behind a hub on port 1, and a keyboard on
# port 3 (the devices e2e/app/DeviceArrivalScenarios.cpp expects).
USB_STICKS = (("stick8", "8"), ("stick13", "13"), ("stickhub", "1.1"))
USB_DEVICES = ("-device", "qemu-xhci,id=xhci,addr=0x14,p2=14,p3=0",
               "-device", "usb-hub,bus=xhci.0,port=1",
               "-device", "usb-kbd,bus=xhci.0,port=3")


# Hot-plug runs start with a hub on root port 8 and hubs on its ports 1-4; the boot
# application asks for each stick in turn ("BENCH: HOTPLUG PLUG <id> <port>"
# / "UNPLUG <id>") and the runner plugs it through QEMU's monitor (QMP).
HOTPLUG_HUBS = ("8", "8.1", "8.2", "8.3", "8.4")
HOTPLUG_DEVICES = ("-device", "qemu-xhci,id=xhci,addr=0x14,p2=14,p3=0",
                   *(arg for port in HOTPLUG_HUBS for arg in ("-device", f"usb-hub,bus=xhci.0,port={port}")))
HOTPLUG_REQUEST = re.compile(r"^BENCH: HOTPLUG (PLUG|UNPLUG|REPLACE) (.+)$")
HOTPLUG_SETTLE_S = 0.4


@dataclass(frozen=True)
class Scenario:
    name: str
    summary: str
    machine: tuple = MEMORY
    usb: bool = False
    hotplug: bool = False
    timeout: int = BOOT_TIMEOUT_S  # seconds, per boot


SCENARIOS = (
    Scenario("setup-absent",
             "Setup missing: the driver stops at its Setup read and publishes nothing"),
    Scenario("setup-mode7",
             "Setup in mode 7 (connector 10 off): the driver publishes the 160-byte capability block"),
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
    Scenario("ready-to-boot-usb2-1p",
             "Driver#### boot, connector 10 off: USB2 register 0x80, USB3 0, two boot-script entries per signal"),
    Scenario("ready-to-boot-a1-bar64",
             "Driver#### boot, connector 6 off, 64-bit BAR: registers 0x4 / 0x1 in the window above 4 GiB",
             MEMORY_WITH_HIGH_DIMM),
    Scenario("ready-to-boot-nothing",
             "Driver#### boot, every connector on: no register write, no boot-script entry, no hub lookup"),
    Scenario("ready-to-boot-absent-controller",
             "Driver#### boot, connector 10 off, BAR0 reads all-ones: nothing written at 4 GiB + 0x84E8, "
             "no boot-script entry; the hub protocol is still looked up",
             MEMORY_WITH_HIGH_DIMM),
    Scenario("setup-reset-requested",
             "SaSetup byte 190 = 1: SaSetupResetDxe clears it, keeps every other byte and resets exactly once"),
    Scenario("setup-reset-not-requested",
             "SaSetup byte 190 = 0: no reset, no write, SaSetup untouched"),
    Scenario("arrival-usb2-1p",
             "connector 10 off: the stick on root port 8 loses USB I/O and gets no BlockIo; the others work",
             usb=True),
    Scenario("arrival-a1",
             "connector 6 (A1) off: the stick on root port 13 is blocked; the keyboard on its port 3 keeps USB I/O",
             usb=True),
    Scenario("arrival-b1",
             "connector 1 (B1) off: the stick behind the hub is blocked; the stick on root port 8 is not",
             usb=True),
    Scenario("arrival-mode0",
             "Setup mode 0 with every enable byte 0: every stick is usable",
             usb=True),
    Scenario("hotplug-cycles",
             "connector 10 off, 32 hot-plug cycles: each stick plugged behind root port 8 is blocked, whatever "
             "handle it gets; each stick on root port 4 works",
             hotplug=True, timeout=180),
)

VALUE_LINE = re.compile(r"^BENCH: (?!BEGIN |PASS |FAIL |REBOOT |CHECK FAILED: )(.+?) = (.*)$")


@dataclass
class Boot:
    exit_code: object  # None on timeout
    serial_text: str
    host_errors: list = field(default_factory=list)

    def lines(self):
        return list(bench_lines(self.serial_text))

    def summary(self):
        if self.exit_code is None:
            return "timeout"
        if self.exit_code != EXIT_RESET:
            return f"exit {self.exit_code}"
        if any(line.startswith("BENCH: REBOOT ") for line in self.lines()):
            return "reset by the application"
        return "reset before the application"


@dataclass
class Outcome:
    scenario: Scenario
    passed: bool
    reason: str
    seconds: float
    boots: list
    values: list = field(default_factory=list)
    checks: list = field(default_factory=list)


def usb_arguments(work, scenario):
    if scenario.hotplug:
        return list(HOTPLUG_DEVICES) + ["-qmp", f"unix:{work / 'qmp.sock'},server=on,wait=off"]
    if not scenario.usb:
        return []
    arguments = list(USB_DEVICES)
    for name, port in USB_STICKS:
        arguments += ["-drive", f"if=none,id={name},format=raw,file={work / (name + '.img')}",
                      "-device", f"usb-storage,bus=xhci.0,port={port},drive={name}"]
    return arguments


def qemu_command(work, scenario):
    return [*qemu_base_command(OVMF_CODE, work / "vars.fd", work / "fat", work / "serial.log", scenario.name,
                               scenario.machine),
            *usb_arguments(work, scenario)]


def prepare_folder(work, build_dir, scenario):
    boot = work / "fat" / "EFI" / "BOOT"
    boot.mkdir(parents=True)
    shutil.copyfile(build_dir / BENCH_APP, boot / "BOOTX64.EFI")
    for image in DRIVER_IMAGES:
        shutil.copyfile(build_dir / image, work / "fat" / image)
    shutil.copyfile(OVMF_VARS, work / "vars.fd")
    if scenario.usb:
        for name, _ in USB_STICKS:
            make_stick(work / f"{name}.img", f"bench {name}")
    if scenario.hotplug:
        make_stick(work / "hotplug.img", "bench hotplug")


class HotPlugMonitor(Monitor):
    """QMP plugging and unplugging USB sticks."""

    def plug(self, work, device_id, port):
        self.execute("blockdev-add", driver="raw", **{"node-name": device_id},
                     file={"driver": "file", "filename": str(work / "hotplug.img"), "locking": "off"})
        self.execute("device_add", driver="usb-storage", id=device_id, bus="xhci.0", port=port, drive=device_id)

    def unplug(self, device_id):
        self.execute("device_del", id=device_id)
        self.wait_event("DEVICE_DELETED", {"device": device_id})
        self.execute("blockdev-del", **{"node-name": device_id})


def serve_hotplug(work, process, log_path, errors):
    """Carries out the boot application's plug requests until QEMU ends; a
    failure ends QEMU and is kept in errors."""
    try:
        monitor = HotPlugMonitor(work / "qmp.sock", process)
        carry_out_requests(work, process, log_path, monitor)
    except (OSError, RuntimeError, ValueError) as error:
        # QEMU closes the monitor when it ends; that is no failure of ours.
        if process.poll() is None:
            errors.append(f"hot-plug: {error}")
            process.kill()


def carry_out_requests(work, process, log_path, monitor):
    done = 0
    while process.poll() is None:
        text = log_path.read_text(errors="replace") if log_path.exists() else ""
        # Only lines QEMU has finished writing: half a port name is another port.
        requests = [m for m in map(HOTPLUG_REQUEST.match, bench_lines(text[:text.rfind("\n") + 1])) if m]
        for request in requests[done:]:
            verb, words = request.group(1), request.group(2).split()
            if verb in ("UNPLUG", "REPLACE"):
                monitor.unplug(words.pop(0))
            if verb == "REPLACE":
                # OVMF has seen the unplug by then; a plug during its
                # removal work can hang the firmware.
                time.sleep(HOTPLUG_SETTLE_S)
            if verb in ("PLUG", "REPLACE"):
                monitor.plug(work, *words)
        done = len(requests)
        time.sleep(0.05)


def boot_once(work, scenario):
    errors = []

    def alongside(process):
        serve_hotplug(work, process, work / "serial.log", errors)

    exit_code, serial_text = boot(qemu_command(work, scenario), work / "serial.log", scenario.timeout,
                                  alongside if scenario.hotplug else None)
    return Boot(exit_code, serial_text, errors)


def judge(scenario, boots, seconds):
    lines = [line for boot in boots for line in boot.lines()]
    outcome = Outcome(scenario, False, "", seconds, [b.summary() for b in boots],
                      [m.group(1, 2) for m in map(VALUE_LINE.match, lines) if m],
                      [l[len("BENCH: CHECK FAILED: "):] for l in lines if l.startswith("BENCH: CHECK FAILED: ")])
    last = boots[-1]
    host_errors = [error for boot in boots for error in boot.host_errors]
    completion = [l for l in last.lines() if l.startswith(("BENCH: PASS ", "BENCH: FAIL "))]
    failed_prefix = f"BENCH: FAIL {scenario.name}: "
    if host_errors:
        outcome.reason = host_errors[0]
    elif last.exit_code is None:
        outcome.reason = f"boot {len(boots)} timed out after {scenario.timeout} s" + \
            (f", after: {outcome.checks[0]}" if outcome.checks else "") + \
            ("" if last.lines() else " with no bench output")
    elif last.exit_code == EXIT_RESET:
        outcome.reason = f"still resetting after {len(boots)} boots"
    elif not completion:
        outcome.reason = f"no completion line (QEMU exit {last.exit_code})"
    elif completion[-1] == f"BENCH: PASS {scenario.name}" and last.exit_code == EXIT_PASS:
        outcome.passed = True
    elif completion[-1].startswith(failed_prefix):
        outcome.reason = completion[-1][len(failed_prefix):]
    else:
        outcome.reason = f"{completion[-1]!r} with QEMU exit {last.exit_code}"
    return outcome, "\n".join(b.serial_text for b in boots)


def run_scenario(scenario, build_dir, keep):
    work = Path(tempfile.mkdtemp(prefix=f"bench-{scenario.name}-"))
    started = time.monotonic()
    try:
        prepare_folder(work, build_dir, scenario)
        boots = [boot_once(work, scenario)]
        while boots[-1].exit_code == EXIT_RESET and len(boots) < MAX_BOOTS:
            boots.append(boot_once(work, scenario))
        return judge(scenario, boots, time.monotonic() - started)
    finally:
        if keep:
            print(f"kept {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


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


def missing_prerequisites(build_dir, scenarios):
    missing = [str(p) for p in (OVMF_CODE, OVMF_VARS) if not p.exists()]
    tools = (QEMU, "mformat", "mcopy") if any(s.usb or s.hotplug for s in scenarios) else (QEMU,)
    missing += [tool for tool in tools if shutil.which(tool) is None]
    missing += [str(build_dir / image) for image in (BENCH_APP,) + DRIVER_IMAGES
                if not (build_dir / image).exists()]
    return missing


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("names", nargs="*", help="scenarios to run (default: all)")
    parser.add_argument("--build-dir", type=Path, default=Path(os.environ.get("BENCH_BUILD_DIR", REPO / "build")),
                        help="directory holding BenchApp.efi and the driver images")
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
    missing = missing_prerequisites(build_dir, chosen)
    if missing:
        print(f"bench cannot run, missing: {', '.join(missing)}", file=sys.stderr)
        print(f"0 passed, {len(chosen)} failed")
        return 1

    jobs = max(1, min(args.jobs, MAX_PARALLEL))
    outcomes = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
        # The longest first, so that it runs beside the others.
        futures = [pool.submit(run_scenario, s, build_dir, args.keep)
                   for s in sorted(chosen, key=lambda s: s.timeout, reverse=True)]
        for future in concurrent.futures.as_completed(futures):
            outcome, log = future.result()
            outcomes[outcome.scenario.name] = outcome
            if not args.report:
                print(one_line(outcome), flush=True)
                if args.log and not outcome.passed:
                    print(log)

    ordered = [outcomes[s.name] for s in chosen]
    if args.report:
        print("\n\n".join(report(o) for o in ordered))
        print()
    passed = sum(o.passed for o in ordered)
    print(f"{passed} passed, {len(ordered) - passed} failed")
    return 0 if passed == len(ordered) else 1


if __name__ == "__main__":
    sys.exit(main())
