// What the driver derives from the board: the device-path text prefix by
// which a device on each port is recognised, the published capability block
// and the rows' port numbers.
#include "Protocol/HubPortDisable.h"
#include "UsbConnectorPolicy.h"

SEEN_HANDLE_SLOT SeenHandleTable[SEEN_HANDLE_TABLE_SIZE];
UINTN SeenHandleCount;

CHAR16 PortPathText[PORT_NUMBER_MAX][PORT_PATH_SIZE];
static CHAR16 EmptyPath[1];

static constexpr bool PortRangesValid() {
  UINTN NextFree = 1;
  for (const PORT_RANGE &Range : PortRanges) {
    const UINTN LastPort = Range.FirstPort + Range.Count - 1;
    // In order and apart, so a number is in one range at most.
    if (Range.Count == 0 || Range.FirstPort < NextFree || LastPort > PORT_NUMBER_MAX) {
      return false;
    }
    // Root ports the controller has, so every port field is one hex digit;
    // every bit inside a 16-bit mask.
    if ((Range.HubRootPort == 0 ? LastPort : Range.HubRootPort) > XHCI_ROOT_PORT_COUNT || Range.Count > 16 ||
        (Range.Mask >= PortDisableMaskCount && Range.Mask != NoPortMask)) {
      return false;
    }
    // The hub protocol switches its ports 1-4 only: a fifth would stay on.
    if ((Range.Mask == HubUsb2PortMask || Range.Mask == HubUsb3PortMask) && Range.Count > HUB_PORT_DISABLE_PORT_COUNT) {
      return false;
    }
    NextFree = LastPort + 1;
  }
  return true;
}
static_assert(PortRangesValid(), "port ranges in order, apart, in range, with one-digit fields, hub ranges the hub "
                                 "protocol covers");

// A root port's prefix is the template up to the comma after its USB node;
// a hub port's is all of it. Each prefix ends with the comma after the port
// field of its last USB node, so USB(0x1, never matches USB(0x10,.
static const CHAR8 PortPathTemplate[] = XHCI_PATH "USB(0x?,0x0)/USB(0x?,";
#define ROOT_FIELD_INDEX (sizeof(XHCI_PATH) - 1 + sizeof("USB(0x") - 1)
#define ROOT_PORT_PATH_LENGTH (ROOT_FIELD_INDEX + sizeof("?,") - 1)
#define HUB_FIELD_INDEX (sizeof(PortPathTemplate) - sizeof("?,"))
static_assert(sizeof(PortPathTemplate) == PORT_PATH_SIZE, "PortPathText holds the longest prefix");

static CHAR16 HexDigit(UINTN Value) { return (CHAR16)"0123456789ABCDEF"[Value]; }

// Needs nothing but constant data, so it cannot fail.
VOID BuildPortPaths() {
  for (const PORT_RANGE &Range : PortRanges) {
    for (UINTN Place = 0; Place < Range.Count; Place++) {
      const UINTN Port = Range.FirstPort + Place;
      CHAR16 *Path = PortPathText[Port - 1];
      for (UINTN Index = 0; Index < sizeof(PortPathTemplate); Index++) {
        Path[Index] = (CHAR16)PortPathTemplate[Index];
      }
      if (Range.HubRootPort == 0) {
        Path[ROOT_FIELD_INDEX] = HexDigit(Port - 1);
        Path[ROOT_PORT_PATH_LENGTH] = 0;
      } else {
        Path[ROOT_FIELD_INDEX] = HexDigit(Range.HubRootPort - 1);
        Path[HUB_FIELD_INDEX] = HexDigit(Place);
      }
    }
  }
}

static constexpr bool PortNumberValid(UINT8 Port) {
  return Port == PORT_NONE || (Port >= 1 && Port <= PORT_NUMBER_MAX);
}

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

// The capability bytes follow from the rows alone, never from setup, so the
// compiler works them out. A grouped member listed before its leader takes
// whatever the group held then (0 before any leader).
static constexpr USB_CONNECTOR_CAPABILITIES BuildCapabilities() {
  USB_CONNECTOR_CAPABILITIES Block = {};
  UINT8 LeaderIndex[CONNECTOR_GROUP_COUNT] = {};
  for (UINT8 Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    const CONNECTOR_DESCRIPTOR &Row = ConnectorTable[Connector];
    const bool Grouped = (Row.Flags & CONNECTOR_FLAG_GROUPED) != 0;
    Block.Present[Connector] = Grouped;
    for (UINT8 Port : Row.PortNumber) {
      Block.Present[Connector] |= Port != PORT_NONE;
    }
    Block.Disableable[Connector] = 1;
    if (Grouped) {
      const UINT8 Group = Row.Flags >> CONNECTOR_GROUP_SHIFT;
      if ((Row.Flags & CONNECTOR_FLAG_GROUP_LEADER) != 0) {
        LeaderIndex[Group] = Connector;
      } else {
        Block.GroupMember[Connector] = 1;
      }
      Block.Disableable[Connector] = (Row.Flags & CONNECTOR_FLAG_DISABLE_ALLOWED) != 0;
      Block.GroupLeader[Connector] = LeaderIndex[Group];
    }
  }
  return Block;
}
constexpr USB_CONNECTOR_CAPABILITIES BoardCapabilities = BuildCapabilities();

static constexpr CONNECTOR_PORT_NUMBERS CopyPortNumbers() {
  CONNECTOR_PORT_NUMBERS Copy = {};
  for (UINTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    for (UINTN Slot = 0; Slot < PORTS_PER_CONNECTOR; Slot++) {
      Copy.Port[Connector][Slot] = ConnectorTable[Connector].PortNumber[Slot];
    }
  }
  return Copy;
}
constexpr CONNECTOR_PORT_NUMBERS ConnectorPortNumbers = CopyPortNumbers();

// Empty for numbers in no range: their storage is never written.
CHAR16 *GetPortPath(UINTN PortNumber) {
  if (PortNumber < 1 || PortNumber > PORT_NUMBER_MAX) {
    return EmptyPath;
  }
  return PortPathText[PortNumber - 1];
}

