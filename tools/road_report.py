"""The road's report: the facts the judge gathered, as a person reads them."""


def times(count):
    return "once" if count == 1 else f"{count} times"


def script_lines(boot_script, when):
    entries = [e for e in boot_script if e["when"] == when]
    lines = [f"  boot script Write(opcode {e['opcode']}, width {e['width']}, {e['address']:#x}, count {e['count']}, "
             f"value {e['value']:#x}) -> {e['status']}" for e in entries]
    return lines or ["  boot script: no entries"]


def report(facts, per_connector_mode):
    road = facts["road"]
    out = []
    disabled = ", ".join(road["disabled"]) or "none"
    if road["mode"] != per_connector_mode:
        disabled = f"none (only mode {per_connector_mode} disables)"
    request = f"byte {road['reset_request']}" if road["reset_request"] else "no"
    out.append(f"Road: Setup mode {road['mode']}, connectors disabled: {disabled}; SaSetup reset request: "
               f"{request}; BAR0 {road['bar']}")
    out.append("  attached: " + (", ".join(f"{a['kind']} on {a['connector']} (port {a['port']}, QEMU port "
                                           f"{a['qemu_port']})" for a in road["attachments"]) or "nothing"))
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
    out.append("USB devices, where the road plugged them (QEMU port), as the firmware enumerated them")
    for d in facts["devices"]:
        what = f"{d['kind']} on {d['connector']}" if d["connector"] else "on-board hub"
        state = "USB I/O kept" if d["usb_io"] else "USB I/O removed"
        storage = f"{d['file_systems']} file system(s)" if d["file_systems"] else "no file system"
        off = f"  (must be blocked: {', '.join(d['switched_off'])} off)" if d["must_be_blocked"] else ""
        out.append(f"  {d['qemu_port']:>4} {what:22} {d['path']:52} class {d['class']:<2} "
                   f"{d['vendor'][2:]}:{d['product'][2:]} reached by {', '.join(d['leads_here']) or '-':12} "
                   f"{state}, {storage}{off}")
    out.append("")
    boot = facts["boot"]
    out.append("Boot (the firmware's boot order puts each boot stick first)")
    for stick in boot["boot_sticks"]:
        out.append(f"  boot stick on {stick['connector']}: "
                   f"{'booted, its loader ran' if stick['booted'] else 'not booted, its loader never ran'}"
                   f"{' (must not boot: blocked)' if stick['must_be_blocked'] else ''}")
    out.append("  loaders started: " + (", ".join(boot["booted"]) or "none"))
    out.append("")
    end_of_dxe = facts["end_of_dxe"]
    if end_of_dxe["signals"]:
        out.append(f"End-of-DXE (signalled {times(end_of_dxe['signals'])}, first "
                   f"{'after' if end_of_dxe['after_ready_to_lock'] else 'before'} ready-to-lock)")
    else:
        out.append("End-of-DXE (never signalled)")
    out.extend(script_lines(facts["boot_script"], "End-of-DXE"))
    ready = facts["ready_to_boot"]
    window = f"window {ready['window']}" if ready["window"] else "no register window"
    out.append(f"Ready-to-boot (signalled {times(ready['signals'])}, first "
               f"{'after' if ready['after_ready_to_lock'] else 'before'} ready-to-lock; BAR0 "
               f"{ready['bar0'][0]}/{ready['bar0'][1]}, {window})")
    untouched = ready["usb2_register"] == ready["untouched_value"] == ready["usb3_register"]
    out.append(f"  USB2 port-disable register {ready['usb2_register']}, USB3 {ready['usb3_register']}"
               f"{' (untouched)' if untouched else ''}")
    if ready["low_dword_alias"]:
        alias = ready["low_dword_alias"]
        out.append(f"  at BAR0's low dword alone ({alias['window']}): {alias['usb2']} / {alias['usb3']}")
    out.extend(script_lines(facts["boot_script"], "ready-to-boot"))
    out.append(f"  hub protocol looked up {times(ready['hub_lookups'])}, Apply called {times(len(ready['hub_applies']))}")
    out.extend(f"  Apply({a['usb3_port']}, {a['pass_bit']}, {a['usb2_port']}) with Usb2Port {a['usb2_member']}, "
               f"Usb3Port {a['usb3_member']}" for a in ready["hub_applies"])
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
    seen = ", ".join(f"{r['type']} ({r['status']})" for r in s["resets"]) or "no ResetSystem call"
    out.append(f"SaSetupResetDxe: reset {times(s['driver_resets'])}, {seen}; SaSetup written "
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
    written = ready["usb2_register"] != ready["untouched_value"]
    registers = (f"port-disable registers {ready['usb2_register']} / {ready['usb3_register']}" if written
                 else "port-disable registers untouched")
    resume = facts["after_s3_resume"]
    if resume is not None:
        replayed = all(r["from_boot_script"] for r in resume["registers"].values())
        registers += ("; the same after an S3 resume, from the boot script" if replayed
                      else "; the boot script left them alone across an S3 resume")
    booted = [s["connector"] for s in facts["boot"]["boot_sticks"] if s["booted"]]
    unbooted = [s["connector"] for s in facts["boot"]["boot_sticks"] if not s["booted"]]
    boot = "".join([f"; booted the stick on {', '.join(booted)}" if booted else "",
                    f"; no boot from the blocked stick on {', '.join(unbooted)}" if unbooted else ""])
    return lines + [f"Verdict: PASS, the board behaved as this setup requires: {blocked} of {len(facts['devices'])} "
                    f"USB devices blocked, the others usable{boot}; {registers}"]
