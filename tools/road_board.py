"""The board's facts, as the build wrote them from the board file into
build/board.json: connector rows, port ranges, the controller, the chipset
hub's id and the variables' layouts. Nothing here is derived by driver code;
what the facts imply for a setup is the judge's business (road_judge.py)."""

import json
from dataclasses import dataclass

from host_tool import ToolError

BOARD_DESCRIPTION = "board.json"


class RoadError(ToolError):
    """A refusal: one line, exit status 2."""


@dataclass(frozen=True)
class Connector:
    index: int
    label: str
    kind: str
    ports: tuple  # the row's port numbers, "no port" left out
    flags: int


@dataclass(frozen=True)
class PortRange:
    first_port: int
    count: int
    hub_root_port: int  # 0 for the controller's own root ports
    mask: object  # "usb2", "usb3", "hub_usb2", "hub_usb3", or None: cannot be switched off


# What the tools read of each part of the description; a description without
# one of them is from another version of the build.
REQUIRED = {"controller": ("bus", "device", "function", "root_ports", "usb2_port_disable_offset",
                           "usb3_port_disable_offset"),
            "setup": ("per_connector_mode",), "capabilities": ("attributes", "size"),
            "sa_setup": ("stored_attributes",)}


class Board:
    def __init__(self, description):
        for part, keys in REQUIRED.items():
            for key in keys:
                if not isinstance(description[part][key], int):
                    raise TypeError(f"{part}.{key} is not a number")
        self.name = str(description["board"])
        none = description["port_none"]
        self.connectors = tuple(Connector(c["index"], c["label"], c["kind"],
                                          tuple(p for p in c["ports"] if p != none), c["flags"])
                                for c in description["connectors"])
        self.ranges = tuple(PortRange(r["first_port"], r["count"], r["hub_root_port"], r["mask"])
                            for r in description["port_ranges"])
        self.controller = description["controller"]
        self.chipset_hub_id = tuple(description["chipset_hub_id"])
        self.setup = description["setup"]
        self.capabilities = description["capabilities"]
        self.sa_setup = description["sa_setup"]

    def port_range(self, port):
        """The range holding the port; None for a number the board gives no port."""
        for port_range in self.ranges:
            if port_range.first_port <= port < port_range.first_port + port_range.count:
                return port_range
        return None

    def location(self, port):
        """Where the port is on the USB tree: (root port,) for a root port,
        (root port, hub port) for a port of a hub on a root port, counted
        from 1; None for a number that is no port."""
        port_range = self.port_range(port)
        if port_range is None:
            return None
        if port_range.hub_root_port == 0:
            return (port,)
        return (port_range.hub_root_port, port - port_range.first_port + 1)

    def find(self, name):
        if name.isascii() and name.isdigit() and int(name) < len(self.connectors):
            return self.connectors[int(name)]
        for connector in self.connectors:
            if connector.label.lower() == name.lower():
                return connector
        labels = ", ".join(f'"{c.label}"' for c in self.connectors)
        raise RoadError(f"unknown connector {name!r}: use an index 0-{len(self.connectors) - 1} or one of {labels}")

    def place(self, text):
        """(connector, port) for CONNECTOR or CONNECTOR:PORT; a connector's
        device goes on its first port unless told otherwise."""
        name, colon, port = text.rpartition(":")
        if not colon:
            name, port = text, None
        connector = self.find(name)
        if not connector.ports:
            raise RoadError(f'connector "{connector.label}" has no port')
        if port is None:
            port = str(connector.ports[0])
        if not (port.isascii() and port.isdigit()) or int(port) not in connector.ports:
            raise RoadError(f'connector "{connector.label}" has ports {", ".join(map(str, connector.ports))}, '
                            f"not {port!r}")
        if self.location(int(port)) is None:
            raise RoadError(f'port {port} of "{connector.label}" leads nowhere a device can be plugged')
        return connector, int(port)

    def hub_itself(self, connector, port):
        """Whether the port is where an on-board hub sits that other
        connectors' hub ports are behind, and the connector's first port:
        the connector is that hub, and nothing plugs into it directly."""
        return port == connector.ports[0] and any(
            self.location(p) and len(self.location(p)) == 2 and self.location(p)[0] == port
            for c in self.connectors for p in c.ports)


def load_board(build_dir):
    path = build_dir / BOARD_DESCRIPTION
    rebuild = f"scripts/road.sh, or cmake --build {build_dir} --target BoardJson"
    if build_dir.exists() and not build_dir.is_dir():
        raise RoadError(f"the build folder {build_dir} is not a folder")
    try:
        return Board(json.loads(path.read_text()))
    except FileNotFoundError:
        raise RoadError(f"no board description at {path}: build it ({rebuild})") from None
    except OSError as error:
        raise RoadError(f"cannot read {path}: {error.strerror}") from None
    except (ValueError, KeyError, TypeError, AttributeError) as error:
        raise RoadError(f"{path} is not a board description of this tree ({type(error).__name__}: {error}): "
                        f"rebuild it ({rebuild})") from None
