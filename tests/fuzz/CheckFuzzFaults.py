#!/usr/bin/env python3
"""Proves the fuzzer by breaking what it guards: each row of FAULTS puts one
deliberate mistake into a copy of the drivers' sources, builds the row's fuzz
target from the copy and runs it with a fixed seed over the corpus. The
unchanged copy must run without a violation; every faulted one must be
reported as a violation (a broken rule or a sanitizer report), and the time
until it was is printed."""
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "checks"))
from faulted_copy import TREE, FaultMissing, OneLineParser, copy_tree, faulted  # noqa: E402

ARRIVAL = "usb-connector-policy/DeviceArrival.cpp"
PORT_DISABLE = "usb-connector-policy/PortDisable.cpp"
RESET = "setup-reset/SaSetupResetDxe.cpp"
# The bounded run of the Fuzz.bounded.* tests, a policy target's: a fixed
# seed, a fixed number of sequences, and a time limit besides.
RUN = ("-seed=1", "-runs=1500", "-max_total_time=60", "-rss_limit_mb=2048", "-max_len=4096", "-timeout=20")

# (fault, file, old text, new text, target)
FAULTS = (
    ("a reused handle value taken for the device examined before it", ARRIVAL,
     "      Slot->Processed = 0;\n", "      (VOID) Slot;\n", "policy-product"),
    ("a failed examination marked done", ARRIVAL,
     "Slot->Processed = ExamineHandle(Buffer[Index]) ? 1 : 0;",
     "Slot->Processed = ExamineHandle(Buffer[Index]) ? 1 : 1;", "policy-product"),
    ("the chipset hub's id spares a device for good", ARRIVAL,
     "return {!ClaimsChipsetHub, !ClaimsChipsetHub};", "return {!ClaimsChipsetHub, true};", "policy-product"),
    ("the table one slot short", ARRIVAL,
     "SeenHandleCount == SEEN_HANDLE_TABLE_SIZE", "SeenHandleCount + 1 == SEEN_HANDLE_TABLE_SIZE", "policy-product"),
    ("departed devices keep their slots", ARRIVAL,
     "  const UINTN Taken = SeenHandleCount;\n", "  return;\n  const UINTN Taken = SeenHandleCount;\n",
     "policy-product"),
    ("devices beyond the table never examined", ARRIVAL,
     "      Slot = &Unkept;\n", "      Unkept.Processed = 1;\n      Slot = &Unkept;\n", "policy-product"),
    ("the path text not upper-cased", ARRIVAL,
     "  AsciiUpcaseInPlace(Text);\n", "", "policy-product"),
    ("the prefix's closing comma not compared", ARRIVAL,
     "Index < Length - 1 && Text[Index]", "Index < Length - 2 && Text[Index]", "policy-product"),
    ("only the whole path text matches a prefix", ARRIVAL,
     "MatchPortPathPrefix(Text, Prefix, Length) == 0", "MatchPortPathPrefix(Text, Prefix, Length + 1) == 0",
     "policy-product"),
    ("a refused boot-script Write taken as recorded", PORT_DISABLE,
     "!EFI_ERROR(S3SaveState->Write(", "!EFI_ERROR(EFI_SUCCESS & S3SaveState->Write(", "policy-product"),
    ("End-of-DXE records through a BAR0 that names no window", PORT_DISABLE,
     "  if (Base != 0) {\n    RecordBootScript(Base);\n  }\n", "  RecordBootScript(Base);\n", "policy-product"),
    ("32-bit boot-script entries", PORT_DISABLE,
     "EfiBootScriptWidthUint16,", "EfiBootScriptWidthUint32,", "policy-product"),
    ("a reset after a failed write-back", RESET,
     "SaSetupBuffer))) {\n    return EFI_SUCCESS;\n  }\n  RuntimeServices->ResetSystem",
     "SaSetupBuffer))) {\n  }\n  RuntimeServices->ResetSystem", "reset"),
    ("SaSetup written back at the buffer's size", RESET,
     "Attributes, Size,", "Attributes, sizeof(SaSetupBuffer),", "reset"),
    ("the request byte left set", RESET,
     "SaSetupBuffer[SA_SETUP_COLD_RESET_REQUEST_OFFSET] = 0;", "SaSetupBuffer[SA_SETUP_COLD_RESET_REQUEST_OFFSET] = 1;",
     "reset"),
)


def build(arguments, build_dir, target):
    """Incremental; the build's output shows only when it fails."""
    result = subprocess.run([arguments.cmake, "--build", build_dir, "-j", "2", "--target", target],
                            capture_output=True, text=True)
    if result.returncode:
        print((result.stdout + result.stderr)[-3000:])
    return result.returncode == 0


def fuzz(copy, build_dir, target):
    """Seconds taken and the violation reported, or None when the run ended clean."""
    kind = target.split("-")[0]
    seeds = ",".join(str(path) for path in sorted((copy / "tests/fuzz/corpus" / kind).glob("*.txt")))
    artifacts = build_dir / "artifacts"
    artifacts.mkdir(exist_ok=True)
    start = time.monotonic()
    result = subprocess.run([build_dir / "tests/fuzz" / target, *RUN, f"-seed_inputs={seeds}",
                             f"-artifact_prefix={artifacts}/"],
                            capture_output=True, text=True)
    taken = time.monotonic() - start
    if result.returncode == 0:
        return taken, None
    lines = result.stderr.splitlines()
    for index, line in enumerate(lines):
        if line.startswith("fuzz: VIOLATION: "):
            return taken, line[len("fuzz: VIOLATION: "):]
        if "ERROR: AddressSanitizer" in line or "runtime error:" in line or "ERROR: libFuzzer" in line:
            return taken, line.strip()
    return taken, f"exit {result.returncode}: {lines[-1] if lines else ''}"


def fault_problem(arguments, copy, build_dir, row):
    """What is wrong with one row, or None; prints the row's outcome."""
    fault, name, old, new, target = row
    try:
        with faulted(copy, name, old, new):
            if not build(arguments, build_dir, target):
                return f"{fault}: the faulted copy does not build"
            taken, violation = fuzz(copy, build_dir, target)
    except FaultMissing as error:
        return f"{fault}: {error}"
    print(f"{fault} ({target}): {'found in %.1f s: %s' % (taken, violation) if violation else 'NOT FOUND'}",
          flush=True)
    return None if violation else f"{fault}: the bounded run reports no violation"


def main():
    parser = OneLineParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--source", type=pathlib.Path, default=pathlib.Path(__file__).resolve().parents[2],
                        help="the tree to copy (default: this one)")
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--compiler", default="clang++")
    arguments = parser.parse_args()
    missing = [tool for tool in (arguments.cmake, arguments.compiler) if not shutil.which(tool)]
    if missing:
        print(f"CheckFuzzFaults.py: not found: {', '.join(missing)}", file=sys.stderr)
        return 2
    targets = sorted({row[4] for row in FAULTS})
    with tempfile.TemporaryDirectory(prefix="fuzz-faults-") as directory:
        copy = pathlib.Path(directory) / "source"
        # The fuzz targets are built from the tests' folder.
        copy_tree(arguments.source, copy, TREE + ("tests",))
        build_dir = pathlib.Path(directory) / "build"
        subprocess.run([arguments.cmake, "-S", copy, "-B", build_dir, f"-DCMAKE_CXX_COMPILER={arguments.compiler}",
                        "-DOVMF_CODE=none"], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        unchanged = []
        for target in targets:
            if not build(arguments, build_dir, target):
                unchanged.append(f"the unchanged copy of {target} does not build")
                continue
            taken, violation = fuzz(copy, build_dir, target)
            print(f"unchanged sources ({target}): {violation or 'no violation'} in {taken:.1f} s", flush=True)
            if violation:
                unchanged.append(f"the unchanged copy of {target} reports: {violation}")
        if unchanged:
            for problem in unchanged:
                print(f"FAIL: {problem}")
            return 1
        problems = [problem for row in FAULTS if (problem := fault_problem(arguments, copy, build_dir, row))]
    for problem in problems:
        print(f"FAIL: {problem}")
    print(f"{len(FAULTS) - len(problems)} of {len(FAULTS)} deliberate faults found")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
