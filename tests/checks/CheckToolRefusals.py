#!/usr/bin/env python3
"""Checks that the figures' tools refuse what they cannot measure in one line
on stderr with exit status 2, before anything runs: boot_cost.py a run count
below one, driver_sizes.py a file that is not a PE image (this text file).
The scripts' refusals are not run here: one that regressed would start the
build, the test suite or the benchmark this check runs inside."""
import pathlib
import subprocess
import sys

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
REFUSALS = (
    ("no run to measure", ("boot_cost.py", "--runs", "0"), "--runs 0"),
    ("a negative run count", ("boot_cost.py", "--runs", "-3"), "--runs -3"),
    ("a text file as a driver image", ("driver_sizes.py", __file__), "is not a PE image"),
)


def main():
    problems = 0
    for what, (tool, *arguments), words in REFUSALS:
        result = subprocess.run([sys.executable, TOOLS / tool, *arguments], capture_output=True, text=True,
                                timeout=60)
        if result.returncode != 2 or len(result.stderr.splitlines()) != 1 or words not in result.stderr \
                or result.stdout:
            print(f"{what}: exit {result.returncode}, stdout {result.stdout[:200]!r}, stderr {result.stderr[-400:]!r}")
            problems += 1
        else:
            print(f"refused {what}: {result.stderr.strip()}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
