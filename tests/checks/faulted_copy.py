"""What the self-checks that break a copy of the sources share: the copy, a
deliberate fault put into it for as long as it is judged, and bad arguments
refused in one line."""
import argparse
import contextlib
import shutil

# What configuring and building the tree needs.
TREE = ("CMakeLists.txt", "cmake", "include", "chipset", "support", "usb-connector-policy", "setup-reset",
        "emulated-board", "tools")


class OneLineParser(argparse.ArgumentParser):
    """Bad arguments: one line on stderr, exit status 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: {message}\n")


def copy_tree(source, copy, names=TREE):
    """The named files and folders of the source tree, copied into copy."""
    copy.mkdir(parents=True)
    for name in names:
        if (source / name).is_dir():
            shutil.copytree(source / name, copy / name, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy2(source / name, copy / name)


class FaultMissing(Exception):
    """The text a fault replaces is not in its file exactly once."""


@contextlib.contextmanager
def faulted(copy, name, old, new):
    """The copy's file name with old replaced by new while the block runs,
    as it was afterwards."""
    source = copy / name
    pristine = source.read_text()
    if pristine.count(old) != 1:
        raise FaultMissing(f"{old!r} occurs {pristine.count(old)} times in {name}, not once")
    source.write_text(pristine.replace(old, new))
    try:
        yield
    finally:
        source.write_text(pristine)
