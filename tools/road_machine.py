"""The road's machine: the setup chosen, where each device is plugged into
QEMU's xHCI controller, and QEMU's memory, controller and devices for it."""

from dataclasses import dataclass

from ovmf_qemu import MEMORY, MEMORY_WITH_HIGH_DIMM, make_stick, xhci_device
from road_board import RoadError

# What can be attached to a connector, and QEMU's device for it.
QEMU_DEVICES = {"stick": "usb-storage", "boot stick": "usb-storage", "hub-id stick": "usb-storage",
                "keyboard": "usb-kbd", "hub": "usb-hub"}
MASS_STORAGE_KINDS = ("stick", "boot stick", "hub-id stick")
# A USB hub in QEMU has eight ports.
HUB_PORTS = 8
# BAR0 of the controller, as the stand-in offers it: memory BARs, then BARs
# that name no register window.
BARS = ("32-bit", "64-bit", "64-bit-prefetchable", "io", "zero", "absent")
# Those whose window, or the place all-ones would name, lies above 4 GiB.
HIGH_BARS = ("64-bit", "64-bit-prefetchable", "absent")


@dataclass(frozen=True)
class Attachment:
    kind: str
    connector: object  # road_board.Connector
    port: int  # the board's port number
    qemu_port: str = ""  # QEMU's name of where it is plugged: "8", "1.2"


@dataclass
class Road:
    mode: int
    disabled: list  # connectors switched off in Setup
    attachments: list  # Attachment, as asked for
    reset_request: int  # SaSetup's request byte; 0 for none
    sleep: bool
    bar: str


def placements(road, board):
    """Every attachment with the QEMU port it goes to, hubs first: the hubs a
    device behind one of the board's hubs needs (on that hub's root port, which
    then takes no device of its own), then the hubs asked for, then the
    devices. A hub asked for on a connector takes the devices given for it."""
    behind = sorted({board.location(a.port)[0] for a in road.attachments
                     if a.kind != "hub" and len(board.location(a.port)) == 2})
    asked = {}
    for a in road.attachments:
        if a.kind == "hub":
            asked.setdefault(a.connector, a)
    placed = [Attachment("hub", None, root, str(root)) for root in behind]
    placed += [Attachment("hub", a.connector, a.port, qemu_name(board, a.port)) for a in asked.values()]
    used = {}
    for a in road.attachments:
        if a.kind == "hub":
            continue
        if board.hub_itself(a.connector, a.port):
            raise RoadError(f'"{a.connector.label}" is an on-board hub itself: attach devices to the connectors '
                            "behind it")
        if a.connector in asked:
            hub = qemu_name(board, a.port)
            used[hub] = used.get(hub, 0) + 1
            if used[hub] > HUB_PORTS:
                raise RoadError(f'the hub on "{a.connector.label}" has {HUB_PORTS} ports: no more devices fit')
            placed.append(Attachment(a.kind, a.connector, a.port, f"{hub}.{used[hub]}"))
            continue
        where = qemu_name(board, a.port)
        if where in map(str, behind):
            raise RoadError(f'root port {where} holds the hub of the connectors behind it: "{a.connector.label}" '
                            "cannot take a device there too")
        if where in used:
            raise RoadError(f'port {where} takes one device; add --hub "{a.connector.label}" to plug several')
        used[where] = 1
        placed.append(Attachment(a.kind, a.connector, a.port, where))
    return placed


def qemu_name(board, port):
    """QEMU's name of the board's port: the emulated controller's root port n
    is QEMU's port n, and a hub's port k on it is "n.k"."""
    location = board.location(port)
    if location is None:
        raise RoadError(f"port {port} leads nowhere a device can be plugged")
    return ".".join(map(str, location))


# QEMU's boot order, used only when a boot stick is plugged. As soon as any
# device has a bootindex OVMF drops every boot option QEMU's order does not
# name and connects only the devices it names, so the boot folder (after the
# boot stick) and every other stick (for its file system) are named too.
BOOT_STICK_INDEX = 0
BOOT_FOLDER_INDEX = 100
OTHER_STICKS_INDEX = 101


def boot_folder_index(placed):
    """The boot folder's place in QEMU's boot order; None without a boot stick."""
    return BOOT_FOLDER_INDEX if any(a.kind == "boot stick" for a in placed) else None


def qemu_arguments(road, board, placed, work, loader):
    """QEMU's memory, controller and devices, with a FAT image for each stick
    (holding the loader for a boot stick)."""
    arguments = [*(MEMORY_WITH_HIGH_DIMM if road.bar in HIGH_BARS else MEMORY), "-device",
                 xhci_device(board.controller)]
    ordered = boot_folder_index(placed) is not None
    for number, a in enumerate(placed):
        device = QEMU_DEVICES[a.kind]
        if a.kind in MASS_STORAGE_KINDS:
            image = work / f"stick{number}.img"
            make_stick(image, f"road {a.kind} on {a.connector.label}", loader if a.kind == "boot stick" else None)
            arguments += ["-drive", f"if=none,id=stick{number},format=raw,file={image}"]
            device += f",drive=stick{number}"
            if ordered:
                device += f",bootindex={BOOT_STICK_INDEX if a.kind == 'boot stick' else OTHER_STICKS_INDEX + number}"
        arguments += ["-device", f"{device},bus=xhci.0,port={a.qemu_port}"]
    return arguments
