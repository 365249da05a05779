"""The road's judge: what a setup requires of the board, from the board's facts
and the rules stated here on their own, compared with what the machine did.

It never runs the drivers' code nor reads what they derive: a device is judged
by where the road plugged it, a port by the board's port ranges, the published
block by the connector rows' flags. Each rule below is stated once and judged
both ways: what the setup requires must happen, and what it does not require
must not."""

from road_boot import DRIVER_RESET
from road_machine import KINDS

# --- the rules

# The interface class of USB mass storage, which a switched-off connector
# must not let through.
MASS_STORAGE_CLASS = 8

# A connector row's flags: grouped, its group's leader, may be switched off
# (grouped rows only), and the group number in the top three bits.
FLAG_GROUPED = 0x01
FLAG_LEADER = 0x02
FLAG_DISABLE_ALLOWED = 0x04
GROUP_SHIFT = 5
# The published block: five arrays of 32 bytes, one byte per connector.
CAPABILITY_ARRAYS = ("Present", "GroupMember", "Disableable", "GroupLeader", "Reserved")
CAPABILITY_ARRAY_SIZE = 32

# The hub protocol is called once per hub port with a bit in either mask.
HUB_PORTS_SWITCHED = 4
BOOT_SCRIPT_MEM_WRITE = 2
BOOT_SCRIPT_WIDTH_UINT16 = 1
# The root ports' registers; each holds one bit per port of its range.
REGISTERS = ("usb2", "usb3")
HUB_MASKS = ("hub_usb2", "hub_usb3")
BAR_ALL_ONES = 0xFFFFFFFF
# ResetSystem's reset types, in their numbering; a setup request asks for the
# first.
RESET_TYPES = ("EfiResetCold", "EfiResetWarm", "EfiResetShutdown", "EfiResetPlatformSpecific")
RESET_COLD = 0


def device_path(board, qemu_port):
    """The device path text the firmware gives a USB device at QEMU's port:
    the controller's PCI node, then one USB node per hop (port counted from
    0, interface 0), hex digits in upper case."""
    controller = board.controller
    nodes = "/".join(f"USB(0x{int(hop) - 1:X},0x0)" for hop in qemu_port.split("."))
    return f"PciRoot(0x{controller['bus']:X})/Pci(0x{controller['device']:X},0x{controller['function']:X})/{nodes}"


def leads_to(board, connector, qemu_port):
    """Whether one of the connector's ports leads to the device: the device is
    at that port or behind a hub on it."""
    hops = tuple(int(hop) for hop in qemu_port.split("."))
    return any(board.location(port) and hops[:len(board.location(port))] == board.location(port)
               for port in connector.ports)


def switched_off(board, road, connector):
    """Setup switches a connector off in per-connector mode with its enable
    byte 0; every other mode switches nothing off."""
    return road.mode == board.setup["per_connector_mode"] and connector in road.disabled


def capability_block(board):
    """The published block from the rows' flags alone. A grouped row's leader
    is the last leader of its group seen so far (0 before any)."""
    block = bytearray(CAPABILITY_ARRAY_SIZE * len(CAPABILITY_ARRAYS))
    leader_of_group = {}
    for c in board.connectors:
        present, member, disableable, leader = int(bool(c.flags & FLAG_GROUPED or c.ports)), 0, 1, 0
        if c.flags & FLAG_GROUPED:
            group = c.flags >> GROUP_SHIFT
            if c.flags & FLAG_LEADER:
                leader_of_group[group] = c.index
            else:
                member = 1
            disableable = int(bool(c.flags & FLAG_DISABLE_ALLOWED))
            leader = leader_of_group.get(group, 0)
        for array, value in enumerate((present, member, disableable, leader)):
            block[CAPABILITY_ARRAY_SIZE * array + c.index] = value
    return bytes(block)


def switch_of(board, port):
    """The mask whose bit switches the port off; None for a port without a
    hardware switch."""
    port_range = board.port_range(port)
    return port_range.mask if port_range else None


def port_masks(board, road):
    """The four masks: each port of a switched-off connector that may be
    switched off sets the bit of its place in its range, in its range's mask."""
    block = capability_block(board)
    masks = {name: 0 for name in REGISTERS + HUB_MASKS}
    for c in board.connectors:
        if switched_off(board, road, c) and block[CAPABILITY_ARRAY_SIZE * 2 + c.index]:
            for port in c.ports:
                port_range = board.port_range(port)
                if port_range and port_range.mask:
                    masks[port_range.mask] |= 1 << (port - port_range.first_port)
    return masks


def mmio_window(bar_low, bar_high):
    """The controller's register window from BAR0's dwords; None when BAR0
    names none: an absent function (all-ones), an I/O BAR, base 0."""
    if bar_low == BAR_ALL_ONES or bar_low & 0x1:
        return None
    base = bar_low | (bar_high << 32 if bar_low & 0x6 == 0x4 else 0)
    return (base & ~0xF) or None


def hub_applies(masks, signals, start):
    """The hub protocol's Apply calls the ready-to-boot signals need, each as
    (signal, USB3-side port or 0, pass bit, USB2-side port or 0, then the
    protocol's Usb2Port and Usb3Port members at the call). A pass sets the
    member of each side that has its bit; the other keeps what it held, from
    an earlier pass or signal, or start before any."""
    calls = []
    members = {"usb2": start, "usb3": start}
    for signal in range(1, signals + 1):
        for port in range(1, HUB_PORTS_SWITCHED + 1):
            bit = 1 << (port - 1)
            usb2 = port if masks["hub_usb2"] & bit else 0
            usb3 = port if masks["hub_usb3"] & bit else 0
            members["usb2"] = usb2 or members["usb2"]
            members["usb3"] = usb3 or members["usb3"]
            if usb2 or usb3:
                calls.append((signal, usb3, bit, usb2, members["usb2"], members["usb3"]))
    return calls


def boot_script_needed(board, masks, window):
    """One 16-bit write of each root-port mask into its register, when a root
    port is switched off and the controller has a window."""
    if window is None or not (masks["usb2"] or masks["usb3"]):
        return []
    return [(BOOT_SCRIPT_MEM_WRITE, BOOT_SCRIPT_WIDTH_UINT16, window + board.controller[f"{name}_port_disable_offset"],
             1, masks[name]) for name in REGISTERS]


# --- the judgement


def judge(road, board, placed, raw, boots, registers):
    """The report's facts and the problems found in them."""
    problems = []
    facts = {"road": {"board": board.name, "mode": road.mode, "disabled": [c.label for c in road.disabled],
                      "attachments": [{"kind": a.kind, "connector": a.connector.label, "port": a.port,
                                       "qemu_port": a.qemu_port} for a in placed if a.connector],
                      "reset_request": road.reset_request, "sleep": road.sleep, "bar": road.bar},
             "boots": boots}
    if raw is None:
        resets = sum(b["ended"] == DRIVER_RESET for b in boots)
        problems.append(f"the platform reset before the application in {resets} boots in a row: SaSetupResetDxe "
                        "resets at every start")
        facts["verdict"] = {"ok": False, "problems": problems, "warnings": []}
        return facts

    facts["dispatch"] = judge_dispatch(raw, problems)
    judge_setup(road, board, raw["setup"][0], problems)
    capabilities = raw["capabilities"][0]
    block = bytes.fromhex(capabilities["bytes"])
    judge_capabilities(board, capabilities, block, problems)
    facts["capabilities"] = {"status": capabilities["status"], "size": capabilities["size"],
                             "attributes": capabilities["attributes"]}
    facts["connectors"] = [
        {"index": c.index, "label": c.label, "kind": c.kind, "ports": list(c.ports),
         "ports_without_switch": [p for p in c.ports if not switch_of(board, p)],
         "setup": "disabled" if switched_off(board, road, c) else "enabled",
         "capabilities": {name.lower(): block[CAPABILITY_ARRAY_SIZE * row + c.index]
                          if len(block) == board.capabilities["size"] else None
                          for row, name in enumerate(CAPABILITY_ARRAYS[:4])}}
        for c in board.connectors]
    facts["devices"] = judge_devices(road, board, placed, raw, problems)
    facts["boot"] = judge_boot(facts["devices"], raw["loader"], problems)
    masks = port_masks(board, road)
    ready = raw["ready_to_boot"][0]
    window = mmio_window(ready["bar_low"], ready["bar_high"])
    end_of_dxe = raw["end_of_dxe"][0]
    facts["end_of_dxe"] = {"signals": end_of_dxe["signals"], "after_ready_to_lock": end_of_dxe["ready_to_lock"]}
    facts["boot_script"] = judge_boot_script(board, raw, masks, window, problems)
    facts["ready_to_boot"] = judge_ready_to_boot(raw, masks, window, problems)
    facts["ready_to_boot"]["hub_applies"] = judge_hub_applies(raw, masks, problems)
    facts["after_s3_resume"] = judge_resume(board, raw, masks, window, facts["boot_script"], registers,
                                            problems) if road.sleep else None
    facts["sa_setup"] = judge_sa_setup(road, board, raw, boots, problems)
    facts["verdict"] = {"ok": not problems, "problems": problems, "warnings": warnings(facts)}
    return facts


def judge_dispatch(raw, problems):
    entries = {e["driver"]: e for e in raw["entry"]}
    dispatch = {}
    for driver in ("UsbConnectorPolicyDxe", "SaSetupResetDxe"):
        entry = entries.get(driver, {"order": 0})
        dispatch[driver] = {"entered": entry["order"] != 0, "order": entry["order"],
                            "ready_to_lock_before": entry.get("ready_to_lock", False),
                            "s3_save_state": entry.get("s3_save_state", False),
                            "device_path_to_text": entry.get("device_path_to_text", False)}
        if not dispatch[driver]["entered"]:
            problems.append(f"{driver} was not started by the DXE dispatcher")
    return dispatch


def judge_setup(road, board, setup, problems):
    """The road's own step: Setup as stored must be what the road asked for."""
    enable = "".join("0" if c in road.disabled else "1" for c in board.connectors)
    if (setup["status"], setup["mode"], setup["enable"]) != ("EFI_SUCCESS", road.mode, enable):
        problems.append(f"Setup as stored: {setup['status']}, mode {setup['mode']}, enable bytes "
                        f"{setup['enable'] or 'none'}; the road asked for mode {road.mode}, enable bytes {enable}")


def judge_capabilities(board, capabilities, block, problems):
    if capabilities["status"] != "EFI_SUCCESS":
        problems.append(f"UsbConnectorCapabilities not published: {capabilities['status']}")
        return
    if capabilities["attributes"] != board.capabilities["attributes"]:
        problems.append(f"UsbConnectorCapabilities has attributes {capabilities['attributes']:#010x}, not "
                        f"{board.capabilities['attributes']:#010x}")
    wanted = capability_block(board)
    if capabilities["size"] != len(wanted):
        problems.append(f"UsbConnectorCapabilities is {capabilities['size']} bytes, not {len(wanted)}")
        return
    wrong = []
    for offset, (got, want) in enumerate(zip(block, wanted)):
        if got != want:
            array, index = CAPABILITY_ARRAYS[offset // CAPABILITY_ARRAY_SIZE], offset % CAPABILITY_ARRAY_SIZE
            label = f' "{board.connectors[index].label}"' if index < len(board.connectors) else ""
            wrong.append(f"byte {offset} ({array}[{index}], connector {index}{label}) is {got}, the row's flags "
                         f"say {want}")
    if wrong:
        more = f" and {len(wrong) - 3} more" if len(wrong) > 3 else ""
        problems.append(f"UsbConnectorCapabilities {'; '.join(wrong[:3])}{more}")


def judge_devices(road, board, placed, raw, problems):
    """Each device by where the road plugged it: it must appear at the path
    the firmware gives that port, and lose USB I/O exactly when it is mass
    storage and a switched-off connector's port leads to it, whatever id it
    claims."""
    planned = {device_path(board, a.qemu_port): a for a in placed}
    seen = {}
    for device in raw["device"]:
        if not device["present"]:
            problems.append(f"a USB device of class {device['class']} that the firmware installed is gone by the "
                            "report")
            continue
        if device["path"] not in planned:
            problems.append(f"a device of class {device['class']} appeared at {device['path']}, where the road "
                            "plugged nothing")
            continue
        seen[device["path"]] = device
    devices = []
    for path, a in planned.items():
        where = f"{a.kind} on {a.connector.label} (QEMU port {a.qemu_port})" if a.connector else \
            f"hub the road put on QEMU port {a.qemu_port}"
        device = seen.get(path)
        if device is None:
            problems.append(f"the {where} did not appear at {path}")
            continue
        leading = [c for c in board.connectors if leads_to(board, c, a.qemu_port)]
        off = [c.label for c in leading if switched_off(board, road, c)]
        presents = KINDS[a.kind].interface_class
        must_block = presents == MASS_STORAGE_CLASS and bool(off)
        usable = device["usb_io"] or device["block_io"] or device["file_systems"]
        devices.append({"kind": a.kind, "connector": a.connector.label if a.connector else None,
                        "qemu_port": a.qemu_port, "path": path, "class": device["class"],
                        "vendor": device["vendor"], "product": device["product"],
                        "leads_here": [c.label for c in leading], "switched_off": off,
                        "usb_io": device["usb_io"], "block_io": device["block_io"],
                        "file_systems": device["file_systems"], "must_be_blocked": must_block})
        if device["class"] != presents:
            problems.append(f"the {where} presents class {device['class']}, not {presents}")
        if a.kind == "hub-id stick" and (device["vendor"], device["product"]) != board.chipset_hub_id:
            problems.append(f"the {where} does not claim the chipset hub's id")
        if must_block and usable:
            problems.append(f"the {where} is still usable (USB I/O {int(device['usb_io'])}, "
                            f"{device['file_systems']} file system(s)) though {', '.join(off)} is switched off")
        if not must_block and not device["usb_io"]:
            problems.append(f"the {where} lost its USB I/O though no switched-off connector leads to it")
        if not must_block and presents == MASS_STORAGE_CLASS and not device["file_systems"]:
            problems.append(f"the {where} got no file system")
    return devices


def judge_boot(devices, loaders, problems):
    """A boot stick's loader must run when its stick is usable and never when
    a switched-off connector leads to it."""
    booted = [line["path"] for line in loaders]
    facts = {"booted": booted, "boot_sticks": []}
    for device in devices:
        if device["kind"] != "boot stick":
            continue
        ran = any(path == device["path"] or path.startswith(device["path"] + "/") for path in booted)
        facts["boot_sticks"].append({"connector": device["connector"], "path": device["path"], "booted": ran,
                                     "must_be_blocked": device["must_be_blocked"]})
        if ran and device["must_be_blocked"]:
            problems.append(f"the firmware booted the boot stick on {device['connector']} ({device['path']}) "
                            f"though {', '.join(device['switched_off'])} is switched off")
        if not ran and not device["must_be_blocked"]:
            problems.append(f"the firmware did not boot the boot stick on {device['connector']} ({device['path']})")
    sticks = [d["path"] for d in devices if d["kind"] == "boot stick"]
    for path in booted:
        if not any(path == s or path.startswith(s + "/") for s in sticks):
            problems.append(f"the firmware booted a loader from {path}, where no boot stick was plugged")
    return facts


def judge_boot_script(board, raw, masks, window, problems):
    """Every boot-script Write the drivers made: the entries the firmware
    accepted must be exactly those the setup needs, and none recorded again
    once accepted."""
    script = [{"opcode": e["opcode"], "width": e["width"], "address": e["address"], "count": e["count"],
               "value": e["value"], "status": e["status"],
               "when": "ready-to-boot" if e["ready_to_boot"] else "End-of-DXE" if e["end_of_dxe"] else "load"}
              for e in raw["boot_script"]]
    if not raw["ready_to_boot"][0]["s3_wrapped"]:
        problems.append("the stand-in could not watch the S3 boot script")
        return script
    needed = boot_script_needed(board, masks, window)
    if not needed and script:
        why = "BAR0 names no register window" if window is None else "no root port is switched off"
        problems.append(f"{len(script)} boot-script Write(s) though {why}")
        return script
    accepted = []
    for entry in script:
        key = (entry["opcode"], entry["width"], entry["address"], entry["count"], entry["value"])
        if any(a[2] == entry["address"] for a in accepted):
            problems.append(f"the boot-script entry for {entry['address']:#x} was recorded twice: again at "
                            f"{entry['when']} ({entry['status']})")
        elif entry["status"] == "EFI_SUCCESS":
            accepted.append(key)
    if sorted(accepted) != sorted(needed):
        def listed(entries):
            return ", ".join(f"{8 << width}-bit {value:#x} at {address:#x}" for _, width, address, _, value
                             in entries) or "none"
        problems.append(f"the boot script holds {listed(accepted)}; this setup needs {listed(needed)}")
    return script


def judge_ready_to_boot(raw, masks, window, problems):
    ready = raw["ready_to_boot"][0]
    alias = raw["alias"][0] if raw["alias"] else None
    signals = ready["signals"]
    facts = {"signals": signals, "after_ready_to_lock": ready["ready_to_lock"],
             "bar0": [ready["bar_low"], ready["bar_high"]], "window": window,
             "usb2_register": ready["usb2"], "usb3_register": ready["usb3"], "untouched_value": ready["untouched"],
             "masks": masks, "low_dword_alias": alias,
             "hub_lookups": ready["hub_lookups"]}
    if signals == 0:
        problems.append("the firmware never signalled ready-to-boot")
        return facts
    if not raw["board"][0]["watched"]:
        problems.append(f"the stand-in could not watch the port-disable registers at {ready['window']:#x}")
    if window is not None and window != ready["window"]:
        problems.append(f"BAR0 names the window {window:#x}, the stand-in's registers are at {ready['window']:#x}")
    disables = any(masks.values())
    want = (masks["usb2"], masks["usb3"]) if disables and window is not None else (ready["untouched"],) * 2
    if (ready["usb2"], ready["usb3"]) != want:
        where = "" if window is not None else " behind a BAR0 that names no window"
        problems.append(f"port-disable registers{where} {ready['usb2']:#010x} / {ready['usb3']:#010x}, wanted "
                        f"{want[0]:#010x} / {want[1]:#010x}")
    if alias is not None and (alias["usb2"], alias["usb3"]) != (ready["untouched"],) * 2:
        problems.append(f"the registers at BAR0's low dword alone ({alias['window']:#x}) were written: "
                        f"{alias['usb2']:#010x} / {alias['usb3']:#010x}")
    if ready["hub_lookups"] != (signals if disables else 0):
        problems.append(f"hub protocol looked up {ready['hub_lookups']} times for {signals} signals")
    return facts


def judge_hub_applies(raw, masks, problems):
    """Every Apply call with its arguments and the protocol's port members at
    the call, exactly as the hub masks require, signal by signal."""
    signals = raw["ready_to_boot"][0]["signals"]
    seen = [(a["ready_to_boot"], a["usb3_port"], a["pass_bit"], a["usb2_port"], a["usb2_member"], a["usb3_member"])
            for a in raw["hub_apply"]]
    wanted = hub_applies(masks, signals, raw["board"][0]["hub_members_start"])
    if seen != wanted:
        def described(calls, at):
            if at >= len(calls):
                return "no call"
            signal, u3, bit, u2, m2, m3 = calls[at]
            return f"Apply(usb3 {u3}, pass {bit:#x}, usb2 {u2}) with Usb2Port {m2}, Usb3Port {m3} at signal {signal}"
        at = next(i for i in range(max(len(seen), len(wanted))) if described(seen, i) != described(wanted, i))
        problems.append(f"hub protocol call {at + 1} is {described(seen, at)}; this setup needs "
                        f"{described(wanted, at)} ({len(seen)} calls made, {len(wanted)} needed)")
    return [{"signal": signal, "usb3_port": u3, "pass_bit": bit, "usb2_port": u2, "usb2_member": m2,
             "usb3_member": m3} for signal, u3, bit, u2, m2, m3 in seen]


def root_ports_named(board, register, bits):
    """The root ports behind the register's bits, with the connectors naming them."""
    named = []
    for port_range in board.ranges:
        if port_range.mask != register:
            continue
        for place in range(port_range.count):
            if bits & (1 << place):
                port = port_range.first_port + place
                labels = [c.label for c in board.connectors if port in c.ports]
                named.append(f"root port {port}" + (f" ({', '.join(labels)})" if labels else ""))
    return named


def judge_resume(board, raw, masks, window, boot_script, registers, problems):
    """Each register after the resume: the boot script must have put back
    each switched-off root port's bit, and touched nothing when none is."""
    sleep = raw["sleep"][0]
    lost = sleep["lost_state"]
    recorded = bool(boot_script_needed(board, masks, window))
    facts = {"lost_state": lost, "registers": {}}
    for name in REGISTERS:
        address = sleep[f"{name}_address"]
        value = registers[name]
        replayed = [e["value"] for e in boot_script if e["status"] == "EFI_SUCCESS" and e["address"] == address]
        # A 16-bit entry rewrites the low half alone.
        from_script = bool(replayed) and value == (lost & 0xFFFF0000) | replayed[-1]
        on_again = root_ports_named(board, name, masks[name] & ~value) if window is not None else []
        facts["registers"][name] = {"address": address, "value": value,
                                    "from_boot_script": from_script, "ports_on_again": on_again}
        wanted = (lost & 0xFFFF0000) | masks[name] if recorded else lost
        if on_again:
            problems.append(f"after S3 resume {', '.join(on_again)} {'is' if len(on_again) == 1 else 'are'} on again")
        elif value != wanted:
            problems.append(f"after S3 resume the {name.upper()} register is {value:#010x}, wanted {wanted:#010x}")
    return facts


def judge_sa_setup(road, board, raw, boots, problems):
    """SaSetup is stored on every road; only a nonzero request byte may reset
    the platform, once and cold, and be written back with every other byte,
    the size and the attributes kept."""
    state = raw["sa_setup"][0]
    driver_resets = sum(1 for b in boots if b["ended"] == DRIVER_RESET)
    resets = [(r["type"], r["status"]) for r in raw["reset"]]
    facts = {"status": state["status"], "size": state["size"], "stored_size": state["stored_size"],
             "attributes": state["attributes"], "request_byte": state["request"],
             "first_changed_byte": state["first_change"], "writes_by_drivers": state["writes"],
             "driver_resets": driver_resets,
             "resets": [{"type": reset_type_name(t), "status": status} for t, status in resets]}
    wanted = 1 if road.reset_request else 0
    if driver_resets != wanted:
        problems.append(f"{driver_resets} resets by SaSetupResetDxe, wanted {wanted}")
    if len(resets) != driver_resets:
        problems.append(f"the stand-in saw {len(resets)} ResetSystem calls before ready-to-boot in {driver_resets} "
                        "boots that ended in a reset")
    for reset_type, status in resets:
        if (reset_type, status) != (RESET_COLD, "EFI_SUCCESS"):
            problems.append(f"SaSetupResetDxe asked for {reset_type_name(reset_type)} with {status}, not "
                            f"{RESET_TYPES[RESET_COLD]} with EFI_SUCCESS")
    if state["writes"] != wanted:
        problems.append(f"SaSetup written {state['writes']} times by the drivers, wanted {wanted}")
    if state["status"] != "EFI_SUCCESS" or state["request"] != 0 or state["first_change"] != "none" \
            or state["size"] != state["stored_size"] or state["attributes"] != board.sa_setup["stored_attributes"]:
        problems.append(f"SaSetup afterwards: {state['status']}, {state['size']} bytes, attributes "
                        f"{state['attributes']:#010x}, request byte {state['request']}, first other byte changed: "
                        f"{state['first_change']}; stored as {state['stored_size']} bytes, attributes "
                        f"{board.sa_setup['stored_attributes']:#010x}")
    return facts


def reset_type_name(reset_type):
    return RESET_TYPES[reset_type] if reset_type < len(RESET_TYPES) else f"reset type {reset_type}"


def warnings(facts):
    """What the board needs to know although the drivers did as required."""
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
