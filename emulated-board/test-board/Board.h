// The emulated board's test board, never shipped: the product board's
// controller and hubs, with connectors on the switchable ports of the hubs on
// root ports 2 and 14 (38-41 their USB2 side, 42-45 their USB3 side) next to
// ordinary root ports, so that the road reaches the hub port protocol. Chosen
// with BOARD=test when configuring; the host tests keep the product board.
#pragma once

#include "BoardTypes.h"
BOARD_WIRING(test);

inline constexpr PORT_RANGE PortRanges[] = {
    {1, 12, 0, Usb2PortMask},
    {13, 2, 0, Usb3PortMask},
    {30, 4, 1, NoPortMask},
    {34, 4, 13, NoPortMask},
    {38, 4, 2, HubUsb2PortMask},
    {42, 4, 14, HubUsb3PortMask},
};

#define DOCK_LEADER (CONNECTOR_FLAG_GROUPED | CONNECTOR_FLAG_GROUP_LEADER | CONNECTOR_FLAG_DISABLE_ALLOWED | CONNECTOR_GROUP(2))
#define BEHIND_THE_DOCK (CONNECTOR_FLAG_GROUPED | CONNECTOR_FLAG_DISABLE_ALLOWED | CONNECTOR_GROUP(2))
// Grouped, but setup may not switch its ports off: storage there is still
// blocked.
#define BEHIND_THE_DOCK_FIXED (CONNECTOR_FLAG_GROUPED | CONNECTOR_GROUP(2))

// "Dock" is the hub pair itself, on root ports 2 and 14; D1-D4 are its
// ports. The rows use the hub places in every shape the hub protocol has to
// get right: D1's USB2 and USB3 sides are on different hub ports, D2 has a
// USB3 side only, D3 may not be switched off, and D4 is on hub port 4 on
// both sides. The USB2 side's port 2 (39) is left unused.
inline constexpr CONNECTOR_DESCRIPTOR ConnectorTable[] = {
    {"Dock", "USB 3.2 Gen1", {2, 14, PORT_NONE}, {0x00, 1}, DOCK_LEADER},
    {"D1", "USB 3.2 Gen1", {38, 43, PORT_NONE}, {0xFF, 4}, BEHIND_THE_DOCK},
    {"D2", "USB 3.2 Gen1", {44, PORT_NONE, PORT_NONE}, {0xFF, 4}, BEHIND_THE_DOCK},
    {"D3", "USB 3.2 Gen1", {40, 42, PORT_NONE}, {0xFF, 4}, BEHIND_THE_DOCK_FIXED},
    {"D4", "USB 3.2 Gen1", {41, 45, PORT_NONE}, {0xFF, 4}, BEHIND_THE_DOCK},
    {"A3", "USB 2.0", {3, PORT_NONE, PORT_NONE}, {0x03, 1}, 0x00},
    {"USB2_1p", "USB 2.0", {8, PORT_NONE, PORT_NONE}, {0x03, 1}, 0x00},
};
