"""The road's machine: the setup chosen, where each device is plugged into
QEMU's xHCI controller, and QEMU's memory, controller and devices for it."""

from dataclasses import dataclass

from ovmf_qemu import MEMORY, MEMORY_WITH_HIGH_DIMM, make_stick, xhci_device
from road_board import RoadError

# QEMU's device for USB mass storage.
STORAGE_DEVICE = "usb-storage"


@dataclass(frozen=True)
class AttachmentKind:
    name: str
    option: str  # road.py's option that attaches one
    qemu_device: str
    interface_class: int  # the USB interface class QEMU's device presents
    once: bool  # the road has at most one
    help: str


# What can be attached to a connector, in the order the road attaches them.
ATTACHMENT_KINDS = (
    AttachmentKind("hub", "--hub", "usb-hub", 9, False,
                   "plug a USB hub into the connector's port; devices given for that port go behind it"),
    AttachmentKind("stick", "--stick", STORAGE_DEVICE, 8, False,
                   "plug a USB memory stick into the connector (repeatable)"),
    AttachmentKind("boot stick", "--boot-stick", STORAGE_DEVICE, 8, True,
                   "plug a bootable stick (\\EFI\\BOOT\\BOOTX64.EFI, a loader that says it ran) into the "
                   "connector, first in the firmware's boot order (once)"),
    AttachmentKind("keyboard", "--keyboard", "usb-kbd", 3, False,
                   "plug a USB keyboard into the connector (repeatable)"),
    AttachmentKind("hub-id stick", "--hub-id-stick", STORAGE_DEVICE, 8, True,
                   "plug a USB memory stick that claims the chipset hub's id 8087:0024 (once)"),
)
KINDS = {kind.name: kind for kind in ATTACHMENT_KINDS}
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
    """Every attachment with the QEMU port it goes to, hubs first: the
    on-board hubs the attachments behind them need (each on its root port,
    which then takes nothing else), then the hubs asked for, each on its
    connector's port, then the devices, behind the hub asked for on their port
    if there is one. Anything that would not fit is refused here, before
    QEMU is started."""
    behind = sorted({board.location(a.port)[0] for a in road.attachments if len(board.location(a.port)) == 2})
    placed = [Attachment("hub", None, root, str(root)) for root in behind]
    hubs = {}
    for a in road.attachments:
        if board.hub_itself(a.connector, a.port):
            raise RoadError(f'"{a.connector.label}" is an on-board hub itself: attach devices to the connectors '
                            "behind it")
        where = qemu_name(board, a.port)
        if a.kind == "hub" and where not in hubs:
            refuse_on_board_hub(where, behind, a)
            hubs[where] = []
            placed.append(Attachment("hub", a.connector, a.port, where))
    devices = {}
    for a in road.attachments:
        where = qemu_name(board, a.port)
        if a.kind == "hub":
            continue
        if where in hubs:
            if len(hubs[where]) == HUB_PORTS:
                raise RoadError(f'the hub on "{a.connector.label}" has {HUB_PORTS} ports: no more devices fit')
            hubs[where].append(a)
            where = f"{where}.{len(hubs[where])}"
        else:
            refuse_on_board_hub(where, behind, a)
            if where in devices:
                raise RoadError(f'QEMU port {where} takes one device, and the {devices[where].kind} on '
                                f'"{devices[where].connector.label}" is there: add --hub "{a.connector.label}" to '
                                "plug several")
            devices[where] = a
        placed.append(Attachment(a.kind, a.connector, a.port, where))
    return placed


def refuse_on_board_hub(where, behind, attachment):
    if where in map(str, behind):
        raise RoadError(f"root port {where} holds the on-board hub of the connectors behind it: the "
                        f'{attachment.kind} on "{attachment.connector.label}" cannot go there too')


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
        device = KINDS[a.kind].qemu_device
        if device == STORAGE_DEVICE:
            image = work / f"stick{number}.img"
            make_stick(image, f"road {a.kind} on {a.connector.label}", loader if a.kind == "boot stick" else None)
            arguments += ["-drive", f"if=none,id=stick{number},format=raw,file={image}"]
            device += f",drive=stick{number}"
            if ordered:
                device += f",bootindex={BOOT_STICK_INDEX if a.kind == 'boot stick' else OTHER_STICKS_INDEX + number}"
        arguments += ["-device", f"{device},bus=xhci.0,port={a.qemu_port}"]
    return arguments
