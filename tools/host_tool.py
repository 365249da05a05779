"""What every host tool shares: the firmware files and QEMU the environment
names, the check that what a tool needs is installed, the one-line refusal
and the exit status it ends with, and writing a file whole."""

import os
import shutil
import signal
import sys
import tempfile
from pathlib import Path

# The firmware, overridable from the environment.
OVMF_CODE = Path(os.environ.get("OVMF_CODE", "/usr/share/OVMF/OVMF_CODE_4M.fd"))
OVMF_VARS = Path(os.environ.get("OVMF_VARS", "/usr/share/OVMF/OVMF_VARS_4M.fd"))
QEMU = os.environ.get("QEMU", "qemu-system-x86_64")

# Where each thing the tools need comes from on Debian.
PACKAGES = {QEMU: "qemu-system-x86", "mformat": "mtools", "mcopy": "mtools", "mmd": "mtools", str(OVMF_CODE): "ovmf",
            str(OVMF_VARS): "ovmf", "cmake": "cmake"}

# The shell's status for a process ended by SIGTERM.
TERMINATED_STATUS = 128 + signal.SIGTERM


class ToolError(Exception):
    """Refused input or a missing tool: one line on stderr, exit status 2."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised in the main thread like an interruption, so that every
    `with` and `finally` on the way out cleans up (temporary folders, QEMU)."""


def terminate(signum, frame):
    raise Terminated()


def run_tool(name, main):
    """Runs main() and exits with its status; a ToolError, an interruption or
    SIGTERM ends in one line on stderr instead of a traceback."""
    signal.signal(signal.SIGTERM, terminate)
    try:
        status = main()
    except ToolError as error:
        print(f"{name}: {error}", file=sys.stderr)
        status = 2
    except Terminated:
        print(f"{name}: terminated", file=sys.stderr)
        status = TERMINATED_STATUS
    except KeyboardInterrupt:
        print(f"{name}: interrupted", file=sys.stderr)
        status = 2
    except BrokenPipeError:
        # The reader has gone; say nothing more.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = 0
    sys.exit(status)


def require(tools=(), files=()):
    """Refuses, naming what to install, when a program or file is missing."""
    missing = [tool for tool in tools if shutil.which(tool) is None] + [str(f) for f in files if not Path(f).exists()]
    if missing:
        packages = sorted({PACKAGES[m] for m in missing if m in PACKAGES})
        hint = f" (Debian: apt-get install {' '.join(packages)})" if packages else ""
        raise ToolError(f"missing {', '.join(missing)}{hint}")
    if OVMF_CODE in files and OVMF_VARS in files:
        require_pair(OVMF_CODE, OVMF_VARS)


# QEMU maps the code and the variable store back to back, ending at 4 GiB, and
# OVMF looks for its store where its build put it: 4 GiB less the build's flash
# size, 1, 2 or 4 MiB. Only files of one build add up to that size (Debian's
# OVMF_CODE_4M.fd with OVMF_VARS_4M.fd make 4 MiB, OVMF_CODE.fd with
# OVMF_VARS.fd 2 MiB); with another build's store the firmware keeps no
# variable across a reset.
FLASH_SIZES = (1 << 20, 2 << 20, 4 << 20)


def require_pair(code, variables):
    """Refuses a variable store that does not pair with the code image."""
    code_size, variables_size = Path(code).stat().st_size, Path(variables).stat().st_size
    if code_size + variables_size not in FLASH_SIZES:
        raise ToolError(f"variable store {variables} ({variables_size} bytes) does not pair with {code} "
                        f"({code_size} bytes): one OVMF build's two files add up to 1, 2 or 4 MiB")


def write_atomically(path, data):
    """Writes through a file of its own in the same folder, so that a reader
    never sees half a file, with the permissions a new file gets. Whatever
    stops the write (a full disk, an interruption) removes that file."""
    path = Path(path)
    if path.is_dir():
        raise ToolError(f"{path} is a directory, not a file to write")
    temporary = tempfile.NamedTemporaryFile(dir=path.parent, prefix=f"{path.name}.", delete=False)
    try:
        with temporary:
            temporary.write(data)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary.name, 0o666 & ~umask)
        os.replace(temporary.name, path)
    except BaseException:
        Path(temporary.name).unlink(missing_ok=True)
        raise
