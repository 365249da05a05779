// The board: its physical USB connectors and how they are wired to the xHCI
// controller, where the controller and its port-disable registers sit, and
// the chipset's facts the drivers rely on. Every other part reads these facts
// from here: both drivers, the emulated board, and the host tools through the
// board description the build writes from this file.
#pragma once

#include "Uefi/Base.h"

// ---------------------------------------------------------------------------
// Chipset

// ACPI PM timer: 24 bits wide at 3.579545 MHz.
#define PM_TIMER_PORT 0x1808

// The chipset's integrated rate-matching hub presents this id.
#define CHIPSET_HUB_VENDOR_ID 0x8087
#define CHIPSET_HUB_PRODUCT_ID 0x0024

// ---------------------------------------------------------------------------
// The xHCI controller

// Memory-mapped PCI Express configuration space.
#define PCIE_CONFIG_BASE 0xC0000000ULL
#define PCIE_CONFIG_ADDRESS(Bus, Device, Function, Offset) \
  (PCIE_CONFIG_BASE + ((UINT64)(Bus) << 20) + ((UINT64)(Device) << 15) + ((UINT64)(Function) << 12) + (Offset))

#define XHCI_BUS 0
#define XHCI_DEVICE 0x14
#define XHCI_FUNCTION 0
#define XHCI_BAR0_LOW_ADDRESS PCIE_CONFIG_ADDRESS(XHCI_BUS, XHCI_DEVICE, XHCI_FUNCTION, 0x10)
#define XHCI_BAR0_HIGH_ADDRESS PCIE_CONFIG_ADDRESS(XHCI_BUS, XHCI_DEVICE, XHCI_FUNCTION, 0x14)
static_assert(XHCI_BAR0_LOW_ADDRESS == 0xC00A0010ULL, "xHCI BAR0 location");

// Port-disable registers, offsets from the controller's MMIO base: bit n - 1
// of the USB2 register switches off root port n (1-12), bits 0 and 1 of the
// USB3 register root ports 13 and 14.
#define XHCI_USB2_PORT_DISABLE_OFFSET 0x84F8
#define XHCI_USB3_PORT_DISABLE_OFFSET 0x84FC

// Text of the controller's device path, which every port prefix starts with.
#define XHCI_PATH "PciRoot(0x0)/Pci(0x14,0x0)/"

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

// CONNECTOR_DESCRIPTOR.Flags
#define CONNECTOR_FLAG_GROUPED 0x01
#define CONNECTOR_FLAG_GROUP_LEADER 0x02
#define CONNECTOR_FLAG_DISABLE_ALLOWED 0x04  // consulted for grouped connectors only
#define CONNECTOR_GROUP_SHIFT 5
#define CONNECTOR_GROUP_COUNT 8
#define CONNECTOR_GROUP(Group) ((Group) << CONNECTOR_GROUP_SHIFT)

// A connector of its own; setup may switch it off.
#define UNGROUPED 0x00
// The on-board hub (group 1) leads the connectors behind it; setup may
// switch off the hub and each of them.
#define HUB_GROUP_LEADER \
  (CONNECTOR_FLAG_GROUPED | CONNECTOR_FLAG_GROUP_LEADER | CONNECTOR_FLAG_DISABLE_ALLOWED | CONNECTOR_GROUP(1))
#define BEHIND_THE_HUB (CONNECTOR_FLAG_GROUPED | CONNECTOR_FLAG_DISABLE_ALLOWED | CONNECTOR_GROUP(1))

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

#define CONNECTOR_COUNT (sizeof(ConnectorTable) / sizeof(ConnectorTable[0]))
