// The shape of a board's wiring: port numbers, the ranges of ports wired
// alike, and the rows of the connector table. Each board's Board.h fills
// them in; the policy driver reads them through that file.
#pragma once

#include "Chipset.h"

// ---------------------------------------------------------------------------
// Which board

// The build names the board each file is compiled for in CHOSEN_BOARD, and
// each board's Board.h names its own wiring with BOARD_WIRING(name), so that
// a file finding another board's Board.h (a quoted #include finds the one
// next to the including file before the include path) stops the build
// instead of compiling that board's wiring.
#ifndef CHOSEN_BOARD
#error "CHOSEN_BOARD is not defined: the build names the board a file is compiled for"
#endif
#define BOARD_NAME_TEXT(Name) #Name
#define CHOSEN_BOARD_TEXT(Name) BOARD_NAME_TEXT(Name)
constexpr bool SameBoardName(const char *Left, const char *Right) {
  while (*Left != '\0' && *Left == *Right) {
    ++Left;
    ++Right;
  }
  return *Left == *Right;
}
#define BOARD_WIRING(Name)                                         \
  static_assert(SameBoardName(#Name, CHOSEN_BOARD_TEXT(CHOSEN_BOARD)), \
                "the " #Name " board's Board.h, in a file compiled for another board")

// ---------------------------------------------------------------------------
// Ports

// Port numbers are 1..PORT_NUMBER_MAX; this value means "no port" everywhere.
#define PORT_NONE 0xFF
#define PORT_NUMBER_MAX 64
#define PORTS_PER_CONNECTOR 3

// Which mask a port's disable action sets its bit in.
enum PORT_DISABLE_MASK {
  Usb2PortMask,     // the controller's USB2 ports
  Usb3PortMask,     // the controller's USB3 ports
  HubUsb2PortMask,  // the on-board hub's USB2 ports
  HubUsb3PortMask,  // the on-board hub's USB3 ports
  PortDisableMaskCount,
  NoPortMask = 0xFF
};

// Consecutive port numbers wired alike. A port's place in its range, from 0,
// is its bit in the range's mask and, behind a hub, its device-path port
// field; a root port's field is its number - 1.
struct PORT_RANGE {
  UINT8 FirstPort;
  UINT8 Count;
  UINT8 HubRootPort;  // root port of the hub the ports are behind; 0 for root ports
  UINT8 Mask;         // a PORT_DISABLE_MASK, or NoPortMask for ports that cannot be switched off
};

// ---------------------------------------------------------------------------
// Connectors

// CONNECTOR_DESCRIPTOR.Flags
#define CONNECTOR_FLAG_GROUPED 0x01
#define CONNECTOR_FLAG_GROUP_LEADER 0x02
#define CONNECTOR_FLAG_DISABLE_ALLOWED 0x04  // consulted for grouped connectors only
#define CONNECTOR_GROUP_SHIFT 5
#define CONNECTOR_GROUP_COUNT 8
#define CONNECTOR_GROUP(Group) ((Group) << CONNECTOR_GROUP_SHIFT)

#pragma pack(push, 1)
struct CONNECTOR_DESCRIPTOR {
  const CHAR8 *Label;
  const CHAR8 *Kind;
  UINT8 PortNumber[PORTS_PER_CONNECTOR];
  UINT8 Info[2];  // carried with the row; no logic reads them
  UINT8 Flags;
};
#pragma pack(pop)
static_assert(sizeof(CONNECTOR_DESCRIPTOR) == 22, "CONNECTOR_DESCRIPTOR is packed");

// Each board's Board.h defines ConnectorTable; row k is connector k.
#define CONNECTOR_COUNT (sizeof(ConnectorTable) / sizeof(ConnectorTable[0]))
