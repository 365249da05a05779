#!/usr/bin/env python3
"""The typical road of both drivers on the emulated board: boots OVMF with the
drivers in its flash image under QEMU, with the chosen setup, board and USB
devices, sleeps in S3 and wakes, and reports what the firmware and the drivers
did and whether that is what the setup requires.

The flash image (built as build/OVMF_CODE_4M-road.fd) holds BoardStandInDxe,
which supplies what QEMU's board lacks and records what it sees, then both
drivers; the DXE dispatcher starts them as on the board. A first boot stores
Setup and SaSetup and resets; the drivers act in the next boot (one more when
SaSetup asks for a reset), and the emulated board's boot application prints
what happened. With the sleep step (the default) the application then puts the
port-disable registers in the state a controller has after losing power and
enters S3; this tool wakes the machine over QEMU's monitor, waits for the
firmware's resume to reach the waking vector and reads the registers back.
Every fact in the report is read back from the machine; what the setup
requires comes from the board's description (build/board.json), written by the
build from the policy driver's board file.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from ovmf_qemu import (MEMORY, MEMORY_WITH_HIGH_DIMM, OVMF_CODE, OVMF_VARS, QEMU, XHCI_DEVICE, Monitor, ToolError,
                       board_lines, boot, boot_folder, machine, make_stick, monitor_arguments, require, run_tool)

REPO = Path(__file__).resolve().parent.parent
BOOT_TIMEOUT_S = 60
# Setup stored, a reset by SaSetupResetDxe on the reset road, the report; one
# more shows a reset that never stops.
MAX_BOOTS = 4
STORED = "reset by the application"
DRIVER_RESET = "reset before the application"
REPORTED = "report printed"
RESUMED = "report printed, slept in S3 and woke"
# From QEMU's wake-up to the firmware's jump to the waking vector.
WAKE_TIMEOUT_S = 30
FLASH_IMAGE = "OVMF_CODE_4M-road.fd"
BOOT_APPLICATION = "BoardApp.efi"
BOARD_DESCRIPTION = "board.json"
BUILD_TARGETS = ("RoadFlashImage", "BoardApp")

DEFAULT_DISABLED = ("USB2_1p",)
DEFAULT_STICKS = ("USB2_1p", "A2", "B1")
MASS_STORAGE_CLASS = 8
BOOT_SCRIPT_MEM_WRITE = 2
BOOT_SCRIPT_WIDTH_UINT16 = 1
CAPABILITY_ARRAYS = ("Present", "GroupMember", "Disableable", "GroupLeader", "Reserved")
# A USB hub in QEMU has eight ports.
HUB_PORTS = 8
# What can be attached to a connector, and QEMU's device for it.
QEMU_DEVICES = {"stick": "usb-storage", "hub-id stick": "usb-storage", "keyboard": "usb-kbd", "hub": "usb-hub"}
BARS = ("32-bit", "64-bit", "absent")


class RoadError(ToolError):
    """A refusal: one line, exit status 2."""


def step(text):
    """Progress, on stderr: stdout holds the report or the JSON document alone."""
    print(text, file=sys.stderr, flush=True)


# --- the board


@dataclass(frozen=True)
class Connector:
    index: int
    label: str
    kind: str
    ports: tuple


class Board:
    """The board's description, as the build wrote it from the board file."""

    def __init__(self, description):
        self.xhci_path = description["xhci_path"]
        self.connectors = tuple(Connector(c["index"], c["label"], c["kind"], tuple(c["ports"]))
                                for c in description["connectors"])
        self.ports = {p["number"]: p for p in description["ports"]}
        self.capabilities = bytes.fromhex(description["capabilities"]["bytes"])
        self.capability_attributes = description["capabilities"]["attributes"]
        self.per_connector_mode = description["setup"]["per_connector_mode"]
        self.register_offsets = {"usb2": description["controller"]["usb2_port_disable_offset"],
                                 "usb3": description["controller"]["usb3_port_disable_offset"]}
        # Root ports of the on-board hubs, and which connector holds each.
        self.hub_roots = {p["hub_root_port"] for p in self.ports.values() if p["hub_root_port"]}

    def prefix(self, port):
        return self.ports.get(port, {}).get("prefix", "")

    def qemu_port(self, port):
        """QEMU's name of the port: a root port, or a port of the hub on one."""
        entry = self.ports.get(port)
        if entry is None or not entry["prefix"]:
            return None
        return f"{entry['hub_root_port']}.{entry['hub_port']}" if entry["hub_root_port"] else str(port)

    def find(self, name):
        if name.isdigit() and int(name) < len(self.connectors):
            return self.connectors[int(name)]
        for connector in self.connectors:
            if connector.label.lower() == name.lower():
                return connector
        labels = ", ".join(f'"{c.label}"' for c in self.connectors)
        raise RoadError(f"unknown connector {name!r}: use an index 0-{len(self.connectors) - 1} or one of {labels}")

    def place(self, text):
        """(connector, port) for CONNECTOR or CONNECTOR:PORT; a connector's
        device goes on its first port unless told otherwise."""
        name, _, port = text.rpartition(":") if ":" in text else (text, "", "")
        connector = self.find(name)
        if not port:
            return connector, connector.ports[0]
        if not port.isdigit() or int(port) not in connector.ports:
            raise RoadError(f'connector "{connector.label}" has ports {", ".join(map(str, connector.ports))}, '
                            f"not {port!r}")
        return connector, int(port)

    def hub_leader(self):
        """The connector that is the on-board hub itself: its first port is the
        root port other connectors' first ports sit behind."""
        for connector in self.connectors:
            if any(self.ports.get(c.ports[0], {}).get("hub_root_port") == connector.ports[0]
                   for c in self.connectors if c.ports):
                return connector
        return None


def load_board(build_dir):
    path = build_dir / BOARD_DESCRIPTION
    try:
        return Board(json.loads(path.read_text()))
    except FileNotFoundError:
        raise RoadError(f"no board description at {path}: build it (scripts/road.sh, or cmake --build "
                        f"{build_dir} --target BoardJson)") from None


# --- the road


@dataclass
class Road:
    mode: int
    disabled: list  # connectors
    attachments: list  # (kind, connector, port)
    reset_request: bool
    sleep: bool
    bar: str

    def disabled_by_setup(self, connector):
        return connector in self.disabled and self.mode == BOARD.per_connector_mode

    def enable_bytes(self):
        return "".join("0" if c in self.disabled else "1" for c in BOARD.connectors)


def placements(road):
    """(kind, QEMU port, connector) for every device, hubs first. A device on a
    port behind one of the board's hubs gets that hub plugged into its root
    port, which then takes no device of its own; a hub asked for on a
    connector takes the devices given for that connector."""
    leader = BOARD.hub_leader()
    on_board = sorted({str(BOARD.ports[port]["hub_root_port"]) for _, _, port in road.attachments
                       if BOARD.ports.get(port, {}).get("hub_root_port")}, key=int)
    asked = {connector: BOARD.qemu_port(port) for kind, connector, port in road.attachments if kind == "hub"}
    placed = [("hub", root, None) for root in on_board] + [("hub", where, c) for c, where in asked.items()]
    used = {}
    for kind, connector, port in road.attachments:
        if kind == "hub":
            continue
        if connector == leader and port == leader.ports[0]:
            members = ", ".join(c.label for c in BOARD.connectors
                                if c.ports and BOARD.ports.get(c.ports[0], {}).get("hub_root_port") == port)
            raise RoadError(f'"{leader.label}" is the on-board hub itself: attach devices to {members}')
        if connector in asked:
            hub = asked[connector]
            used[hub] = used.get(hub, 0) + 1
            if used[hub] > HUB_PORTS:
                raise RoadError(f'the hub on "{connector.label}" has {HUB_PORTS} ports: no more devices fit')
            placed.append((kind, f"{hub}.{used[hub]}", connector))
            continue
        where = BOARD.qemu_port(port)
        if where is None:
            raise RoadError(f'port {port} of "{connector.label}" leads nowhere a device can be plugged')
        if where in on_board:
            raise RoadError(f'root port {where} holds the hub of the connectors behind it: "{connector.label}" '
                            "cannot take a device there too")
        if where in used:
            raise RoadError(f'port {where} takes one device; add --hub "{connector.label}" to plug several')
        used[where] = 1
        placed.append((kind, where, connector))
    return placed


def qemu_arguments(road, work):
    """QEMU's memory, controller and attachments, with a FAT image for each
    stick, and the stand-in's configuration."""
    arguments = list(MEMORY if road.bar == "32-bit" else MEMORY_WITH_HIGH_DIMM) + ["-device", XHCI_DEVICE]
    stand_in = {"64-bit": ["bar64"], "absent": ["no-controller"]}.get(road.bar, [])
    for number, (kind, port, connector) in enumerate(placements(road)):
        device = QEMU_DEVICES[kind]
        if device == "usb-storage":
            image = work / f"stick{number}.img"
            make_stick(image, f"road {kind} on {connector.label}")
            arguments += ["-drive", f"if=none,id=stick{number},format=raw,file={image}"]
            device += f",drive=stick{number}"
        if kind == "hub-id stick":
            stand_in.append(f"hub-id={port}")
        arguments += ["-device", f"{device},bus=xhci.0,port={port}"]
    return arguments, " ".join(stand_in)


# --- boots


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
            sleep = road_facts(board_lines(self.serial_log.read_text(errors="replace")))["sleep"][0]
            monitor.execute("system_wakeup")
            deadline = time.monotonic() + WAKE_TIMEOUT_S
            while monitor.read_memory(int(sleep["wake_flag"], 16), "b") != 1:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"the firmware's resume did not reach the waking vector within "
                                       f"{WAKE_TIMEOUT_S} s")
                time.sleep(0.2)
            self.registers = {name: monitor.read_memory(int(sleep[f"{name}_address"], 16))
                              for name in ("usb2", "usb3")}
        except (OSError, RuntimeError, ValueError, KeyError, IndexError) as error:
            # A boot that ends without sleeping closes the monitor too.
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.error = f"S3 sleep: {error}"
                process.kill()
            return
        process.kill()


def boot_road(road, build_dir, work, devices, stand_in):
    """Boots until the application reports (and the machine has slept and
    woken), or until the boots run out; returns how each boot ended, the
    application's lines of the last one and the registers read after the
    resume."""
    fat, variables = boot_folder(work, build_dir / BOOT_APPLICATION)
    description = f"{road.mode} {road.enable_bytes()} {int(road.reset_request)} {int(road.sleep)}"
    fw_cfg = {"job": "road", "road": description, **({"stand-in": stand_in} if stand_in else {})}
    command = [*machine(build_dir / FLASH_IMAGE, variables, fat, work / "serial.log", fw_cfg),
               *monitor_arguments(work / "qmp.sock"), *devices]
    boots = []
    for number in range(1, MAX_BOOTS + 1):
        started = time.monotonic()
        sleeper = Sleeper(work / "qmp.sock", work / "serial.log") if road.sleep else None
        outcome = boot(command, work / "serial.log", BOOT_TIMEOUT_S, sleeper)
        if sleeper and sleeper.error:
            ended = sleeper.error
        elif sleeper and sleeper.registers is not None:
            ended = RESUMED
        else:
            ended = REPORTED if outcome.ended() == "passed" else outcome.ended()
        boots.append({"boot": number, "ended": ended, "seconds": round(time.monotonic() - started, 1)})
        step(f"boot {number}: {ended} ({boots[-1]['seconds']} s)")
        lines = outcome.lines()
        failures = [line.split(": ", 2)[-1] for line in lines if line.startswith("BOARD: CHECK FAILED")]
        if failures:
            raise RoadError(f"boot {number}: {failures[0]}")
        if ended == (RESUMED if road.sleep else REPORTED):
            return boots, lines, sleeper.registers if sleeper else None
        if ended != (STORED if number == 1 else DRIVER_RESET):
            raise RoadError(f"boot {number}: {ended}")
    return boots, None, None


# --- facts


def road_facts(lines):
    """The ROAD lines as {what: [fields, ...]}."""
    facts = {}
    for line in lines:
        if line.startswith("BOARD: ROAD "):
            what, *pairs = line[len("BOARD: ROAD "):].split(" ")
            facts.setdefault(what, []).append(dict(pair.split("=", 1) for pair in pairs))
    return facts


def judge(road, raw, boots, registers):
    """The report's facts and the problems found in them."""
    problems = []
    facts = {"road": {"mode": road.mode, "disabled": [c.label for c in road.disabled],
                      "attachments": [{"kind": k, "connector": c.label, "port": p} for k, c, p in road.attachments],
                      "reset_request": road.reset_request, "sleep": road.sleep, "bar": road.bar},
             "boots": boots}
    if raw is None:
        resets = sum(b["ended"] == DRIVER_RESET for b in boots)
        problems.append(f"the platform reset before the application in {resets} boots in a row: SaSetupResetDxe "
                        "resets at every start")
        facts["verdict"] = {"ok": False, "problems": problems, "warnings": []}
        return facts

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
    facts["dispatch"] = dispatch

    capabilities = (raw.get("capabilities") or [{}])[0]
    block = bytes.fromhex(capabilities.get("bytes", ""))
    judge_capabilities(capabilities, block, problems)
    facts["capabilities"] = {"status": capabilities.get("status"), "size": int(capabilities.get("size", 0)),
                             "attributes": capabilities.get("attributes")}
    facts["connectors"] = [
        {"index": c.index, "label": c.label, "kind": c.kind, "ports": list(c.ports),
         "setup": "disabled" if road.disabled_by_setup(c) else "enabled",
         "capabilities": {name.lower(): block[32 * row + c.index] if len(block) == len(BOARD.capabilities) else None
                          for row, name in enumerate(CAPABILITY_ARRAYS[:4])}}
        for c in BOARD.connectors]
    facts["devices"] = judge_devices(road, raw, problems)
    masks = port_masks(road)
    controller = road.bar != "absent"
    end_of_dxe = (raw.get("end_of_dxe") or [{}])[0]
    facts["end_of_dxe"] = {"signals": int(end_of_dxe.get("signals", 0)),
                           "after_ready_to_lock": end_of_dxe.get("ready_to_lock") == "1"}
    facts["boot_script"] = judge_boot_script(raw, masks, controller, problems)
    facts["ready_to_boot"] = judge_ready_to_boot(raw, masks, controller, problems)
    facts["after_s3_resume"] = judge_resume(raw, masks, controller, facts["boot_script"], registers, problems) \
        if road.sleep else None
    facts["sa_setup"] = judge_sa_setup(road, raw, boots, problems)
    facts["verdict"] = {"ok": not problems, "problems": problems, "warnings": warnings(facts)}
    return facts


def judge_capabilities(capabilities, block, problems):
    if capabilities.get("status") != "EFI_SUCCESS":
        problems.append(f"UsbConnectorCapabilities not published: {capabilities.get('status')}")
        return
    if int(capabilities.get("attributes", "0"), 16) != BOARD.capability_attributes:
        problems.append(f"UsbConnectorCapabilities has attributes {capabilities.get('attributes')}, not "
                        f"{BOARD.capability_attributes:#010x}")
    if len(block) != len(BOARD.capabilities):
        problems.append(f"UsbConnectorCapabilities is {len(block)} bytes, not {len(BOARD.capabilities)}")
        return
    for offset, (got, wanted) in enumerate(zip(block, BOARD.capabilities)):
        if got != wanted:
            array, index = CAPABILITY_ARRAYS[offset // 32], offset % 32
            label = f' "{BOARD.connectors[index].label}"' if index < len(BOARD.connectors) else ""
            problems.append(f"UsbConnectorCapabilities byte {offset} ({array}[{index}], connector {index}{label}) is "
                            f"{got}, the board says {wanted}")
            return


def judge_devices(road, raw, problems):
    """Each enumerated USB device, and whether it must be blocked: mass
    storage on a connector setup switched off, whatever id it claims."""
    board = (raw.get("board") or [{}])[0]
    if any(kind == "hub-id stick" for kind, _, _ in road.attachments) and board.get("hub_id_claimed") != "1":
        problems.append("the stand-in found no stick to claim the chipset hub's id")
    devices = []
    for device in raw.get("device", []):
        path = device["path"]
        matches = [c for c in BOARD.connectors
                   if any(BOARD.prefix(p) and path.upper().startswith(BOARD.prefix(p).upper()) for p in c.ports)]
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
    sticks = sum(1 for kind, _, _ in road.attachments if QEMU_DEVICES[kind] == "usb-storage")
    enumerated = sum(1 for d in devices if d["class"] == MASS_STORAGE_CLASS)
    if enumerated != sticks:
        problems.append(f"{sticks} sticks attached, {enumerated} enumerated")
    return devices


def port_masks(road):
    """The four port masks the setup asks for, as the board maps ports."""
    masks = {"usb2": 0, "usb3": 0, "hub_usb2": 0, "hub_usb3": 0}
    for c in BOARD.connectors:
        if road.disabled_by_setup(c) and BOARD.capabilities[64 + c.index]:
            for port in c.ports:
                disable = BOARD.ports.get(port, {}).get("disable")
                if disable:
                    masks[disable["mask"]] |= 1 << disable["bit"]
    return masks


def moment(entry):
    if entry["ready_to_boot"] != "0":
        return "ready-to-boot"
    return "End-of-DXE" if entry["end_of_dxe"] != "0" else "load"


def wanted_entries(masks, controller, window):
    """The boot script a setup needs: the two 16-bit writes of the root-port
    masks into the registers BAR0 names, when a root port is switched off."""
    if not controller or not (masks["usb2"] or masks["usb3"]):
        return []
    return [(BOOT_SCRIPT_MEM_WRITE, BOOT_SCRIPT_WIDTH_UINT16, window + BOARD.register_offsets[name], 1, masks[name])
            for name in ("usb2", "usb3")]


def judge_boot_script(raw, masks, controller, problems):
    """Every boot-script Write the drivers made; the ones the firmware
    accepted must be exactly the wanted entries, each once."""
    ready = (raw.get("ready_to_boot") or [{}])[0]
    script = [{"opcode": int(e["opcode"]), "width": int(e["width"]), "address": int(e["address"], 16),
               "count": int(e["count"]), "value": int(e["value"], 16), "status": e["status"], "when": moment(e)}
              for e in raw.get("boot_script", [])]
    wanted = wanted_entries(masks, controller, int(ready.get("window", "0"), 16))
    accepted = [(e["opcode"], e["width"], e["address"], e["count"], e["value"]) for e in script
                if e["status"] == "EFI_SUCCESS"]
    if ready.get("s3_wrapped") != "1":
        problems.append("the stand-in could not watch the S3 boot script")
    elif sorted(accepted) != sorted(wanted):
        def listed(entries):
            return ", ".join(f"{8 << width}-bit {value:#x} at {address:#x}" for _, width, address, _, value
                             in entries) or "none"
        problems.append(f"the boot script holds {listed(accepted)}; this setup needs {listed(wanted)}")
    return script


def judge_ready_to_boot(raw, masks, controller, problems):
    ready = (raw.get("ready_to_boot") or [{}])[0]
    alias = (raw.get("alias") or [None])[0]
    signals = int(ready.get("signals", 0))
    applies = raw.get("hub_apply", [])
    facts = {"signals": signals, "after_ready_to_lock": ready.get("ready_to_lock") == "1",
             "bar0": [ready.get("bar_low"), ready.get("bar_high")], "window": ready.get("window"),
             "usb2_register": ready.get("usb2"), "usb3_register": ready.get("usb3"),
             "untouched_value": ready.get("untouched"), "masks": masks,
             "low_dword_alias": alias,
             "hub_lookups": int(ready.get("hub_lookups", 0)),
             "hub_applies": [{k: a[k] for k in ("usb3_port", "pass_bit", "usb2_port")} for a in applies]}
    if signals == 0:
        problems.append("the firmware never signalled ready-to-boot")
        return facts
    disables = any(masks.values())
    writes = disables and controller
    want = (f"0x{masks['usb2']:08x}", f"0x{masks['usb3']:08x}") if writes else (ready.get("untouched"),) * 2
    if (ready.get("usb2"), ready.get("usb3")) != want:
        where = "" if controller else " behind a BAR0 that reads all-ones"
        problems.append(f"port-disable registers{where} {ready.get('usb2')} / {ready.get('usb3')}, wanted "
                        f"{want[0]} / {want[1]}")
    if alias is not None and (alias["usb2"], alias["usb3"]) != (ready.get("untouched"),) * 2:
        problems.append(f"the registers at BAR0's low dword alone ({alias['window']}) were written: "
                        f"{alias['usb2']} / {alias['usb3']}")
    if facts["hub_lookups"] != (signals if disables else 0):
        problems.append(f"hub protocol looked up {facts['hub_lookups']} times for {signals} signals")
    if applies and not (masks["hub_usb2"] or masks["hub_usb3"]):
        problems.append(f"{len(applies)} hub Apply calls with no hub port disabled")
    return facts


def root_ports(register, bits):
    """The root ports behind the register's bits, with the connectors naming them."""
    named = []
    for port, entry in sorted(BOARD.ports.items()):
        disable = entry["disable"]
        if disable and disable["mask"] == register and bits & (1 << disable["bit"]):
            labels = [c.label for c in BOARD.connectors if port in c.ports]
            named.append(f"root port {port}" + (f" ({', '.join(labels)})" if labels else ""))
    return named


def judge_resume(raw, masks, controller, boot_script, registers, problems):
    """Each register after the resume: what the boot script put back, or the
    state the controller was left in before sleeping."""
    sleep = (raw.get("sleep") or [{}])[0]
    lost = int(sleep.get("lost_state", "0"), 16)
    recorded = bool(wanted_entries(masks, controller, 0))
    facts = {"lost_state": f"{lost:#010x}", "registers": {}}
    for name in ("usb2", "usb3"):
        address = int(sleep.get(f"{name}_address", "0"), 16)
        value = registers[name]
        replayed = [e["value"] for e in boot_script if e["status"] == "EFI_SUCCESS" and e["address"] == address]
        # A 16-bit entry rewrites the low half alone.
        from_script = bool(replayed) and value == (lost & 0xFFFF0000) | replayed[-1]
        on_again = root_ports(name, masks[name] & ~value) if controller else []
        facts["registers"][name] = {"address": f"{address:#x}", "value": f"{value:#010x}",
                                    "from_boot_script": from_script, "ports_on_again": on_again}
        wanted = (lost & 0xFFFF0000) | masks[name] if recorded else lost
        if on_again:
            problems.append(f"after S3 resume {', '.join(on_again)} {'is' if len(on_again) == 1 else 'are'} on again")
        elif value != wanted:
            problems.append(f"after S3 resume the {name.upper()} register is {value:#010x}, wanted {wanted:#010x}")
    return facts


def judge_sa_setup(road, raw, boots, problems):
    """SaSetup is stored on every road; only a set request byte may reset the
    platform, once, and be written back."""
    state = (raw.get("sa_setup") or [{}])[0]
    driver_resets = sum(1 for b in boots if b["ended"] == DRIVER_RESET)
    facts = {"status": state.get("status"), "size": int(state.get("size", 0)),
             "stored_size": int(state.get("stored_size", 0)), "attributes": state.get("attributes"),
             "request_byte": int(state.get("request", -1)), "first_changed_byte": state.get("first_change"),
             "writes_by_drivers": int(state.get("writes", 0)), "driver_resets": driver_resets}
    wanted = 1 if road.reset_request else 0
    if driver_resets != wanted:
        problems.append(f"{driver_resets} resets by SaSetupResetDxe, wanted {wanted}")
    if facts["writes_by_drivers"] != wanted:
        problems.append(f"SaSetup written {facts['writes_by_drivers']} times by the drivers, wanted {wanted}")
    if facts["status"] != "EFI_SUCCESS" or facts["request_byte"] != 0 or facts["first_changed_byte"] != "none" \
            or facts["size"] != facts["stored_size"] or facts["attributes"] != "0x00000007":
        problems.append(f"SaSetup afterwards: {facts['status']}, {facts['size']} bytes, attributes "
                        f"{facts['attributes']}, request byte {facts['request_byte']}, first other byte changed: "
                        f"{facts['first_changed_byte']}")
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
               f"{disabled if road['mode'] == BOARD.per_connector_mode else 'none (only mode 7 disables)'}; "
               f"SaSetup reset request: {yes(road['reset_request'])}; BAR0 {road['bar']}")
    out.append("  attached: " + (", ".join(f"{a['kind']} on {a['connector']} (port {a['port']})"
                                           for a in road["attachments"]) or "nothing"))
    out.append("")
    if "dispatch" not in facts:
        return "\n".join(out + verdict_lines(facts))
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
                   f"{c['setup']:9} {p['present']!s:>7} {p['groupmember']!s:>6} {p['disableable']!s:>11} "
                   f"{p['groupleader']!s:>6}")
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
    if ready["low_dword_alias"]:
        alias = ready["low_dword_alias"]
        out.append(f"  at BAR0's low dword alone ({alias['window']}): {alias['usb2']} / {alias['usb3']}")
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
                "as left before sleeping" if register["value"] == resume["lost_state"] else
                "changed, not by the boot script")
            on_again = f"; {', '.join(register['ports_on_again'])} on again" if register["ports_on_again"] else ""
            out.append(f"  {name.upper()} port-disable register {register['value']}: {origin}{on_again}")
    s = facts["sa_setup"]
    out.append("")
    out.append(f"SaSetupResetDxe: cold reset {times(s['driver_resets'])}; SaSetup written "
               f"{times(s['writes_by_drivers'])}, now {s['size']} bytes (stored {s['stored_size']}), attributes "
               f"{s['attributes']}, request byte {s['request_byte']}, other bytes "
               f"{'kept' if s['first_changed_byte'] == 'none' else 'changed from byte ' + s['first_changed_byte']}")
    out.append("")
    return "\n".join(out + verdict_lines(facts))


def verdict_lines(facts):
    verdict = facts["verdict"]
    lines = [f"Warning: {warning}" for warning in verdict["warnings"]]
    if not verdict["ok"]:
        return lines + [f"Verdict: FAIL, {len(verdict['problems'])} problem(s): " + "; ".join(verdict["problems"])]
    ready = facts["ready_to_boot"]
    blocked = sum(d["must_be_blocked"] for d in facts["devices"])
    resumed = "" if facts["after_s3_resume"] is None else "; the same after an S3 resume"
    return lines + [f"Verdict: PASS, the board behaved as this setup requires: {blocked} of {len(facts['devices'])} "
                    f"USB devices blocked, the others usable; port-disable registers {ready['usb2_register']} / "
                    f"{ready['usb3_register']}{resumed}"]


# --- command line


class OneLineParser(argparse.ArgumentParser):
    def error(self, message):
        raise RoadError(message)


def parser():
    result = OneLineParser(
        prog="road.py", description=__doc__.split("\n\n")[0], formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="CONNECTOR is a connector of the board (usb-connector-policy/Board.h), by index or label\n"
        "(case does not matter), optionally with one of its ports (A1:13). Devices on a port behind\n"
        "one of the board's hubs (B1, B2, USB-A, USB-C) get a hub plugged in for them. Without any\n"
        f"--stick, --keyboard, --hub or --hub-id-stick, sticks go into {', '.join(DEFAULT_STICKS)}.\n"
        "Exit status: 0 when the board behaved as the setup requires, 1 when not, 2 when nothing could\n"
        "be run.")
    result.add_argument("--mode", type=int, default=7,
                        help="Setup's UsbConnectorControlMode (default 7: each connector by its enable byte; "
                             "any other value disables nothing)")
    result.add_argument("--disable", action="append", metavar="CONNECTOR",
                        help='switch a connector off in Setup; repeat for several, or "none" or "all" '
                             f"(default: {', '.join(DEFAULT_DISABLED)})")
    result.add_argument("--stick", action="append", default=[], metavar="CONNECTOR",
                        help="plug a USB memory stick into the connector (repeatable)")
    result.add_argument("--hub-id-stick", action="append", default=[], metavar="CONNECTOR",
                        help="plug a USB memory stick that claims the chipset hub's id 8087:0024 (once)")
    result.add_argument("--keyboard", action="append", default=[], metavar="CONNECTOR",
                        help="plug a USB keyboard into the connector (repeatable)")
    result.add_argument("--hub", action="append", default=[], metavar="CONNECTOR",
                        help="plug a USB hub into the connector; devices given for that connector go behind it")
    result.add_argument("--bar", choices=BARS, default="32-bit",
                        help="the xHCI controller's BAR0: a 32-bit window (default), a 64-bit one above 4 GiB, or "
                             "absent (the function reads all-ones)")
    result.add_argument("--reset-road", action="store_true",
                        help="set SaSetup's reset request byte: SaSetupResetDxe must clear it and cold-reset "
                             "exactly once (without it the byte is 0 and nothing may happen)")
    result.add_argument("--no-sleep", action="store_true",
                        help="leave out the S3 sleep after the report's facts are gathered")
    result.add_argument("--json", action="store_true", help="print the facts as one JSON document, not the report")
    result.add_argument("--check", action="store_true", help="only check the options, then exit")
    result.add_argument("--build", action="store_true",
                        help="configure and build what the road needs into the build folder first")
    result.add_argument("--build-dir", type=Path, default=Path(os.environ.get("BUILD_DIR", REPO / "build")),
                        help="the build folder (default build/, or $BUILD_DIR)")
    return result


def resolve(args):
    """The road the options describe, checked against the board."""
    if not 0 <= args.mode <= 255:
        raise RoadError(f"--mode {args.mode} is not a byte")
    disable = args.disable if args.disable is not None else list(DEFAULT_DISABLED)
    words = [name for name in disable if name.lower() in ("none", "all")]
    if words and len(disable) > 1:
        raise RoadError(f'--disable {words[0]} stands alone: it cannot be combined with other connectors')
    if words:
        disabled = list(BOARD.connectors) if words[0].lower() == "all" else []
    else:
        disabled = [BOARD.find(name) for name in disable]
    if len(args.hub_id_stick) > 1:
        raise RoadError("--hub-id-stick: the stand-in makes one stick claim the hub's id")
    attachments = [(kind, *BOARD.place(name)) for kind, names in
                   (("hub", args.hub), ("stick", args.stick), ("keyboard", args.keyboard),
                    ("hub-id stick", args.hub_id_stick)) for name in names]
    if not attachments:
        attachments = [("stick", *BOARD.place(name)) for name in DEFAULT_STICKS]
    road = Road(args.mode, disabled, attachments, args.reset_road, not args.no_sleep, args.bar)
    placements(road)
    return road


def build(build_dir, targets):
    """Configures (once) and builds the targets; the build's own output
    shows only when it fails."""
    started = time.monotonic()
    for command in ([["cmake", "-S", str(REPO), "-B", str(build_dir)]] if not (build_dir / "CMakeCache.txt").exists()
                    else []) + [["cmake", "--build", str(build_dir), "-j", str(os.cpu_count() or 1), "--target",
                                 *targets]]:
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode:
            print((result.stdout + result.stderr).rstrip()[-3000:], file=sys.stderr)
            raise RoadError(f"build of {', '.join(targets)} failed")
    shown = os.path.relpath(build_dir)
    step(f"build: {', '.join(targets)} in {build_dir if shown.startswith('..') else shown} "
         f"({time.monotonic() - started:.0f} s)")


BOARD = None


def main(argv=None):
    global BOARD
    args = parser().parse_args(argv)
    build_dir = args.build_dir.resolve()
    if not args.check:
        # Before anything is built: sticks are the default attachment.
        sticks = args.stick or args.hub_id_stick or not (args.keyboard or args.hub)
        require([QEMU] + (["mformat", "mcopy"] if sticks else []) + (["cmake"] if args.build else []),
                [OVMF_CODE, OVMF_VARS])
    if args.build:
        build(build_dir, ["BoardJson"])
    BOARD = load_board(build_dir)
    road = resolve(args)
    if args.check:
        return 0
    if args.build:
        build(build_dir, BUILD_TARGETS)
    missing = [name for name in (FLASH_IMAGE, BOOT_APPLICATION) if not (build_dir / name).exists()]
    if missing:
        raise RoadError(f"{', '.join(missing)} not built in {build_dir} (scripts/road.sh builds them, or cmake "
                        f"--build {build_dir} --target {' '.join(BUILD_TARGETS)})")
    with tempfile.TemporaryDirectory(prefix="road-") as directory:
        work = Path(directory)
        devices, stand_in = qemu_arguments(road, work)
        boots, lines, registers = boot_road(road, build_dir, work, devices, stand_in)
    facts = judge(road, road_facts(lines) if lines is not None else None, boots, registers)
    print(json.dumps(facts, indent=2) if args.json else report(facts))
    return 0 if facts["verdict"]["ok"] else 1


if __name__ == "__main__":
    run_tool("road", main)
