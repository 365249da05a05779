"""The road's boots: QEMU booted until the boot application has reported (and
the machine has slept in S3 and woken), and the application's "BOARD: ROAD"
lines read against the fixed list of what each line says."""

import subprocess
import time

from ovmf_qemu import Monitor, board_lines, boot_through_resets
from road_board import RoadError

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


def decimal(text):
    return int(text, 10)


def hexadecimal(text):
    if not text.startswith("0x"):
        raise ValueError(text)
    return int(text, 16)


def flag(text):
    if text not in ("0", "1"):
        raise ValueError(text)
    return text == "1"


# What each line of the application says, and how many of it a report has.
ONE, MANY, OPTIONAL = "one", "many", "optional"
PROTOCOL = {
    "board": (ONE, {"hub_id_port": str, "hub_id_claimed": flag, "watched": flag, "hub_members_start": decimal}),
    "entry": (MANY, {"driver": str, "order": decimal, "ready_to_lock": flag, "s3_save_state": flag,
                     "device_path_to_text": flag}),
    "setup": (ONE, {"status": str, "size": decimal, "mode": decimal, "enable": str}),
    "capabilities": (ONE, {"status": str, "size": decimal, "attributes": hexadecimal, "bytes": str}),
    "device": (MANY, {"path": str, "class": decimal, "vendor": hexadecimal, "product": hexadecimal,
                      "present": flag, "usb_io": flag, "block_io": decimal, "file_systems": decimal}),
    "end_of_dxe": (ONE, {"signals": decimal, "ready_to_lock": flag}),
    "ready_to_boot": (ONE, {"signals": decimal, "ready_to_lock": flag, "bar_low": hexadecimal,
                            "bar_high": hexadecimal, "window": hexadecimal, "usb2": hexadecimal,
                            "usb3": hexadecimal, "untouched": hexadecimal, "s3_wrapped": flag,
                            "hub_lookups": decimal, "hub_applies": decimal}),
    "alias": (OPTIONAL, {"window": hexadecimal, "usb2": hexadecimal, "usb3": hexadecimal}),
    "boot_script": (MANY, {"opcode": decimal, "width": decimal, "address": hexadecimal, "count": decimal,
                           "value": hexadecimal, "status": str, "end_of_dxe": decimal, "ready_to_boot": decimal}),
    "hub_apply": (MANY, {"usb3_port": decimal, "pass_bit": hexadecimal, "usb2_port": decimal,
                         "usb2_member": decimal, "usb3_member": decimal, "ready_to_boot": decimal}),
    "sa_setup": (ONE, {"status": str, "size": decimal, "stored_size": decimal, "attributes": hexadecimal,
                       "request": decimal, "first_change": str, "writes": decimal, "boots": decimal}),
    "sleep": (OPTIONAL, {"usb2_address": hexadecimal, "usb3_address": hexadecimal, "lost_state": hexadecimal,
                         "wake_flag": hexadecimal}),
    "reset": (MANY, {"type": decimal, "status": str}),
    "loader": (MANY, {"path": str}),
}
LINE = "BOARD: ROAD "


def parse_line(line):
    """(what, {key: typed value}) of one ROAD line; a line the protocol does
    not know, or one whose keys or values differ from it, is refused."""
    what, *pairs = line[len(LINE):].split(" ")
    if what not in PROTOCOL:
        raise RoadError(f"protocol error: unknown line {line!r}")
    keys = PROTOCOL[what][1]
    fields = dict(pair.partition("=")[::2] for pair in pairs)
    if set(fields) != set(keys) or len(fields) != len(pairs):
        raise RoadError(f"protocol error: {what} line has keys {', '.join(fields) or 'none'}, not "
                        f"{', '.join(keys)}: {line!r}")
    try:
        return what, {key: keys[key](value) for key, value in fields.items()}
    except ValueError:
        raise RoadError(f"protocol error: a value of the wrong type in {line!r}") from None


def road_facts(lines, sleep):
    """The report's ROAD lines as {what: [fields, ...]}, each kind present as
    often as the protocol says."""
    facts = {what: [] for what in PROTOCOL}
    for line in lines:
        if line.startswith(LINE):
            what, fields = parse_line(line)
            facts[what].append(fields)
    for what, (count, _) in PROTOCOL.items():
        wanted = count == ONE or (what == "sleep" and sleep)
        if (wanted and len(facts[what]) != 1) or (count == OPTIONAL and len(facts[what]) > 1):
            raise RoadError(f"protocol error: {len(facts[what])} {what} lines in the report")
    return facts


class Sleeper:
    """Runs beside each boot: once the application has put the machine into
    S3, wakes it over QMP, waits until the firmware's resume has reached the
    waking vector, reads the port-disable registers and ends QEMU. What it
    holds is of the last boot."""

    def __init__(self, socket_path, serial_log):
        self.socket_path = socket_path
        self.serial_log = serial_log
        self.registers = None  # {"usb2": value, "usb3": value} read after the resume
        self.error = None

    def __call__(self, process):
        self.registers = self.error = None
        try:
            monitor = Monitor(self.socket_path, process)
            monitor.wait_event("SUSPEND")
            lines = [line for line in board_lines(self.serial_log.read_text(errors="replace"))
                     if line.startswith(LINE + "sleep ")]
            sleep = parse_line(lines[0])[1]
            monitor.execute("system_wakeup")
            deadline = time.monotonic() + WAKE_TIMEOUT_S
            while monitor.read_memory(sleep["wake_flag"], "b") != 1:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"the firmware's resume did not reach the waking vector within "
                                       f"{WAKE_TIMEOUT_S} s")
                time.sleep(0.2)
            self.registers = {name: monitor.read_memory(sleep[f"{name}_address"]) for name in ("usb2", "usb3")}
        except (OSError, RuntimeError, ValueError, KeyError, IndexError, RoadError) as error:
            # A boot that ends without sleeping closes the monitor too.
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.error = f"S3 sleep: {error}"
                process.kill()
            return
        process.kill()


def boot_road(command, sleep, serial_log, socket_path, step, store):
    """Boots until the application reports (and the machine has slept and
    woken), or until the boots run out; returns how each boot ended, the
    application's lines of the last one and the registers read after the
    resume. store names the variable store the boots keep their variables in."""
    boots = []
    sleeper = Sleeper(socket_path, serial_log) if sleep else None
    for number, outcome in enumerate(boot_through_resets(command, serial_log, BOOT_TIMEOUT_S, MAX_BOOTS, sleeper), 1):
        if sleeper and sleeper.error:
            ended = sleeper.error
        elif sleeper and sleeper.registers is not None:
            ended = RESUMED
        else:
            ended = REPORTED if outcome.ended() == "passed" else outcome.ended()
        boots.append({"boot": number, "ended": ended, "seconds": round(outcome.seconds, 1)})
        step(f"boot {number}: {ended} ({boots[-1]['seconds']} s)")
        lines = outcome.lines()
        failures = [line.split(": ", 2)[-1] for line in lines if line.startswith("BOARD: CHECK FAILED")]
        if failures:
            raise RoadError(f"boot {number}: {failures[0]}")
        if ended == (RESUMED if sleep else REPORTED):
            return boots, lines, sleeper.registers if sleeper else None
        if ended == STORED and number > 1:
            said = f"; QEMU said: {outcome.qemu_message}" if outcome.qemu_message else ""
            raise RoadError(f"boot {number}: the variable store did not keep the first boot's variables (the "
                            f"application found no setup and stored it again; the store was a copy of {store})"
                            f"{said}")
        if ended != (STORED if number == 1 else DRIVER_RESET):
            raise RoadError(f"boot {number}: {ended}")
    return boots, None, None
