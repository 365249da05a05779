#!/usr/bin/env python3
"""The typical road of both drivers on OVMF, started from the flash image as
on the board: makes a flash image with the drivers inside, boots it under
QEMU with the chosen setup and USB devices, sleeps in S3 and wakes, and
reports what the firmware and the drivers did and whether that is what the
setup requires.

Both drivers, and BenchBoardDxe ahead of them (it stands in for what QEMU's
board lacks and records what it sees), are files of the flash image's DXE
volume; the DXE dispatcher starts them and no Driver#### option exists. A first
boot stores Setup (and SaSetup for the reset road) and resets; the drivers act
in the next boot, and the boot application (e2e/app/RoadScenarios.cpp)
prints what happened. With the sleep step (the default) the application then
puts the port-disable registers in the state a controller has after losing
power and enters S3; this tool wakes the machine over QEMU's monitor, waits for
the firmware's resume to reach the waking vector and reads the registers back.
Every fact in the report is read back from the machine; only the board's
connector table below is known beforehand, to name connectors and to judge
the outcome.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from firmware_volume import FirmwareError, insert_files
from ovmf_qemu import EXIT_PASS, EXIT_RESET, OVMF_CODE, OVMF_VARS, QEMU, Monitor, bench_lines, boot, make_stick, \
    qemu_base_command

REPO = Path(__file__).resolve().parent.parent
BOOT_TIMEOUT_S = 60
# Setup stored, a reset by SaSetupResetDxe on the reset road, the report.
MAX_BOOTS = 3
STORED = "setup stored, reset by the application"
DRIVER_RESET = "reset before the application"
REPORTED = "report printed"
RESUMED = "report printed, slept in S3 and woke"
# From QEMU's wake-up to the firmware's jump to the waking vector.
WAKE_TIMEOUT_S = 30
# In the order the DXE dispatcher starts them: the stand-in first.
FLASH_FILES = ("BenchBoardDxe.ffs", "UsbConnectorPolicyDxe.ffs", "SaSetupResetDxe.ffs")
BOOT_APPLICATION = "BenchApp.efi"
FLASH_IMAGE = "OVMF_CODE_4M-road.fd"


@dataclass(frozen=True)
class Connector:
    index: int
    label: str
    kind: str
    ports: tuple
    flags: int


# The board's connector table (usb-connector-policy/BoardTables.cpp): label,
# USB generation, port numbers, flags (bit 0 grouped, bit 1 group leader, bit 2
# disabling allowed for grouped rows, bits 5-7 group).
CONNECTORS = tuple(Connector(index, *row) for index, row in enumerate((
    ("Hub 1", "USB 3.2 Gen1", (1, 15), 0x27),
    ("B1", "USB 3.2 Gen1", (30, 34), 0x25),
    ("B2", "USB 3.2 Gen1", (31, 35), 0x25),
    ("USB-A", "USB 3.2 Gen1", (32, 36), 0x25),
    ("USB-C", "USB 3.2 Gen1", (33, 37), 0x25),
    ("M.2 Key-E", "USB 2.0", (2,), 0x00),
    ("A1", "USB 3.2 Gen2", (3, 13), 0x00),
    ("A2", "USB 3.2 Gen2", (4, 14), 0x00),
    ("USB2_2p #1", "USB 2.0", (5,), 0x00),
    ("USB2_2p #2", "USB 2.0", (6,), 0x00),
    ("USB2_1p", "USB 2.0", (8,), 0x00),
)))
ON_BOARD_HUB = CONNECTORS[0]
# Ports 30-45 are the four downstream ports of hubs on root ports 1, 13, 2 and 14.
HUB_ROOT_PORTS = {30: 1, 34: 13, 38: 2, 42: 14}
XHCI_PATH = "PciRoot(0x0)/Pci(0x14,0x0)/"
PER_CONNECTOR_MODE = 7
MASS_STORAGE_CLASS = 8
USB2_PORT_DISABLE_OFFSET = 0x84F8
USB3_PORT_DISABLE_OFFSET = 0x84FC
BOOT_SCRIPT_MEM_WRITE = 2
BOOT_SCRIPT_WIDTH_UINT16 = 1
DEFAULT_DISABLED = ("USB2_1p",)
DEFAULT_STICKS = ("USB2_1p", "A2", "B1")


class RoadError(Exception):
    """A refusal, reported as one line before anything starts."""


def hub_port(port):
    """(root port, downstream port 1-4) of a hub port 30-45, or None."""
    for first, root in HUB_ROOT_PORTS.items():
        if first <= port < first + 4:
            return root, port - first + 1
    return None


def port_prefix(port):
    """The device-path text prefix by which the policy driver recognises a port."""
    if 1 <= port <= 14:
        return f"{XHCI_PATH}USB(0x{port - 1:X},"
    if hub_port(port) is not None:
        root, downstream = hub_port(port)
        return f"{XHCI_PATH}USB(0x{root - 1:X},0x0)/USB(0x{downstream - 1:X},"
    return ""


def port_mask_bit(port):
    """(mask, bit) that switching the port off sets, or None."""
    if 1 <= port <= 12:
        return "usb2", port - 1
    if port in (13, 14):
        return "usb3", port - 13
    if 38 <= port <= 41:
        return "hub_usb2", port - 38
    if 42 <= port <= 45:
        return "hub_usb3", port - 42
    return None


def find_connector(name):
    if name.isdigit() and int(name) < len(CONNECTORS):
        return CONNECTORS[int(name)]
    for connector in CONNECTORS:
        if connector.label.lower() == name.lower():
            return connector
    labels = ", ".join(f'"{c.label}"' for c in CONNECTORS)
    raise RoadError(f"unknown connector {name!r}: use an index 0-{len(CONNECTORS) - 1} or one of {labels}")


def qemu_port(connector):
    """QEMU's port name for a device plugged into the connector: a root port,
    or a port of the on-board hub on root port 1."""
    port = connector.ports[0]
    if hub_port(port) is not None:
        return "{}.{}".format(*hub_port(port))
    return str(port)


# What can be attached to a connector, and the QEMU device for it.
QEMU_DEVICES = {"stick": "usb-storage", "hub-id stick": "usb-storage", "keyboard": "usb-kbd"}


@dataclass
class Road:
    mode: int
    disabled: list  # connectors
    attachments: list  # (kind, connector)
    reset_request: bool
    sleep: bool

    def enable_bytes(self):
        return "".join("0" if c in self.disabled else "1" for c in CONNECTORS)

    def disabled_by_setup(self, connector):
        return self.mode == PER_CONNECTOR_MODE and connector in self.disabled


def placements(road):
    """(QEMU device, QEMU port, connector) for the attachments, hubs first; a
    hub on a connector takes the devices attached to it, and anything on
    B1-USB-C goes through the on-board hub on root port 1."""
    hubs = {c for kind, c in road.attachments if kind == "hub"}
    if any(hub_port(c.ports[0]) is not None for _, c in road.attachments):
        hubs.add(ON_BOARD_HUB)
    placed = [("hub", qemu_port(c), c) for c in sorted(hubs, key=lambda c: c.index)]
    taken = {}
    for kind, connector in road.attachments:
        if kind == "hub":
            continue
        if connector == ON_BOARD_HUB:
            raise RoadError('"Hub 1" is the on-board hub itself: attach devices to B1, B2, USB-A or USB-C')
        if taken.get(connector) and connector not in hubs:
            raise RoadError(f'connector "{connector.label}" takes one device; add --hub "{connector.label}" '
                            "to plug several")
        taken[connector] = taken.get(connector, 0) + 1
        port = qemu_port(connector) + (f".{taken[connector]}" if connector in hubs else "")
        placed.append((kind, port, connector))
    return placed


def qemu_devices(road, work):
    """QEMU's arguments for the controller and the attachments, with a FAT
    stick image made for each stick, and the stand-in's configuration: the
    port of the stick that claims the chipset hub's id."""
    arguments = ["-device", "qemu-xhci,id=xhci,addr=0x14,p2=14,p3=0"]
    board = []
    for number, (kind, port, connector) in enumerate(placements(road)):
        device = "usb-hub" if kind == "hub" else QEMU_DEVICES[kind]
        if device == "usb-storage":
            image = work / f"stick{number}.img"
            make_stick(image, f"road {kind} on {connector.label}")
            arguments += ["-drive", f"if=none,id=stick{number},format=raw,file={image}"]
            device += f",drive=stick{number}"
        if kind == "hub-id stick":
            board.append(f"hub-id={port}")
        arguments += ["-device", f"{device},bus=xhci.0,port={port}"]
    if board:
        arguments += ["-fw_cfg", f"name=opt/bench/board,string={' '.join(board)}"]
    return arguments


# --- flash image and boots


# With --json the steps go to stderr, so that stdout is the document alone.
STEPS = sys.stdout


def step(text):
    print(text, file=STEPS, flush=True)


def make_flash_image(build_dir):
    """The flash image with the stand-in and both drivers; made again only when
    an input is newer."""
    output = build_dir / FLASH_IMAGE
    inputs = [OVMF_CODE, *(build_dir / name for name in FLASH_FILES), Path(__file__).with_name("firmware_volume.py")]
    if output.exists() and all(output.stat().st_mtime >= path.stat().st_mtime for path in inputs):
        return output, "reused"
    files = [(str(path), path.read_bytes()) for path in inputs[1:-1]]
    image = insert_files(OVMF_CODE.read_bytes(), files)
    # Written under a name of its own, so runs side by side never read half an image.
    with tempfile.NamedTemporaryFile(dir=build_dir, prefix=f"{FLASH_IMAGE}.", delete=False) as temporary:
        temporary.write(image)
    os.replace(temporary.name, output)
    return output, "made"


class Sleeper:
    """Runs beside a boot: once the application has put the machine into S3,
    wakes it over QMP, waits until the firmware's resume has reached the
    waking vector, reads the port-disable registers and ends QEMU."""

    def __init__(self, socket_path, serial_log):
        self.socket_path = socket_path
        self.serial_log = serial_log
        self.registers = None  # {"usb2": value, "usb3": value} read after the resume
        self.error = None

    def __call__(self, process):
        try:
            monitor = Monitor(self.socket_path, process)
            monitor.wait_event("SUSPEND")
            sleep = road_facts(bench_lines(self.serial_log.read_text(errors="replace")))["sleep"][0]
            monitor.execute("system_wakeup")
            deadline = time.monotonic() + WAKE_TIMEOUT_S
            while monitor.read_memory(int(sleep["wake_flag"], 16), "b") != 1:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"the firmware's resume did not reach the waking vector within "
                                       f"{WAKE_TIMEOUT_S} s")
                time.sleep(0.2)
            self.registers = {name: monitor.read_memory(int(sleep[f"{name}_address"], 16)) for name in ("usb2", "usb3")}
        except (OSError, RuntimeError, ValueError, KeyError, IndexError) as error:
            # A boot that ends without sleeping closes the monitor too.
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.error = f"S3 sleep: {error}"
                process.kill()
            return
        process.kill()


def boot_road(road, build_dir, flash, work, devices):
    """Boots until the application reports (and the machine has slept and
    woken); returns how each boot ended, the bench lines of the last one and
    the registers read after the resume."""
    fat = work / "fat" / "EFI" / "BOOT"
    fat.mkdir(parents=True)
    shutil.copyfile(build_dir / BOOT_APPLICATION, fat / "BOOTX64.EFI")
    shutil.copyfile(OVMF_VARS, work / "vars.fd")
    description = f"{road.mode} {road.enable_bytes()} {int(road.reset_request)} {int(road.sleep)}"
    command = [*qemu_base_command(flash, work / "vars.fd", work / "fat", work / "serial.log", "road"),
               "-fw_cfg", f"name=opt/bench/road,string={description}",
               "-qmp", f"unix:{work / 'qmp.sock'},server=on,wait=off", *devices]
    boots = []
    for number in range(1, MAX_BOOTS + 1):
        started = time.monotonic()
        sleeper = Sleeper(work / "qmp.sock", work / "serial.log")
        exit_code, serial = boot(command, work / "serial.log", BOOT_TIMEOUT_S, sleeper)
        lines = list(bench_lines(serial))
        ended = ending(exit_code, lines, sleeper)
        boots.append({"boot": number, "ended": ended, "seconds": round(time.monotonic() - started, 1)})
        step(f"boot {number}: {ended} ({boots[-1]['seconds']} s)")
        failures = [line[len("BENCH: CHECK FAILED: "):] for line in lines if line.startswith("BENCH: CHECK FAILED")]
        if failures:
            raise RoadError(f"boot {number}: {failures[0]}")
        if ended == (RESUMED if road.sleep else REPORTED):
            return boots, lines, sleeper.registers
        if ended != (STORED if number == 1 else DRIVER_RESET):
            raise RoadError(f"boot {number} {ended}")
    raise RoadError(f"still resetting after {MAX_BOOTS} boots")


def ending(exit_code, lines, sleeper):
    if sleeper.error:
        return sleeper.error
    if sleeper.registers is not None:
        return RESUMED
    if exit_code is None:
        return f"timed out after {BOOT_TIMEOUT_S} s"
    if exit_code == EXIT_PASS:
        return REPORTED
    if exit_code == EXIT_RESET:
        return STORED if any(line.startswith("BENCH: REBOOT ") for line in lines) else DRIVER_RESET
    return f"ended with QEMU exit {exit_code}"


# --- facts


def road_facts(lines):
    """The ROAD lines as {what: [fields, ...]}."""
    facts = {}
    for line in lines:
        if line.startswith("BENCH: ROAD "):
            what, *pairs = line[len("BENCH: ROAD "):].split(" ")
            facts.setdefault(what, []).append(dict(pair.split("=", 1) for pair in pairs))
    return facts


def capability_model():
    """The capability block the board's connector table describes."""
    block = bytearray(160)
    leader = [0] * 8
    for c in CONNECTORS:
        grouped = c.flags & 1
        block[c.index] = 1 if grouped or c.ports else 0
        if grouped:
            group = c.flags >> 5
            if c.flags & 2:
                leader[group] = c.index
            block[32 + c.index] = 0 if c.flags & 2 else 1
            block[64 + c.index] = (c.flags >> 2) & 1
            block[96 + c.index] = leader[group]
        else:
            block[64 + c.index] = 1
    return bytes(block)


def judge(road, raw, boots, resumed):
    """The report's facts and the problems found in them."""
    problems = []
    entries = {e["driver"]: e for e in raw.get("entry", [])}
    dispatch = {}
    for driver in ("UsbConnectorPolicyDxe", "SaSetupResetDxe"):
        entry = entries.get(driver, {})
        entered = entry.get("order", "0") != "0"
        dispatch[driver] = {"entered": entered, "order": int(entry.get("order", 0)),
                            "ready_to_lock_before": entry.get("ready_to_lock") == "1",
                            "s3_save_state": entry.get("s3_save_state") == "1",
                            "device_path_to_text": entry.get("device_path_to_text") == "1"}
        if not entered:
            problems.append(f"{driver} was not started by the DXE dispatcher")

    capabilities = (raw.get("capabilities") or [{}])[0]
    block = bytes.fromhex(capabilities.get("bytes", ""))
    if capabilities.get("status") != "EFI_SUCCESS":
        problems.append(f"UsbConnectorCapabilities not published: {capabilities.get('status')}")
    elif capabilities.get("attributes") != "0x00000002" or block != capability_model():
        problems.append(f"UsbConnectorCapabilities is {len(block)} bytes with attributes "
                        f"{capabilities.get('attributes')}, not the board's 160-byte boot-time block")
    connectors = []
    for c in CONNECTORS:
        published = {name: block[32 * row + c.index] if len(block) == 160 else None
                     for row, name in enumerate(("present", "group_member", "disableable", "group_leader"))}
        connectors.append({"index": c.index, "label": c.label, "kind": c.kind, "ports": list(c.ports),
                           "setup": "disabled" if road.disabled_by_setup(c) else "enabled",
                           "capabilities": published})

    devices = judge_devices(road, raw, problems)
    masks = port_masks(road, block)
    boot_script = judge_boot_script(raw, masks, problems)
    ready = judge_ready_to_boot(raw, masks, problems)
    end_of_dxe = (raw.get("end_of_dxe") or [{}])[0]
    facts = {"road": {"mode": road.mode, "disabled": [c.label for c in road.disabled],
                      "attachments": [{"kind": k, "connector": c.label} for k, c in road.attachments],
                      "reset_request": road.reset_request, "sleep": road.sleep},
             "boots": boots, "dispatch": dispatch,
             "capabilities": {"status": capabilities.get("status"), "size": int(capabilities.get("size", 0)),
                              "attributes": capabilities.get("attributes")},
             "connectors": connectors, "devices": devices,
             "end_of_dxe": {"signals": int(end_of_dxe.get("signals", 0)),
                            "after_ready_to_lock": end_of_dxe.get("ready_to_lock") == "1"},
             "boot_script": boot_script, "ready_to_boot": ready,
             "after_s3_resume": judge_resume(road, raw, masks, boot_script, resumed, problems) if road.sleep else None}
    if road.reset_request:
        facts["sa_setup"] = judge_sa_setup(raw, boots, problems)
    elif any(b["ended"] == DRIVER_RESET for b in boots):
        problems.append("the platform was reset without a request in SaSetup")
    facts["verdict"] = {"ok": not problems, "problems": problems, "warnings": warnings(facts)}
    return facts


def warnings(facts):
    """What the board needs to know although the drivers did as described."""
    found = []
    policy = facts["dispatch"]["UsbConnectorPolicyDxe"]
    if policy["entered"] and not policy["s3_save_state"]:
        found.append("S3 save-state was not installed when UsbConnectorPolicyDxe entered: the driver looks for it "
                     "again at End-of-DXE and ready-to-boot")
    if policy["entered"] and not policy["device_path_to_text"]:
        found.append("device-path-to-text was not installed when UsbConnectorPolicyDxe entered: devices wait "
                     "for a later notification to be matched")
    if facts["end_of_dxe"]["signals"] and facts["end_of_dxe"]["after_ready_to_lock"]:
        found.append("End-of-DXE came after ready-to-lock: the boot script takes no entries by then")
    refused = [e for e in facts["boot_script"] if e["status"] != "EFI_SUCCESS"]
    if refused:
        found.append(f"the firmware refused {len(refused)} boot-script entries ({refused[0]['status']} at "
                     f"{refused[0]['when']})")
    return found


def judge_devices(road, raw, problems):
    """Each enumerated USB device, and whether it must be blocked: mass
    storage on a connector setup switched off, whatever id it claims."""
    board = (raw.get("board") or [{}])[0]
    hub_id_sticks = [c for kind, c in road.attachments if kind == "hub-id stick"]
    if hub_id_sticks and board.get("hub_id_claimed") != "1":
        problems.append(f"the stand-in found no stick on {hub_id_sticks[0].label} to claim the chipset hub's id")
    devices = []
    for device in raw.get("device", []):
        path = device["path"]
        matches = [c for c in CONNECTORS
                   if any(port_prefix(p) and path.upper().startswith(port_prefix(p).upper()) for p in c.ports)]
        klass = int(device["class"])
        blocked_wanted = klass == MASS_STORAGE_CLASS and any(road.disabled_by_setup(c) for c in matches)
        facts = {"path": path, "class": klass, "vendor": device["vendor"], "product": device["product"],
                 "matches": [c.label for c in matches], "usb_io": device["usb_io"] == "1",
                 "block_io": int(device["block_io"]), "file_systems": int(device["file_systems"]),
                 "must_be_blocked": blocked_wanted}
        devices.append(facts)
        if blocked_wanted and (facts["usb_io"] or facts["block_io"] or facts["file_systems"]):
            problems.append(f"{path} is on a disabled connector and still usable")
        if not blocked_wanted and not facts["usb_io"]:
            problems.append(f"{path} lost its USB I/O although no disabled connector has it")
        if not blocked_wanted and klass == MASS_STORAGE_CLASS and not facts["file_systems"]:
            problems.append(f"{path} got no file system")
    sticks = sum(1 for kind, _ in road.attachments if QEMU_DEVICES.get(kind) == "usb-storage")
    enumerated = sum(1 for d in devices if d["class"] == MASS_STORAGE_CLASS)
    if enumerated != sticks:
        problems.append(f"{sticks} sticks attached, {enumerated} enumerated")
    return devices


def port_masks(road, block):
    """The four port masks the setup asks for, as the board table maps ports."""
    masks = {"usb2": 0, "usb3": 0, "hub_usb2": 0, "hub_usb3": 0}
    for c in CONNECTORS:
        if road.disabled_by_setup(c) and len(block) == 160 and block[64 + c.index]:
            for port in c.ports:
                if port_mask_bit(port) is not None:
                    mask, bit = port_mask_bit(port)
                    masks[mask] |= 1 << bit
    return masks


def moment(entry):
    if entry["ready_to_boot"] != "0":
        return "ready-to-boot"
    return "End-of-DXE" if entry["end_of_dxe"] != "0" else "load"


def judge_boot_script(raw, masks, problems):
    """Every boot-script Write the drivers made; the ones the firmware
    accepted must be exactly the two 16-bit writes of the root-port masks
    into the registers BAR0 names, each once, when a root port is to be
    switched off, and none otherwise."""
    ready = (raw.get("ready_to_boot") or [{}])[0]
    script = [{"opcode": int(e["opcode"]), "width": int(e["width"]), "address": int(e["address"], 16),
               "count": int(e["count"]), "value": int(e["value"], 16), "status": e["status"], "when": moment(e)}
              for e in raw.get("boot_script", [])]
    window = int(ready.get("window", "0"), 16)
    wanted = []
    if masks["usb2"] or masks["usb3"]:
        wanted = [(BOOT_SCRIPT_MEM_WRITE, BOOT_SCRIPT_WIDTH_UINT16, window + offset, 1, masks[name])
                  for name, offset in (("usb2", USB2_PORT_DISABLE_OFFSET), ("usb3", USB3_PORT_DISABLE_OFFSET))]
    accepted = [(e["opcode"], e["width"], e["address"], e["count"], e["value"]) for e in script
                if e["status"] == "EFI_SUCCESS"]
    if ready.get("s3_wrapped") != "1":
        problems.append("the bench could not watch the S3 boot script")
    elif sorted(accepted) != sorted(wanted):
        def listed(entries):
            return ", ".join(f"{8 << width}-bit {value:#x} at {address:#x}" for _, width, address, _, value
                             in entries) or "none"
        problems.append(f"the boot script holds {listed(accepted)}; this setup needs {listed(wanted)}")
    return script


def judge_ready_to_boot(raw, masks, problems):
    ready = (raw.get("ready_to_boot") or [{}])[0]
    signals = int(ready.get("signals", 0))
    applies = raw.get("hub_apply", [])
    facts = {"signals": signals, "after_ready_to_lock": ready.get("ready_to_lock") == "1",
             "bar0": [ready.get("bar_low"), ready.get("bar_high")], "window": ready.get("window"),
             "usb2_register": ready.get("usb2"), "usb3_register": ready.get("usb3"),
             "untouched_value": ready.get("untouched"), "masks": masks,
             "hub_lookups": int(ready.get("hub_lookups", 0)),
             "hub_applies": [{k: a[k] for k in ("usb3_port", "pass_bit", "usb2_port")} for a in applies]}
    if signals == 0:
        problems.append("the firmware never signalled ready-to-boot")
        return facts
    writes = any(masks.values())
    want = (f"0x{masks['usb2']:08x}", f"0x{masks['usb3']:08x}") if writes else (ready.get("untouched"),) * 2
    if (ready.get("usb2"), ready.get("usb3")) != want:
        problems.append(f"port-disable registers {ready.get('usb2')} / {ready.get('usb3')}, wanted {want[0]} / "
                        f"{want[1]}")
    if facts["hub_lookups"] != (signals if writes else 0):
        problems.append(f"hub protocol looked up {facts['hub_lookups']} times for {signals} signals")
    if applies and not (masks["hub_usb2"] or masks["hub_usb3"]):
        problems.append(f"{len(applies)} hub Apply calls with no hub port disabled")
    return facts


def root_ports(register, bits):
    """The root ports behind the register's bits, with the connectors naming them."""
    first = 1 if register == "usb2" else 13
    named = []
    for bit in range(16):
        if bits & (1 << bit):
            port = first + bit
            labels = [c.label for c in CONNECTORS if port in c.ports]
            named.append(f"root port {port}" + (f" ({', '.join(labels)})" if labels else ""))
    return named


def judge_resume(road, raw, masks, boot_script, registers, problems):
    """Each register after the resume: what the boot script put back, or the
    state the controller was left in before sleeping."""
    sleep = (raw.get("sleep") or [{}])[0]
    lost = int(sleep.get("lost_state", "0"), 16)
    facts = {"lost_state": f"{lost:#010x}", "registers": {}}
    for name in ("usb2", "usb3"):
        address = int(sleep.get(f"{name}_address", "0"), 16)
        value = registers[name]
        replayed = [e["value"] for e in boot_script if e["status"] == "EFI_SUCCESS" and e["address"] == address]
        # A 16-bit entry rewrites the low half alone.
        from_script = bool(replayed) and value == (lost & 0xFFFF0000) | replayed[-1]
        on_again = masks[name] & ~value
        facts["registers"][name] = {"address": f"{address:#x}", "value": f"{value:#010x}",
                                    "from_boot_script": from_script,
                                    "ports_on_again": root_ports(name, on_again)}
        if on_again:
            problems.append(f"after S3 resume {', '.join(root_ports(name, on_again))} "
                            f"{'is' if len(root_ports(name, on_again)) == 1 else 'are'} on again")
        elif not (masks["usb2"] or masks["usb3"]) and value != lost:
            problems.append(f"after S3 resume the {name.upper()} register is {value:#010x} although nothing was to "
                            f"be recorded (left {lost:#010x})")
        elif masks["usb2"] or masks["usb3"]:
            wanted = (lost & 0xFFFF0000) | masks[name]
            if value != wanted:
                problems.append(f"after S3 resume the {name.upper()} register is {value:#010x}, wanted {wanted:#010x}")
    return facts


def judge_sa_setup(raw, boots, problems):
    state = (raw.get("sa_setup") or [{}])[0]
    driver_resets = sum(1 for b in boots if b["ended"] == DRIVER_RESET)
    facts = {"status": state.get("status"), "size": int(state.get("size", 0)),
             "stored_size": int(state.get("stored_size", 0)), "attributes": state.get("attributes"),
             "request_byte": int(state.get("request", -1)), "first_changed_byte": state.get("first_change"),
             "writes_by_drivers": int(state.get("writes", 0)), "driver_resets": driver_resets}
    if driver_resets != 1:
        problems.append(f"{driver_resets} resets by SaSetupResetDxe, wanted exactly one")
    if facts["status"] != "EFI_SUCCESS" or facts["request_byte"] != 0 or facts["first_changed_byte"] != "none" \
            or facts["size"] != facts["stored_size"] or facts["attributes"] != "0x00000007":
        problems.append(f"SaSetup afterwards: {facts['status']}, {facts['size']} bytes, attributes "
                        f"{facts['attributes']}, byte 190 = {facts['request_byte']}, first other byte changed: "
                        f"{facts['first_changed_byte']}")
    if facts["writes_by_drivers"] != 1:
        problems.append(f"SaSetup written {facts['writes_by_drivers']} times, wanted once")
    return facts


# --- report


def yes(flag):
    return "yes" if flag else "no"


def times(count):
    return "once" if count == 1 else f"{count} times"


def script_lines(boot_script, when):
    entries = [e for e in boot_script if e["when"] == when]
    lines = [f"  boot script Write(opcode {e['opcode']}, width {e['width']}, {e['address']:#x}, count {e['count']}, "
             f"value {e['value']:#x}) -> {e['status']}" for e in entries]
    return lines or ["  boot script: no entries"]


def report(facts):
    road = facts["road"]
    out = []
    disabled = ", ".join(road["disabled"]) or "none"
    out.append(f"Road: Setup mode {road['mode']}, connectors disabled: "
               f"{disabled if road['mode'] == PER_CONNECTOR_MODE else 'none (only mode 7 disables)'}; "
               f"SaSetup reset request: {yes(road['reset_request'])}")
    out.append("  attached: " + (", ".join(f"{a['kind']} on {a['connector']}" for a in road["attachments"]) or
                                 "nothing"))
    out.append("")
    out.append("Dispatch (from flash, in volume order; facts at each driver's entry)")
    for driver, entry in facts["dispatch"].items():
        if not entry["entered"]:
            out.append(f"  {driver:22} never entered")
            continue
        out.append(f"  {driver:22} entered #{entry['order']}, "
                   f"{'after' if entry['ready_to_lock_before'] else 'before'} ready-to-lock; "
                   f"S3 save-state {'installed' if entry['s3_save_state'] else 'NOT installed'}, "
                   f"device-path-to-text {'installed' if entry['device_path_to_text'] else 'NOT installed'}")
    out.append("")
    caps = facts["capabilities"]
    out.append(f"Connectors (UsbConnectorCapabilities: {caps['status']}, {caps['size']} bytes, attributes "
               f"{caps['attributes']})")
    out.append(f"  {'#':>2}  {'label':11} {'kind':13} {'ports':7} {'setup':9} present member disableable leader")
    for c in facts["connectors"]:
        p = c["capabilities"]
        out.append(f"  {c['index']:>2}  {c['label']:11} {c['kind']:13} {','.join(map(str, c['ports'])):7} "
                   f"{c['setup']:9} {p['present']!s:>7} {p['group_member']!s:>6} {p['disableable']!s:>11} "
                   f"{p['group_leader']!s:>6}")
    out.append("")
    out.append("USB devices the firmware enumerated")
    for d in facts["devices"]:
        state = "USB I/O kept" if d["usb_io"] else "USB I/O removed"
        storage = f"{d['file_systems']} file system(s)" if d["file_systems"] else "no file system"
        out.append(f"  {d['path']:52} class {d['class']:<2} {d['vendor'][2:]}:{d['product'][2:]} on "
                   f"{', '.join(d['matches']) or '-':12} {state}, {storage}"
                   f"{'  (must be blocked)' if d['must_be_blocked'] else ''}")
    out.append("")
    end_of_dxe = facts["end_of_dxe"]
    if end_of_dxe["signals"]:
        out.append(f"End-of-DXE (signalled {times(end_of_dxe['signals'])}, first "
                   f"{'after' if end_of_dxe['after_ready_to_lock'] else 'before'} ready-to-lock)")
    else:
        out.append("End-of-DXE (never signalled)")
    out.extend(script_lines(facts["boot_script"], "End-of-DXE"))
    ready = facts["ready_to_boot"]
    out.append(f"Ready-to-boot (signalled {times(ready['signals'])}, first "
               f"{'after' if ready['after_ready_to_lock'] else 'before'} ready-to-lock; BAR0 "
               f"{ready['bar0'][0]}/{ready['bar0'][1]}, window {ready['window']})")
    untouched = f" (untouched: {ready['untouched_value']})"
    out.append(f"  USB2 port-disable register {ready['usb2_register']}, USB3 {ready['usb3_register']}"
               f"{untouched if ready['usb2_register'] == ready['untouched_value'] else ''}")
    out.extend(script_lines(facts["boot_script"], "ready-to-boot"))
    out.append(f"  hub protocol looked up {times(ready['hub_lookups'])}, Apply called {times(len(ready['hub_applies']))}"
               + "".join(f"; Apply({a['usb3_port']}, {a['pass_bit']}, {a['usb2_port']})"
                                 for a in ready["hub_applies"]))
    resume = facts["after_s3_resume"]
    if resume is not None:
        out.append("")
        out.append(f"After S3 resume (both registers set to {resume['lost_state']} before sleeping, as a controller "
                   "that lost its state)")
        for name, register in resume["registers"].items():
            origin = "from the boot script" if register["from_boot_script"] else (
                "as left before sleeping" if register["value"] == resume["lost_state"] else "changed, not by the "
                "boot script")
            on_again = f"; {', '.join(register['ports_on_again'])} on again" if register["ports_on_again"] else ""
            out.append(f"  {name.upper()} port-disable register {register['value']}: {origin}{on_again}")
    if "sa_setup" in facts:
        s = facts["sa_setup"]
        out.append("")
        out.append(f"SaSetupResetDxe: cold reset {times(s['driver_resets'])}; SaSetup written {times(s['writes_by_drivers'])}, "
                   f"now {s['size']} bytes (stored {s['stored_size']}), attributes {s['attributes']}, byte 190 = "
                   f"{s['request_byte']}, other bytes "
                   f"{'kept' if s['first_changed_byte'] == 'none' else 'changed from byte ' + s['first_changed_byte']}")
    out.append("")
    verdict = facts["verdict"]
    out.extend(f"Warning: {warning}" for warning in verdict["warnings"])
    if verdict["ok"]:
        blocked = sum(d["must_be_blocked"] for d in facts["devices"])
        resumed = "" if resume is None else ", the same ports off after S3 resume"
        out.append(f"Verdict: PASS, the board behaved as this setup requires: {blocked} of {len(facts['devices'])} "
                   f"USB devices blocked, the others usable; port-disable registers {ready['usb2_register']} / "
                   f"{ready['usb3_register']}{resumed}")
    else:
        out.append(f"Verdict: FAIL, {len(verdict['problems'])} problem(s): " + "; ".join(verdict["problems"]))
    return "\n".join(out)


# --- command line


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        print(f"road: {message}", file=sys.stderr)
        sys.exit(2)


def parse_road(argv):
    parser = OneLineParser(
        description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="connectors, by index or label (case does not matter):\n  " +
        ", ".join(f"{c.index} {c.label!r}" for c in CONNECTORS) +
        "\nB1, B2, USB-A and USB-C sit behind the on-board hub (\"Hub 1\", root port 1), which is plugged in\n"
        "whenever a device goes there. Without any --stick, --keyboard or --hub, sticks go into\n"
        f"{', '.join(DEFAULT_STICKS)}. Exit status: 0 when the board behaved as the setup requires, 1 when not,\n"
        "2 when nothing could be run.")
    parser.add_argument("--mode", type=int, default=PER_CONNECTOR_MODE,
                        help="Setup's UsbConnectorControlMode (default 7: each connector by its enable byte; "
                             "any other value disables nothing)")
    parser.add_argument("--disable", action="append", metavar="CONNECTOR",
                        help='switch a connector off in Setup; repeat for several, or "none" '
                             f"(default: {', '.join(DEFAULT_DISABLED)})")
    parser.add_argument("--stick", action="append", default=[], metavar="CONNECTOR",
                        help="plug a USB memory stick into the connector (repeatable)")
    parser.add_argument("--keyboard", action="append", default=[], metavar="CONNECTOR",
                        help="plug a USB keyboard into the connector (repeatable)")
    parser.add_argument("--hub", action="append", default=[], metavar="CONNECTOR",
                        help="plug a USB hub into the connector; devices given for that connector go behind it")
    parser.add_argument("--hub-id-stick", metavar="CONNECTOR",
                        help="plug a USB memory stick that claims the chipset hub's id 8087:0024 into the connector")
    parser.add_argument("--no-sleep", action="store_true",
                        help="leave out the S3 sleep after the report's facts are gathered")
    parser.add_argument("--reset-road", action="store_true",
                        help="also set SaSetup's reset request byte: SaSetupResetDxe must clear it and cold-reset "
                             "exactly once")
    parser.add_argument("--json", action="store_true", help="print the facts as one JSON document, not the report")
    parser.add_argument("--check", action="store_true",
                        help="only check the options and what the attachments need, then exit")
    parser.add_argument("--build-dir", type=Path, default=Path(os.environ.get("BUILD_DIR", REPO / "build")),
                        help="where the images and FFS files were built (default build/)")
    args = parser.parse_args(argv)
    if not 0 <= args.mode <= 255:
        raise RoadError(f"--mode {args.mode} is not a byte")
    disable = args.disable if args.disable is not None else list(DEFAULT_DISABLED)
    disabled = [] if disable == ["none"] else [find_connector(name) for name in disable]
    attachments = [("hub", find_connector(n)) for n in args.hub] + \
        [("stick", find_connector(n)) for n in args.stick] + [("keyboard", find_connector(n)) for n in args.keyboard]
    if args.hub_id_stick is not None:
        attachments.append(("hub-id stick", find_connector(args.hub_id_stick)))
    if not attachments:
        attachments = [("stick", find_connector(n)) for n in DEFAULT_STICKS]
    return Road(args.mode, disabled, attachments, args.reset_road, not args.no_sleep), args


def missing_tools(road, build_dir):
    missing = [str(p) for p in (OVMF_CODE, OVMF_VARS) if not p.exists()]
    sticks = any(QEMU_DEVICES.get(kind) == "usb-storage" for kind, _ in road.attachments)
    tools = [QEMU] + (["mformat", "mcopy"] if sticks else [])
    missing += [tool for tool in tools if shutil.which(tool) is None]
    missing += [str(build_dir / name) for name in (*FLASH_FILES, BOOT_APPLICATION) if not (build_dir / name).exists()]
    return missing


def main(argv=None):
    global STEPS
    try:
        road, args = parse_road(argv)
        STEPS = sys.stderr if args.json else sys.stdout
        placements(road)
        if args.check:
            return 0
        build_dir = args.build_dir.resolve()
        missing = missing_tools(road, build_dir)
        if missing:
            raise RoadError(f"missing {', '.join(missing)} (scripts/road.sh installs and builds them)")
        with tempfile.TemporaryDirectory(prefix="road-") as directory:
            work = Path(directory)
            devices = qemu_devices(road, work)
            flash, how = make_flash_image(build_dir)
            step(f"flash image: {how} {flash} ({flash.stat().st_size} bytes, {', '.join(FLASH_FILES)} "
                 "in its DXE volume)")
            boots, lines, resumed = boot_road(road, build_dir, flash, work, devices)
    except (RoadError, FirmwareError) as error:
        print(f"road: {error}", file=sys.stderr)
        return 2
    facts = judge(road, road_facts(lines), boots, resumed)
    print(json.dumps(facts, indent=2) if args.json else "\n" + report(facts))
    return 0 if facts["verdict"]["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
