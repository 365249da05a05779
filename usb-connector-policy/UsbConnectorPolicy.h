// State and routines of UsbConnectorPolicyDxe shared by its entry,
// device-arrival and ready-to-boot code.
#pragma once

// The chosen board's wiring, found on the include path.
#include <Board.h>
#include "PolicyVariables.h"
#include "Protocol/DevicePathToText.h"
#include "Protocol/S3SaveState.h"
#include "Uefi/SystemTable.h"

// ---------------------------------------------------------------------------
// Derived from the board

// The rows' port numbers, copied at compile time: the one part of the table
// read at run time. Code reads the ports from here, so no code reads the
// table itself and the linker keeps its labels, kinds and info bytes out of
// the image.
struct CONNECTOR_PORT_NUMBERS {
  UINT8 Port[CONNECTOR_COUNT][PORTS_PER_CONNECTOR];
};
extern const CONNECTOR_PORT_NUMBERS ConnectorPortNumbers;

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

// Port disabling. The masks of the ports to switch off, indexed by
// PORT_DISABLE_MASK (Usb2PortDisableMask is PortDisableMasks[Usb2PortMask],
// and so on): a port's disable action sets its bit in its range's mask, so
// the masks are one array. Only ever OR-ed, never cleared.
extern UINT16 PortDisableMasks[PortDisableMaskCount];
// Runs the port's disable action; nothing for ports without one.
VOID DisablePort(UINTN PortNumber);
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
