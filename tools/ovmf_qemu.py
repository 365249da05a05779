"""Booting OVMF under QEMU, for every host command that boots the emulated
board or the OVMF scenarios: the machine, the boot folder, the boots under a
host timeout and how each ended, and QEMU's monitor."""

import json
import re
import shutil
import socket
import subprocess
import threading
import time
from dataclasses import dataclass

from host_tool import OVMF_VARS, QEMU

# All RAM below 4 GiB: the board's configuration space at 0xC0000000 is RAM
# the stand-in can use.
MEMORY = ("-m", "3328")
# The same with a 256 MiB DIMM, which QEMU places at 4 GiB: RAM for a
# 64-bit BAR's window and for what a driver would write through an absent
# controller's BAR.
MEMORY_WITH_HIGH_DIMM = ("-m", "3328,slots=1,maxmem=4G", "-object", "memory-backend-ram,id=high,size=256M",
                         "-device", "pc-dimm,memdev=high")

# isa-debug-exit makes QEMU exit with (value << 1) | 1; the values are in
# emulated-board/lib/QemuPlatform.h. A guest reset under -no-reboot exits 0.
EXIT_PASS = (0x10 << 1) | 1
EXIT_FAIL = (0x11 << 1) | 1
EXIT_RESET = 0

ANSI_ESCAPE = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b[()][A-Z0-9]")
PREFIX = "BOARD: "


def xhci_device(controller):
    """QEMU's xHCI controller where the board's is (build/board.json's
    "controller"), with as many USB2 root ports as it has root ports and no
    USB3 ones, so that root port n is QEMU's port n."""
    return (f"qemu-xhci,id=xhci,addr={controller['device']:#x}.{controller['function']:x},"
            f"p2={controller['root_ports']},p3=0")


def make_stick(path, label, loader=None):
    """A 1.44 MB raw FAT image holding STICK.TXT with the label and, given a
    loader, that loader as \\EFI\\BOOT\\BOOTX64.EFI, which makes it bootable."""
    text = path.with_suffix(".txt")
    text.write_text(f"{label}\n")
    commands = [["mformat", "-i", str(path), "-C", "-f", "1440", "::"],
                ["mcopy", "-i", str(path), str(text), "::/STICK.TXT"]]
    if loader is not None:
        commands += [["mmd", "-i", str(path), "::/EFI", "::/EFI/BOOT"],
                     ["mcopy", "-i", str(path), str(loader), "::/EFI/BOOT/BOOTX64.EFI"]]
    for command in commands:
        subprocess.run(command, check=True, capture_output=True)


def boot_folder(work, application):
    """A fresh copy of the variable store and a FAT folder that OVMF starts
    the application from; returns both paths."""
    fat = work / "fat"
    (fat / "EFI" / "BOOT").mkdir(parents=True)
    shutil.copyfile(application, fat / "EFI" / "BOOT" / "BOOTX64.EFI")
    shutil.copyfile(OVMF_VARS, work / "vars.fd")
    return fat, work / "vars.fd"


def stand_in_settings(bar="32-bit", calibration_hob=True, lend_pm_timer=False, hub_id_port=None):
    """BoardStandInDxe's fw_cfg settings, for machine(); it requires all four
    in every boot that starts it. bar is "32-bit", "64-bit" or "absent",
    hub_id_port a QEMU USB port name such as "8" or "1.2", or None."""
    return {"stand-in/bar": bar,
            "stand-in/calibration-hob": "yes" if calibration_hob else "no",
            "stand-in/lend-pm-timer": "yes" if lend_pm_timer else "no",
            "stand-in/hub-id-port": hub_id_port or "none"}


def machine(code, variables, fat, serial_log, fw_cfg, memory=MEMORY, boot_index=None):
    """The machine every boot uses. fw_cfg maps each setting's name under
    opt/board/ to its text value, one fw_cfg file per setting; the guest
    reads every one it needs and refuses a missing or malformed one. QEMU's
    pc machine has room for about 20 such files beside its own. boot_index
    places the boot folder in QEMU's boot order, for runs that give other
    devices a place in it too."""
    command = [
        QEMU,
        "-machine", "pc", *memory,
        # Only the devices named here; a reset ends QEMU, so each boot is seen.
        "-nodefaults", "-no-reboot",
        "-display", "none", "-monitor", "none",
        # The console's output, where the application's lines go.
        "-serial", f"file:{serial_log}",
        # The firmware code read-only, a variable store of this run's own.
        "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
        "-drive", f"if=pflash,format=raw,unit=1,file={variables}",
        # The boot folder as a FAT disk, on the first IDE channel's master.
        "-drive", f"if=none,id=bootfolder,format=raw,file=fat:rw:{fat}",
        "-device", "ide-hd,drive=bootfolder,bus=ide.0,unit=0"
        + (f",bootindex={boot_index}" if boot_index is not None else ""),
        # How the application ends QEMU with its outcome.
        "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04",
    ]
    for name, value in fw_cfg.items():
        # QEMU's option syntax doubles commas inside a value.
        command += ["-fw_cfg", f"name=opt/board/{name},string={value.replace(',', ',,')}"]
    return command


def board_lines(serial_text):
    """The application's lines of a serial log, without terminal escapes."""
    for raw in serial_text.splitlines():
        line = ANSI_ESCAPE.sub("", raw).strip()
        at = line.find(PREFIX)
        if at >= 0:
            yield line[at:]


@dataclass
class Boot:
    exit_code: object  # None when the host timeout ended it
    serial: str
    qemu_message: str  # the last line QEMU wrote on stderr
    timeout: int
    seconds: float  # how long QEMU ran

    def lines(self):
        return list(board_lines(self.serial))

    def ended(self):
        """How the boot ended. A pass or fail needs both the completion line
        and the matching exit code; anything else is said as it was."""
        if self.exit_code is None:
            return f"timed out after {self.timeout} s"
        completion = [line for line in self.lines() if line.startswith((f"{PREFIX}PASS ", f"{PREFIX}FAIL "))]
        if self.exit_code == EXIT_PASS and completion and completion[-1].startswith(f"{PREFIX}PASS "):
            return "passed"
        if self.exit_code == EXIT_FAIL and completion and completion[-1].startswith(f"{PREFIX}FAIL "):
            return "failed: " + completion[-1].split(": ", 2)[-1]
        if self.exit_code == EXIT_RESET:
            if any(line.startswith(f"{PREFIX}REBOOT ") for line in self.lines()):
                return "reset by the application"
            return "reset before the application"
        said = f": {self.qemu_message}" if self.qemu_message else ""
        return f"QEMU exit {self.exit_code}{said}" if not completion else \
            f"{completion[-1]!r} with QEMU exit {self.exit_code}"


# The QEMU processes booting now, in any thread, and whether stop_boots()
# has ended them: no QEMU outlives the tool that started it.
RUNNING = set()
RUNNING_LOCK = threading.Lock()
STOPPED = False


def stop_boots():
    """Ends every boot running in another thread and lets no new one start:
    for a tool interrupted while its threads boot."""
    global STOPPED
    with RUNNING_LOCK:
        STOPPED = True
        for process in RUNNING:
            process.kill()


def boot(command, serial_log, timeout, alongside=None):
    """Runs QEMU once under the host timeout. alongside(process), when given,
    runs in a thread while QEMU does. An interruption ends QEMU before it
    goes on."""
    serial_log.unlink(missing_ok=True)
    started = time.monotonic()
    with RUNNING_LOCK:
        if STOPPED:
            raise RuntimeError("boots stopped")
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.PIPE, text=True)
        RUNNING.add(process)
    try:
        if alongside is not None:
            threading.Thread(target=alongside, args=(process,), daemon=True).start()
        try:
            _, stderr = process.communicate(timeout=timeout)
            exit_code = process.returncode
        except subprocess.TimeoutExpired:
            process.kill()
            _, stderr = process.communicate()
            exit_code = None
    except BaseException:
        process.kill()
        process.wait()
        raise
    finally:
        with RUNNING_LOCK:
            RUNNING.discard(process)
    # QEMU follows an error with "info:" lines that explain it; the error
    # itself is what to show.
    said = [line for line in stderr.strip().splitlines() if line.strip()]
    errors = [line for line in said if ": info: " not in line]
    message = (errors or said)[-1] if said else ""
    return Boot(exit_code, serial_log.read_text(errors="replace") if serial_log.exists() else "", message, timeout,
                time.monotonic() - started)


def boot_through_resets(command, serial_log, timeout, max_boots, alongside=None):
    """Boots, and boots again on the same variable store after each boot that
    ends in a reset, at most max_boots times, each boot as boot() does it.
    Yields each Boot as it ends; what counts as done is the caller's, who
    stops taking boots there."""
    for _ in range(max_boots):
        outcome = boot(command, serial_log, timeout, alongside)
        yield outcome
        if outcome.exit_code != EXIT_RESET:
            return


class Monitor:
    """Just enough of QEMU's monitor (QMP) to plug devices, sleep and wake the
    machine, read guest memory and follow the application's lines. Reads
    block until QEMU answers or ends; an ended QEMU raises OSError or
    ValueError."""

    def __init__(self, path, process):
        self.process = process
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(str(path))
                break
            except (FileNotFoundError, ConnectionRefusedError):
                self.sock.close()
                if process.poll() is not None:
                    raise RuntimeError("QEMU ended before its monitor opened")
                time.sleep(0.05)
        self.reader = self.sock.makefile("r")
        self.events = []
        self.reader.readline()  # greeting
        self.execute("qmp_capabilities")

    def _read(self):
        line = self.reader.readline()
        if not line:
            raise OSError("QEMU closed its monitor")
        return json.loads(line)

    def execute(self, command, **arguments):
        self.sock.sendall(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        while True:
            reply = self._read()
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise RuntimeError(f"QMP {command}: {reply['error'].get('desc')}")
            else:
                return reply.get("return")

    def wait_event(self, name, data=None):
        """Waits for the event, and for its data to hold every item of data."""
        def matches(event):
            return event["event"] == name and all(event.get("data", {}).get(k) == v for k, v in (data or {}).items())
        while not any(matches(event) for event in self.events):
            self.events.append(self._read())

    def read_memory(self, address, unit="w"):
        """One byte ("b") or 32-bit word ("w") of guest physical memory."""
        text = self.execute("human-monitor-command", **{"command-line": f"xp /1{unit}x {address:#x}"})
        return int(text.split(":")[-1].split()[0], 16)

    def follow_lines(self, serial_log):
        """Yields the application's lines as QEMU finishes writing them to the
        serial log, until QEMU ends."""
        taken = 0
        while self.process.poll() is None:
            text = serial_log.read_text(errors="replace") if serial_log.exists() else ""
            # Only finished lines: half a line can read as another request.
            lines = list(board_lines(text[:text.rfind("\n") + 1]))
            yield from lines[taken:]
            taken = len(lines)
            time.sleep(0.05)


def monitor_arguments(socket_path):
    """QEMU's monitor on a socket the host connects to when it wants."""
    return ["-qmp", f"unix:{socket_path},server=on,wait=off"]
