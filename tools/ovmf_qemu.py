"""Booting Debian's OVMF under QEMU for the boot application of e2e/app: the
firmware files, the exit codes of isa-debug-exit, FAT sticks, and one boot
under a host timeout with its serial log. Shared by tools/road.py and the
bench runner e2e/run.py."""

import json
import re
import socket
import subprocess
import threading
import time
from pathlib import Path

OVMF_CODE = Path("/usr/share/OVMF/OVMF_CODE_4M.fd")
OVMF_VARS = Path("/usr/share/OVMF/OVMF_VARS_4M.fd")
QEMU = "qemu-system-x86_64"

# isa-debug-exit makes QEMU exit with (value << 1) | 1; values from
# e2e/lib/BenchPlatform.h. A guest reset under -no-reboot exits with 0.
EXIT_PASS = (0x10 << 1) | 1
EXIT_RESET = 0

ANSI_ESCAPE = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b[()][A-Z0-9]")


def qemu_base_command(code, vars_path, fat_dir, serial_log, scenario, machine=("-m", "3328")):
    """The machine every boot of the boot application uses: `pc`, the firmware
    code read-only, a fresh variable store, the application's FAT folder, a
    serial log, isa-debug-exit, and the scenario name in fw_cfg."""
    return [
        QEMU,
        "-machine", "pc", *machine, "-nodefaults", "-no-reboot",
        "-display", "none", "-monitor", "none",
        "-serial", f"file:{serial_log}",
        "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
        "-drive", f"if=pflash,format=raw,unit=1,file={vars_path}",
        "-drive", f"format=raw,file=fat:rw:{fat_dir}",
        "-device", "isa-debug-exit,iobase=0xf4,iosize=0x04",
        "-fw_cfg", f"name=opt/bench/scenario,string={scenario}",
    ]


def bench_lines(serial_text):
    """The "BENCH: " lines of a serial log, without terminal escapes."""
    for raw in serial_text.splitlines():
        line = ANSI_ESCAPE.sub("", raw).strip()
        at = line.find("BENCH: ")
        if at >= 0:
            yield line[at:]


def make_stick(path, label):
    """A 1.44 MB raw FAT image holding STICK.TXT with the label."""
    text = path.with_suffix(".txt")
    text.write_text(f"{label}\n")
    subprocess.run(["mformat", "-i", str(path), "-C", "-f", "1440", "::"], check=True, capture_output=True)
    subprocess.run(["mcopy", "-i", str(path), str(text), "::/STICK.TXT"], check=True, capture_output=True)


def boot(command, serial_log, timeout, alongside=None):
    """Runs QEMU once; returns its exit code (None on timeout) and the serial
    log. alongside(process), when given, runs in a thread while QEMU does."""
    serial_log.unlink(missing_ok=True)
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    if alongside is not None:
        threading.Thread(target=alongside, args=(process,), daemon=True).start()
    try:
        exit_code = process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        exit_code = None
    return exit_code, serial_log.read_text(errors="replace") if serial_log.exists() else ""


class Monitor:
    """Just enough of QEMU's monitor (QMP) to plug devices, sleep and wake the
    machine and read guest memory. Reads block until QEMU answers or ends;
    an ended QEMU raises OSError or ValueError."""

    def __init__(self, path, process):
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
