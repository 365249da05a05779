// A board made for the fuzzer, never built into an image: what the product
// and test boards do not have. Hubs on other root ports (one with 16 ports,
// whose fields run to 0xF, one on a root port with a letter field), a member
// listed before its group's leader, grouped connectors that may not be
// switched off (a leader among them), hub-only connectors, ports with no
// path, a row with no port, and root ports shared by several rows.
#pragma once

#include "BoardTypes.h"
BOARD_WIRING(fuzz);

inline constexpr PORT_RANGE PortRanges[] = {
    {1, 12, 0, Usb2PortMask},
    {13, 2, 0, Usb3PortMask},
    {16, 4, 3, HubUsb2PortMask},
    {20, 3, 9, NoPortMask},
    {24, 4, 13, HubUsb3PortMask},
    {40, 16, 11, NoPortMask},
};

#define FUZZ_MEMBER(Group) (CONNECTOR_FLAG_GROUPED | CONNECTOR_FLAG_DISABLE_ALLOWED | CONNECTOR_GROUP(Group))
#define FUZZ_FIXED_MEMBER(Group) (CONNECTOR_FLAG_GROUPED | CONNECTOR_GROUP(Group))
#define FUZZ_LEADER(Group) (FUZZ_MEMBER(Group) | CONNECTOR_FLAG_GROUP_LEADER)
#define FUZZ_FIXED_LEADER(Group) (FUZZ_FIXED_MEMBER(Group) | CONNECTOR_FLAG_GROUP_LEADER)

inline constexpr CONNECTOR_DESCRIPTOR ConnectorTable[] = {
    {"Early member", "USB 3.2 Gen1", {16, 24, PORT_NONE}, {0xFF, 4}, FUZZ_MEMBER(2)},
    {"Leader", "USB 3.2 Gen1", {3, 13, PORT_NONE}, {0x00, 1}, FUZZ_LEADER(2)},
    {"Fixed member", "USB 3.2 Gen1", {17, 25, PORT_NONE}, {0xFF, 4}, FUZZ_FIXED_MEMBER(2)},
    {"Root 12", "USB 2.0", {12, PORT_NONE, PORT_NONE}, {0x03, 1}, 0x00},
    {"Pathless", "USB 2.0", {15, 29, 64}, {0x03, 1}, 0x00},
    {"No port", "USB 2.0", {PORT_NONE, PORT_NONE, PORT_NONE}, {0x03, 1}, 0x00},
    {"Grouped, no port", "USB 2.0", {PORT_NONE, PORT_NONE, PORT_NONE}, {0xFF, 1}, FUZZ_MEMBER(5)},
    {"Wide hub", "USB 2.0", {40, 55, PORT_NONE}, {0x03, 1}, 0x00},
    {"Hub only", "USB 3.2 Gen1", {18, 19, 26}, {0xFF, 4}, 0x00},
    {"Pair", "USB 3.2 Gen2", {14, 9, PORT_NONE}, {0x01, 4}, 0x00},
    {"Behind hub 9", "USB 2.0", {20, PORT_NONE, PORT_NONE}, {0xFF, 1}, FUZZ_MEMBER(7)},
    {"Fixed leader", "USB 2.0", {11, PORT_NONE, PORT_NONE}, {0x00, 1}, FUZZ_FIXED_LEADER(7)},
    {"Mixed", "USB 2.0", {2, PORT_NONE, 27}, {0x03, 1}, 0x00},
    {"Root 1", "USB 2.0", {1, PORT_NONE, PORT_NONE}, {0x03, 1}, 0x00},
    {"Shared 3", "USB 2.0", {3, PORT_NONE, PORT_NONE}, {0x03, 1}, 0x00},
};
