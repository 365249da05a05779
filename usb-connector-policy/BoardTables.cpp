// The board's USB wiring: which xHCI port each connector uses, how a device
// on a port is recognised from its device-path text, and how the port is
// switched off.
#include "UsbConnectorPolicy.h"

UINT16 Usb2PortDisableMask;
UINT16 Usb3PortDisableMask;
UINT16 HubUsb2PortDisableMask;
UINT16 HubUsb3PortDisableMask;

SEEN_HANDLE_SLOT SeenHandleTable[SEEN_HANDLE_TABLE_SIZE];
UINTN SeenHandleCount;

// Each prefix ends with the comma after the port field of its last USB node,
// so USB(0x1, never matches USB(0x10,. The strings are upper-cased in place
// while matching, hence writable.
#define XHCI_PATH u"PciRoot(0x0)/Pci(0x14,0x0)/"
static CHAR16 EmptyPath[] = u"";

static CHAR16 Port1Path[] = XHCI_PATH u"USB(0x0,";
static CHAR16 Port2Path[] = XHCI_PATH u"USB(0x1,";
static CHAR16 Port3Path[] = XHCI_PATH u"USB(0x2,";
static CHAR16 Port4Path[] = XHCI_PATH u"USB(0x3,";
static CHAR16 Port5Path[] = XHCI_PATH u"USB(0x4,";
static CHAR16 Port6Path[] = XHCI_PATH u"USB(0x5,";
static CHAR16 Port7Path[] = XHCI_PATH u"USB(0x6,";
static CHAR16 Port8Path[] = XHCI_PATH u"USB(0x7,";
static CHAR16 Port9Path[] = XHCI_PATH u"USB(0x8,";
static CHAR16 Port10Path[] = XHCI_PATH u"USB(0x9,";
static CHAR16 Port11Path[] = XHCI_PATH u"USB(0xA,";
static CHAR16 Port12Path[] = XHCI_PATH u"USB(0xB,";
static CHAR16 Port13Path[] = XHCI_PATH u"USB(0xC,";
static CHAR16 Port14Path[] = XHCI_PATH u"USB(0xD,";
static CHAR16 Port30Path[] = XHCI_PATH u"USB(0x0,0x0)/USB(0x0,";
static CHAR16 Port31Path[] = XHCI_PATH u"USB(0x0,0x0)/USB(0x1,";
static CHAR16 Port32Path[] = XHCI_PATH u"USB(0x0,0x0)/USB(0x2,";
static CHAR16 Port33Path[] = XHCI_PATH u"USB(0x0,0x0)/USB(0x3,";
static CHAR16 Port34Path[] = XHCI_PATH u"USB(0xC,0x0)/USB(0x0,";
static CHAR16 Port35Path[] = XHCI_PATH u"USB(0xC,0x0)/USB(0x1,";
static CHAR16 Port36Path[] = XHCI_PATH u"USB(0xC,0x0)/USB(0x2,";
static CHAR16 Port37Path[] = XHCI_PATH u"USB(0xC,0x0)/USB(0x3,";
static CHAR16 Port38Path[] = XHCI_PATH u"USB(0x1,0x0)/USB(0x0,";
static CHAR16 Port39Path[] = XHCI_PATH u"USB(0x1,0x0)/USB(0x1,";
static CHAR16 Port40Path[] = XHCI_PATH u"USB(0x1,0x0)/USB(0x2,";
static CHAR16 Port41Path[] = XHCI_PATH u"USB(0x1,0x0)/USB(0x3,";
static CHAR16 Port42Path[] = XHCI_PATH u"USB(0xD,0x0)/USB(0x0,";
static CHAR16 Port43Path[] = XHCI_PATH u"USB(0xD,0x0)/USB(0x1,";
static CHAR16 Port44Path[] = XHCI_PATH u"USB(0xD,0x0)/USB(0x2,";
static CHAR16 Port45Path[] = XHCI_PATH u"USB(0xD,0x0)/USB(0x3,";

// Root ports 1-14 are the controller's own (device-path port field = port - 1);
// 30-45 are the four downstream ports of the hubs on root ports 1, 13, 2
// and 14. Ports 30-37 are recognised but cannot be switched off.
const PORT_MAP_ENTRY PortMap[PORT_MAP_SIZE] = {
    {Port1Path, &Usb2PortDisableMask, 1U << 0},
    {Port2Path, &Usb2PortDisableMask, 1U << 1},
    {Port3Path, &Usb2PortDisableMask, 1U << 2},
    {Port4Path, &Usb2PortDisableMask, 1U << 3},
    {Port5Path, &Usb2PortDisableMask, 1U << 4},
    {Port6Path, &Usb2PortDisableMask, 1U << 5},
    {Port7Path, &Usb2PortDisableMask, 1U << 6},
    {Port8Path, &Usb2PortDisableMask, 1U << 7},
    {Port9Path, &Usb2PortDisableMask, 1U << 8},
    {Port10Path, &Usb2PortDisableMask, 1U << 9},
    {Port11Path, &Usb2PortDisableMask, 1U << 10},
    {Port12Path, &Usb2PortDisableMask, 1U << 11},
    {Port13Path, &Usb3PortDisableMask, 1U << 0},
    {Port14Path, &Usb3PortDisableMask, 1U << 1},
    {nullptr, nullptr, 0},  // port 15
    {nullptr, nullptr, 0},  // port 16
    {nullptr, nullptr, 0},  // port 17
    {nullptr, nullptr, 0},  // port 18
    {nullptr, nullptr, 0},  // port 19
    {nullptr, nullptr, 0},  // port 20
    {nullptr, nullptr, 0},  // port 21
    {nullptr, nullptr, 0},  // port 22
    {nullptr, nullptr, 0},  // port 23
    {nullptr, nullptr, 0},  // port 24
    {nullptr, nullptr, 0},  // port 25
    {nullptr, nullptr, 0},  // port 26
    {nullptr, nullptr, 0},  // port 27
    {nullptr, nullptr, 0},  // port 28
    {nullptr, nullptr, 0},  // port 29
    {Port30Path, nullptr, 0},
    {Port31Path, nullptr, 0},
    {Port32Path, nullptr, 0},
    {Port33Path, nullptr, 0},
    {Port34Path, nullptr, 0},
    {Port35Path, nullptr, 0},
    {Port36Path, nullptr, 0},
    {Port37Path, nullptr, 0},
    {Port38Path, &HubUsb2PortDisableMask, 1U << 0},
    {Port39Path, &HubUsb2PortDisableMask, 1U << 1},
    {Port40Path, &HubUsb2PortDisableMask, 1U << 2},
    {Port41Path, &HubUsb2PortDisableMask, 1U << 3},
    {Port42Path, &HubUsb3PortDisableMask, 1U << 0},
    {Port43Path, &HubUsb3PortDisableMask, 1U << 1},
    {Port44Path, &HubUsb3PortDisableMask, 1U << 2},
    {Port45Path, &HubUsb3PortDisableMask, 1U << 3},
    {nullptr, nullptr, 0},  // port 46
    {nullptr, nullptr, 0},  // port 47
    {nullptr, nullptr, 0},  // port 48
    {nullptr, nullptr, 0},  // port 49
    {nullptr, nullptr, 0},  // port 50
    {nullptr, nullptr, 0},  // port 51
    {nullptr, nullptr, 0},  // port 52
    {nullptr, nullptr, 0},  // port 53
    {nullptr, nullptr, 0},  // port 54
    {nullptr, nullptr, 0},  // port 55
    {nullptr, nullptr, 0},  // port 56
    {nullptr, nullptr, 0},  // port 57
    {nullptr, nullptr, 0},  // port 58
    {nullptr, nullptr, 0},  // port 59
    {nullptr, nullptr, 0},  // port 60
    {nullptr, nullptr, 0},  // port 61
    {nullptr, nullptr, 0},  // port 62
    {nullptr, nullptr, 0},  // port 63
    {nullptr, nullptr, 0},  // port 64
};

// Row k is connector k everywhere else. Row 0's second port (15) has no path
// and no action. Root port 13 is both A1's second port and the upstream port
// of the hub behind ports 34-37; root port 2 is both the M.2 slot's port and
// the upstream port of the hub behind ports 38-41.
constexpr CONNECTOR_DESCRIPTOR ConnectorTable[CONNECTOR_COUNT] = {
    {"Hub 1", "USB 3.2 Gen1", {1, 15, PORT_NONE}, {0x00, 1}, 0x27},  // group 1 leader
    {"B1", "USB 3.2 Gen1", {30, 34, PORT_NONE}, {0xFF, 4}, 0x25},
    {"B2", "USB 3.2 Gen1", {31, 35, PORT_NONE}, {0xFF, 4}, 0x25},
    {"USB-A", "USB 3.2 Gen1", {32, 36, PORT_NONE}, {0xFF, 8}, 0x25},
    {"USB-C", "USB 3.2 Gen1", {33, 37, PORT_NONE}, {0xFF, 8}, 0x25},
    {"M.2 Key-E", "USB 2.0", {2, PORT_NONE, PORT_NONE}, {0xFF, 1}, 0x00},
    {"A1", "USB 3.2 Gen2", {3, 13, PORT_NONE}, {0x01, 4}, 0x00},
    {"A2", "USB 3.2 Gen2", {4, 14, PORT_NONE}, {0x01, 4}, 0x00},
    {"USB2_2p #1", "USB 2.0", {5, PORT_NONE, PORT_NONE}, {0x03, 1}, 0x00},
    {"USB2_2p #2", "USB 2.0", {6, PORT_NONE, PORT_NONE}, {0x03, 1}, 0x00},
    {"USB2_1p", "USB 2.0", {8, PORT_NONE, PORT_NONE}, {0x03, 1}, 0x00},
};

static constexpr bool PortNumberValid(UINT8 Port) { return Port == PORT_NONE || (Port >= 1 && Port <= PORT_MAP_SIZE); }

static constexpr bool ConnectorTableValid() {
  for (const CONNECTOR_DESCRIPTOR &Row : ConnectorTable) {
    for (UINT8 Port : Row.PortNumber) {
      if (!PortNumberValid(Port)) {
        return false;
      }
    }
    if ((Row.Flags & 0x18) != 0) {
      return false;
    }
  }
  return true;
}
static_assert(ConnectorTableValid(), "port numbers in range, flag bits 3-4 clear");

static const PORT_MAP_ENTRY *PortMapEntry(UINTN PortNumber) {
  if (PortNumber < 1 || PortNumber > PORT_MAP_SIZE) {
    return nullptr;
  }
  return &PortMap[PortNumber - 1];
}

CHAR16 *GetPortPath(UINTN PortNumber) {
  const PORT_MAP_ENTRY *Entry = PortMapEntry(PortNumber);
  return (Entry != nullptr && Entry->Path != nullptr) ? Entry->Path : EmptyPath;
}

VOID DisablePort(UINTN PortNumber) {
  const PORT_MAP_ENTRY *Entry = PortMapEntry(PortNumber);
  if (Entry != nullptr && Entry->DisableMask != nullptr) {
    *Entry->DisableMask |= Entry->DisableBit;
  }
}
