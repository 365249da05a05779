"""The road's report: the facts the judge gathered, as a person reads them."""

# What each kind of BAR0 that names no register window is.
NO_WINDOW = {"io": "an I/O BAR", "zero": "an unassigned BAR", "absent": "the function reads all-ones"}


def times(count):
    return "once" if count == 1 else f"{count} times"


def hex32(value):
    return f"{value:#010x}"


def columns(rows):
    """The rows' cells padded so that each column lines up, whatever is in it."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  " + " ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]


def port_list(ports):
    """15, 30-37: runs of consecutive ports joined."""
    runs = []
    for port in sorted(set(ports)):
        if runs and port == runs[-1][1] + 1:
            runs[-1][1] = port
        else:
            runs.append([port, port])
    return ", ".join(str(a) if a == b else f"{a}-{b}" for a, b in runs)


def script_lines(boot_script, when):
    entries = [e for e in boot_script if e["when"] == when]
    lines = [f"  boot script Write(opcode {e['opcode']}, width {e['width']}, {e['address']:#x}, count {e['count']}, "
             f"value {e['value']:#x}) -> {e['status']}" for e in entries]
    return lines or ["  boot script: no entries"]


def road_lines(facts, per_connector_mode):
    road = facts["road"]
    disabled = ", ".join(road["disabled"]) or "none"
    if road["mode"] != per_connector_mode:
        disabled = f"none (only mode {per_connector_mode} disables)"
    request = f"byte {road['reset_request']}" if road["reset_request"] else "no"
    return [f"Road: {road['board']} board, OVMF {road['ovmf_code']}",
            f"  Setup mode {road['mode']}, connectors disabled: {disabled}; SaSetup reset request: {request}; "
            f"BAR0 {road['bar']}",
            "  attached: " + (", ".join(f"{a['kind']} on {a['connector']} (port {a['port']}, QEMU port "
                                        f"{a['qemu_port']})" for a in road["attachments"]) or "nothing"), ""]


def dispatch_lines(facts):
    out = ["Dispatch (from flash, in volume order; facts at each driver's entry)"]
    for driver, entry in facts["dispatch"].items():
        if not entry["entered"]:
            out.append(f"  {driver:22} never entered")
            continue
        out.append(f"  {driver:22} entered #{entry['order']}, "
                   f"{'after' if entry['ready_to_lock_before'] else 'before'} ready-to-lock; "
                   f"S3 save-state {'installed' if entry['s3_save_state'] else 'NOT installed'}, "
                   f"device-path-to-text {'installed' if entry['device_path_to_text'] else 'NOT installed'}")
    return out + [""]


def connector_lines(facts):
    caps = facts["capabilities"]
    out = [f"Connectors (UsbConnectorCapabilities: {caps['status']}, {caps['size']} bytes, attributes "
           f"{hex32(caps['attributes'])})"]
    rows = [["#", "label", "kind", "ports", "setup", "present", "member", "disableable", "leader"]]
    for c in facts["connectors"]:
        p = c["capabilities"]
        rows.append([str(c["index"]), c["label"], c["kind"], ",".join(map(str, c["ports"])), c["setup"],
                     *(str(p[name]) for name in ("present", "groupmember", "disableable", "groupleader"))])
    out += columns(rows)
    # Switching these off blocks storage at arrival, but no register or hub
    # port turns them off.
    unswitched = [p for c in facts["connectors"] for p in c["ports_without_switch"]]
    if unswitched:
        none = [c["label"] for c in facts["connectors"]
                if c["ports"] and len(c["ports_without_switch"]) == len(c["ports"])]
        out.append(f"  ports without a hardware switch: {port_list(unswitched)}"
                   + (f"; {', '.join(none)} have no other, so setup switching them off blocks their storage while "
                      "their ports stay on" if none else ""))
    fixed = [c["label"] for c in facts["connectors"] if c["capabilities"]["disableable"] == 0]
    if fixed:
        out.append(f"  may not be switched off (disableable 0): {', '.join(fixed)}; setup switching them off blocks "
                   "their storage while their ports stay on")
    return out + [""]


def device_lines(facts):
    out = ["USB devices, where the road plugged them (QEMU port), as the firmware enumerated them"]
    rows = []
    for d in facts["devices"]:
        rows.append([d["qemu_port"], f"{d['kind']} on {d['connector']}" if d["connector"] else "on-board hub",
                     d["path"], f"class {d['class']}", f"{d['vendor']:04x}:{d['product']:04x}",
                     f"reached by {', '.join(d['leads_here']) or '-'}",
                     f"{'USB I/O kept' if d['usb_io'] else 'USB I/O removed'}, "
                     f"{str(d['file_systems']) + ' file system(s)' if d['file_systems'] else 'no file system'}"
                     + (f"  (must be blocked: {', '.join(d['switched_off'])} off)" if d["must_be_blocked"] else "")])
    return out + (columns(rows) if rows else ["  none"]) + [""]


def boot_lines(facts):
    boot = facts["boot"]
    out = ["Boot (the firmware's boot order puts each boot stick first)"]
    for stick in boot["boot_sticks"]:
        out.append(f"  boot stick on {stick['connector']}: "
                   f"{'booted, its loader ran' if stick['booted'] else 'not booted, its loader never ran'}"
                   f"{' (must not boot: blocked)' if stick['must_be_blocked'] else ''}")
    return out + ["  loaders started: " + (", ".join(boot["booted"]) or "none"), ""]


def port_disable_lines(facts):
    end_of_dxe = facts["end_of_dxe"]
    if end_of_dxe["signals"]:
        out = [f"End-of-DXE (signalled {times(end_of_dxe['signals'])}, first "
               f"{'after' if end_of_dxe['after_ready_to_lock'] else 'before'} ready-to-lock)"]
    else:
        out = ["End-of-DXE (never signalled)"]
    out += script_lines(facts["boot_script"], "End-of-DXE")
    ready = facts["ready_to_boot"]
    bar = facts["road"]["bar"]
    window = f"window {ready['window']:#x}" if ready["window"] is not None else \
        f"no register window: {NO_WINDOW.get(bar, 'no memory window')}"
    out.append(f"Ready-to-boot (signalled {times(ready['signals'])}, first "
               f"{'after' if ready['after_ready_to_lock'] else 'before'} ready-to-lock; BAR0 "
               f"{hex32(ready['bar0'][0])}/{hex32(ready['bar0'][1])}, {window})")
    if ready["window"] is None:
        out.append("  (BAR0 is the stand-in's copy of the controller's configuration space, which the drivers read; "
                   "QEMU's own controller still enumerates the devices. Nothing may be written or recorded through "
                   "this BAR: the registers shown are where a driver that decoded it anyway would write.)")
    untouched = ready["usb2_register"] == ready["untouched_value"] == ready["usb3_register"]
    out.append(f"  USB2 port-disable register {hex32(ready['usb2_register'])}, USB3 {hex32(ready['usb3_register'])}"
               f"{' (untouched)' if untouched else ''}")
    if ready["low_dword_alias"]:
        alias = ready["low_dword_alias"]
        out.append(f"  at BAR0's low dword alone ({alias['window']:#x}): {hex32(alias['usb2'])} / "
                   f"{hex32(alias['usb3'])}")
    out += script_lines(facts["boot_script"], "ready-to-boot")
    out.append(f"  hub protocol looked up {times(ready['hub_lookups'])}, Apply called "
               f"{times(len(ready['hub_applies']))}")
    out += [f"  Apply(usb3 {a['usb3_port']}, pass {a['pass_bit']:#x}, usb2 {a['usb2_port']}) with Usb2Port "
            f"{a['usb2_member']}, Usb3Port {a['usb3_member']}" for a in ready["hub_applies"]]
    return out


def resume_lines(facts):
    resume = facts["after_s3_resume"]
    if resume is None:
        return []
    out = ["", f"After S3 resume (both registers set to {hex32(resume['lost_state'])} before sleeping, as a "
               "controller that lost its state)"]
    for name, register in resume["registers"].items():
        origin = "from the boot script" if register["from_boot_script"] else (
            "as left before sleeping" if register["value"] == resume["lost_state"] else
            "changed, not by the boot script")
        on_again = f"; {', '.join(register['ports_on_again'])} on again" if register["ports_on_again"] else ""
        out.append(f"  {name.upper()} port-disable register {hex32(register['value'])}: {origin}{on_again}")
    return out


def sa_setup_lines(facts):
    s = facts["sa_setup"]
    seen = ", ".join(f"{r['type']} ({r['status']})" for r in s["resets"]) or "no ResetSystem call"
    return ["", f"SaSetupResetDxe: reset {times(s['driver_resets'])}, {seen}; SaSetup written "
                f"{times(s['writes_by_drivers'])}, now {s['size']} bytes (stored {s['stored_size']}), attributes "
                f"{hex32(s['attributes'])}, request byte {s['request_byte']}, other bytes "
                f"{'kept' if s['first_changed_byte'] == 'none' else 'changed from byte ' + s['first_changed_byte']}",
            ""]


def report(facts, per_connector_mode):
    out = road_lines(facts, per_connector_mode)
    if "dispatch" in facts:
        out += dispatch_lines(facts) + connector_lines(facts) + device_lines(facts) + boot_lines(facts)
        out += port_disable_lines(facts) + resume_lines(facts) + sa_setup_lines(facts)
    return "\n".join(out + verdict_lines(facts))


def devices_summary(devices):
    blocked = sum(d["must_be_blocked"] for d in devices)
    usable = len(devices) - blocked
    if not blocked:
        return f"no USB device blocked, all {len(devices)} usable"
    if not usable:
        return f"all {blocked} USB devices blocked"
    return f"{blocked} of {len(devices)} USB devices blocked, the other {usable} usable"


def verdict_lines(facts):
    verdict = facts["verdict"]
    lines = [f"Warning: {warning}" for warning in verdict["warnings"]]
    if not verdict["ok"]:
        return lines + [f"Verdict: FAIL, {len(verdict['problems'])} problem(s): " + "; ".join(verdict["problems"])]
    ready = facts["ready_to_boot"]
    written = ready["usb2_register"] != ready["untouched_value"]
    registers = (f"port-disable registers {hex32(ready['usb2_register'])} / {hex32(ready['usb3_register'])}"
                 if written else "port-disable registers untouched")
    resume = facts["after_s3_resume"]
    if resume is not None:
        replayed = all(r["from_boot_script"] for r in resume["registers"].values())
        registers += ("; the same after an S3 resume, from the boot script" if replayed
                      else "; the boot script left them alone across an S3 resume")
    booted = [s["connector"] for s in facts["boot"]["boot_sticks"] if s["booted"]]
    unbooted = [s["connector"] for s in facts["boot"]["boot_sticks"] if not s["booted"]]
    boot = "".join([f"; booted the stick on {', '.join(booted)}" if booted else "",
                    f"; no boot from the blocked stick on {', '.join(unbooted)}" if unbooted else ""])
    return lines + [f"Verdict: PASS, the board behaved as this setup requires: {devices_summary(facts['devices'])}"
                    f"{boot}; {registers}"]
