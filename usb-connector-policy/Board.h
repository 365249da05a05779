// The board's wiring: its physical USB connectors and how their ports reach
// the chipset's xHCI controller (chipset/Chipset.h). Every other part reads
// these facts from here: the policy driver, the emulated board, and the host
// tools through the board description the build writes from this file.
#pragma once

#include "BoardTypes.h"
BOARD_WIRING(product);

// ---------------------------------------------------------------------------
// Ports

// Root ports 1-14 are the controller's own; 30-45 are the four downstream
// ports of the hubs on root ports 1, 13, 2 and 14. Ports 30-37 are
// recognised but cannot be switched off. Numbers in no range have neither
// path nor action.
inline constexpr PORT_RANGE PortRanges[] = {
    {1, 12, 0, Usb2PortMask},
    {13, 2, 0, Usb3PortMask},
    {30, 4, 1, NoPortMask},
    {34, 4, 13, NoPortMask},
    {38, 4, 2, HubUsb2PortMask},
    {42, 4, 14, HubUsb3PortMask},
};

// ---------------------------------------------------------------------------
// Connectors

// A connector of its own; setup may switch it off.
#define UNGROUPED 0x00
// The on-board hub (group 1) leads the connectors behind it; setup may
// switch off the hub and each of them.
#define HUB_GROUP_LEADER \
  (CONNECTOR_FLAG_GROUPED | CONNECTOR_FLAG_GROUP_LEADER | CONNECTOR_FLAG_DISABLE_ALLOWED | CONNECTOR_GROUP(1))
#define BEHIND_THE_HUB (CONNECTOR_FLAG_GROUPED | CONNECTOR_FLAG_DISABLE_ALLOWED | CONNECTOR_GROUP(1))

// Row k is connector k everywhere else. Row 0's second port (15) has no path
// and no action. Root port 13 is both A1's second port and the upstream port
// of the hub behind ports 34-37; root port 2 is both the M.2 slot's port and
// the upstream port of the hub behind ports 38-41.
inline constexpr CONNECTOR_DESCRIPTOR ConnectorTable[] = {
    {"Hub 1", "USB 3.2 Gen1", {1, 15, PORT_NONE}, {0x00, 1}, HUB_GROUP_LEADER},
    {"B1", "USB 3.2 Gen1", {30, 34, PORT_NONE}, {0xFF, 4}, BEHIND_THE_HUB},
    {"B2", "USB 3.2 Gen1", {31, 35, PORT_NONE}, {0xFF, 4}, BEHIND_THE_HUB},
    {"USB-A", "USB 3.2 Gen1", {32, 36, PORT_NONE}, {0xFF, 8}, BEHIND_THE_HUB},
    {"USB-C", "USB 3.2 Gen1", {33, 37, PORT_NONE}, {0xFF, 8}, BEHIND_THE_HUB},
    {"M.2 Key-E", "USB 2.0", {2, PORT_NONE, PORT_NONE}, {0xFF, 1}, UNGROUPED},
    {"A1", "USB 3.2 Gen2", {3, 13, PORT_NONE}, {0x01, 4}, UNGROUPED},
    {"A2", "USB 3.2 Gen2", {4, 14, PORT_NONE}, {0x01, 4}, UNGROUPED},
    {"USB2_2p #1", "USB 2.0", {5, PORT_NONE, PORT_NONE}, {0x03, 1}, UNGROUPED},
    {"USB2_2p #2", "USB 2.0", {6, PORT_NONE, PORT_NONE}, {0x03, 1}, UNGROUPED},
    {"USB2_1p", "USB 2.0", {8, PORT_NONE, PORT_NONE}, {0x03, 1}, UNGROUPED},
};
