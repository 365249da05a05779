// State and routines of UsbConnectorPolicyDxe shared by its entry,
// device-arrival and ready-to-boot code.
#pragma once

#include "Protocol/DevicePathToText.h"
#include "Protocol/S3SaveState.h"
#include "Uefi/SystemTable.h"

// ---------------------------------------------------------------------------
// Board description

// Port numbers are 1..PORT_NUMBER_MAX; this value means "no port" everywhere.
#define PORT_NONE 0xFF
#define PORT_NUMBER_MAX 64
#define PORTS_PER_CONNECTOR 3
#define CONNECTOR_COUNT 11

// CONNECTOR_DESCRIPTOR.Flags
#define CONNECTOR_FLAG_GROUPED 0x01
#define CONNECTOR_FLAG_GROUP_LEADER 0x02
#define CONNECTOR_FLAG_DISABLE_ALLOWED 0x04
#define CONNECTOR_GROUP_SHIFT 5
#define CONNECTOR_GROUP_COUNT 8

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

extern const CONNECTOR_DESCRIPTOR ConnectorTable[CONNECTOR_COUNT];

// The rows' port numbers, copied at compile time: the one part of the table
// read at run time. Code reads the ports from here, so no code reads the
// table itself and the linker keeps its labels, kinds and info bytes out of
// the image.
struct CONNECTOR_PORT_NUMBERS {
  UINT8 Port[CONNECTOR_COUNT][PORTS_PER_CONNECTOR];
};
extern const CONNECTOR_PORT_NUMBERS ConnectorPortNumbers;

// Which mask a port's disable action sets its bit in.
enum PORT_DISABLE_MASK {
  Usb2PortMask,     // the controller's USB2 ports
  Usb3PortMask,     // the controller's USB3 ports
  HubUsb2PortMask,  // the on-board hub's USB2 ports
  HubUsb3PortMask,  // the on-board hub's USB3 ports
  PortDisableMaskCount,
  NoPortMask = 0xFF
};

// Only ever OR-ed, never cleared. Held in one array so a port's action is
// an index; the names below are that array's elements.
extern UINT16 PortDisableMasks[PortDisableMaskCount];
inline UINT16 &Usb2PortDisableMask = PortDisableMasks[Usb2PortMask];
inline UINT16 &Usb3PortDisableMask = PortDisableMasks[Usb3PortMask];
inline UINT16 &HubUsb2PortDisableMask = PortDisableMasks[HubUsb2PortMask];
inline UINT16 &HubUsb3PortDisableMask = PortDisableMasks[HubUsb3PortMask];

// Text of the controller's device path, which every port prefix starts with.
#define XHCI_PATH "PciRoot(0x0)/Pci(0x14,0x0)/"
// Room for the longest prefix: two USB nodes.
#define PORT_PATH_SIZE sizeof(XHCI_PATH "USB(0x0,0x0)/USB(0x0,")
// The prefix of each port number, built at load by BuildPortPaths; zero
// until then, and empty for numbers without a port. Writable, since matching
// upper-cases them in place.
extern CHAR16 PortPathText[PORT_NUMBER_MAX][PORT_PATH_SIZE];

VOID BuildPortPaths();
// The prefix of a port; the empty string for PORT_NONE, unused numbers and
// ports without a path.
CHAR16 *GetPortPath(UINTN PortNumber);
// Runs the port's disable action; nothing for ports without one.
VOID DisablePort(UINTN PortNumber);

// ---------------------------------------------------------------------------
// Driver state

struct CONNECTOR_RECORD {
  UINT8 DisableAllowed;
  UINT8 DisabledBySetup;
  CHAR16 *PortPath[PORTS_PER_CONNECTOR];
  UINTN PortNumber[PORTS_PER_CONNECTOR];
};

extern CONNECTOR_RECORD ConnectorRecords[CONNECTOR_COUNT];
extern UINTN ConnectorRecordCount;

#define SEEN_HANDLE_TABLE_SIZE 512

struct SEEN_HANDLE_SLOT {
  UINT8 Processed;
  EFI_HANDLE Handle;  // null for a free slot
};

// Present USB I/O handles the arrival notify has met. The taken slots are
// always SeenHandleTable[0 .. SeenHandleCount - 1]; Processed is 1 once the
// device was examined and may keep its USB I/O.
extern SEEN_HANDLE_SLOT SeenHandleTable[SEEN_HANDLE_TABLE_SIZE];
extern UINTN SeenHandleCount;

// The protocol's interface; null when it is not installed, so no caller ever
// goes through a pointer the firmware left undefined.
VOID *LocateOptionalProtocol(const EFI_GUID *Guid);

// Null until the protocol is found: at load, or later when an entry is to
// be recorded.
extern EFI_S3_SAVE_STATE_PROTOCOL *S3SaveState;
VOID LocateS3SaveState();
// Null until the protocol is found: at load, or later when a device needs it.
extern EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *DevicePathToText;
VOID LocateDevicePathToText();

// ---------------------------------------------------------------------------
// Setup and the published capability block

#define SETUP_VARIABLE_NAME u"Setup"
#define SETUP_VARIABLE_GUID {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}}
#define SETUP_VARIABLE_SIZE 3612
#define SETUP_USB_CONNECTOR_CONTROL_MODE_OFFSET 3291
#define SETUP_USB_CONNECTOR_ENABLE_OFFSET 3580
// UsbConnectorControlMode value that hands each connector to its enable byte.
#define USB_CONNECTOR_CONTROL_PER_CONNECTOR 7

#define USB_CONNECTOR_CAPABILITIES_NAME u"UsbConnectorCapabilities"
#define USB_CONNECTOR_CAPABILITIES_GUID \
  {0x44D6A54D, 0xDC4C, 0x4D83, {0xB7, 0xEA, 0xB1, 0x1F, 0x76, 0xDE, 0xEB, 0x88}}
#define USB_CONNECTOR_CAPABILITIES_MAX 32

struct USB_CONNECTOR_CAPABILITIES {
  UINT8 Present[USB_CONNECTOR_CAPABILITIES_MAX];
  UINT8 GroupMember[USB_CONNECTOR_CAPABILITIES_MAX];
  UINT8 Disableable[USB_CONNECTOR_CAPABILITIES_MAX];
  UINT8 GroupLeader[USB_CONNECTOR_CAPABILITIES_MAX];
  UINT8 Reserved[USB_CONNECTOR_CAPABILITIES_MAX];
};
static_assert(sizeof(USB_CONNECTOR_CAPABILITIES) == 160, "published block is 160 bytes");
static_assert(CONNECTOR_COUNT <= USB_CONNECTOR_CAPABILITIES_MAX, "the block holds at most 32 connectors");

extern UINT8 SetupBuffer[SETUP_VARIABLE_SIZE];
// The published block: what the board table says of each connector, worked
// out at compile time.
extern const USB_CONNECTOR_CAPABILITIES BoardCapabilities;

// ---------------------------------------------------------------------------
// Entry and events

extern "C" EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// Device arrival: runs on every device-path installation.
VOID ArmDeviceArrival();
VOID EFIAPI DeviceArrivalNotify(EFI_EVENT Event, VOID *Context);
// 0 when the first Length characters of Text and Prefix agree ignoring ASCII
// case. Both strings are upper-cased in place.
INT32 MatchPortPathPrefix(CHAR16 *Text, CHAR16 *Prefix, UINTN Length);
CHAR16 *AsciiUpcaseInPlace(CHAR16 *String);

// Ready-to-boot: runs on every signal of the ready-to-boot group.
VOID ArmReadyToBoot();
VOID EFIAPI ReadyToBootNotify(EFI_EVENT Event, VOID *Context);
// End-of-DXE: records the root-port writes in the S3 boot script.
VOID ArmEndOfDxe();
// Which root-port mask's entry the boot script holds, the firmware having
// accepted it: each is recorded once per boot, however often End-of-DXE or
// ready-to-boot come.
extern bool BootScriptHolds[Usb3PortMask + 1];
VOID EFIAPI EndOfDxeNotify(EFI_EVENT Event, VOID *Context);
