// Port disabling: switches off the ports of connectors that setup disabled
// and the board allows to be disabled. At End-of-DXE the root-port writes go
// into the S3 boot script, while the firmware still takes entries; at
// ready-to-boot they go to the xHCI controller, and the hub ports to the
// on-board hub's protocol.
#include "DriverSupportLib.h"
#include "Guid/EventGroup.h"
#include "Hardware.h"
#include "Protocol/HubPortDisable.h"
#include "UsbConnectorPolicy.h"

#define PCI_BAR_IO_SPACE 0x1U
#define PCI_BAR_MEMORY_TYPE_MASK 0x6U
#define PCI_BAR_MEMORY_TYPE_64BIT 0x4U
#define PCI_BAR_FLAGS_MASK 0xFULL

static const EFI_GUID ReadyToBootGroupGuid = EFI_EVENT_GROUP_READY_TO_BOOT;
static const EFI_GUID EndOfDxeGroupGuid = EFI_END_OF_DXE_EVENT_GROUP_GUID;
static const EFI_GUID HubPortDisableProtocolGuid = HUB_PORT_DISABLE_PROTOCOL_GUID;

static EFI_EVENT ReadyToBootEvent;

UINT16 PortDisableMasks[PortDisableMaskCount];

// Each root-port mask's register, indexed like PortDisableMasks.
static const UINT16 PortDisableRegisterOffset[] = {XHCI_USB2_PORT_DISABLE_OFFSET, XHCI_USB3_PORT_DISABLE_OFFSET};
static_assert(Usb2PortMask == 0 && Usb3PortMask == 1, "the root-port masks come first");
bool BootScriptHolds[Usb3PortMask + 1];

// 0 when BAR0 names no register window: an absent or hidden function reads
// all-ones, an unassigned BAR decodes to 0, and an I/O BAR is no memory
// window. Writing there would hit RAM, at boot and again on every resume.
static UINT64 XhciMmioBase() {
  const UINT32 Low = MmioRead32(XHCI_BAR0_LOW_ADDRESS);
  if (Low == 0xFFFFFFFFU || (Low & PCI_BAR_IO_SPACE) != 0) {
    return 0;
  }
  UINT64 Bar = Low;
  if ((Low & PCI_BAR_MEMORY_TYPE_MASK) == PCI_BAR_MEMORY_TYPE_64BIT) {
    Bar |= (UINT64)MmioRead32(XHCI_BAR0_HIGH_ADDRESS) << 32;
  }
  return Bar & ~PCI_BAR_FLAGS_MASK;
}

// The boot script holds only the root-port writes, so there is something
// to record only while a root port is switched off.
static bool RootPortSwitchedOff() { return (PortDisableMasks[Usb2PortMask] | PortDisableMasks[Usb3PortMask]) != 0; }

// Records the 16-bit write of each root-port mask that the boot script does
// not hold yet, unlike the 32-bit writes done at boot. The firmware copies
// the value at the call. Without the save-state protocol there is no boot
// script to record in.
static VOID RecordBootScript(UINT64 Base) {
  if (S3SaveState == nullptr) {
    LocateS3SaveState();
  }
  if (S3SaveState == nullptr) {
    return;
  }
  for (UINTN Mask = Usb2PortMask; Mask <= Usb3PortMask; Mask++) {
    if (!BootScriptHolds[Mask]) {
      BootScriptHolds[Mask] =
          !EFI_ERROR(S3SaveState->Write(S3SaveState, EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE, EfiBootScriptWidthUint16,
                                        Base + PortDisableRegisterOffset[Mask], (UINTN)1, &PortDisableMasks[Mask]));
    }
  }
}

// The range holding the port; null for numbers the board gives no port.
static const PORT_RANGE *FindPortRange(UINTN PortNumber) {
  for (const PORT_RANGE &Range : PortRanges) {
    // Wraps to a large value below the range.
    if (PortNumber - Range.FirstPort < Range.Count) {
      return &Range;
    }
  }
  return nullptr;
}

VOID DisablePort(UINTN PortNumber) {
  const PORT_RANGE *Range = FindPortRange(PortNumber);
  if (Range != nullptr && Range->Mask != NoPortMask) {
    PortDisableMasks[Range->Mask] |= (UINT16)(1U << (PortNumber - Range->FirstPort));
  }
}

// The masks depend only on the records, so collecting them again sets the
// same bits.
static VOID CollectPortMasks() {
  for (UINTN Index = 0; Index < ConnectorRecordCount; Index++) {
    const CONNECTOR_RECORD &Record = ConnectorRecords[Index];
    if (Record.DisableAllowed == 1 && Record.DisabledBySetup == 1) {
      for (UINTN Slot = 0; Slot < PORTS_PER_CONNECTOR; Slot++) {
        DisablePort(Record.PortNumber[Slot]);
      }
    }
  }
}

static VOID ApplyHubMasks() {
  HUB_PORT_DISABLE_PROTOCOL *Hub =
      static_cast<HUB_PORT_DISABLE_PROTOCOL *>(LocateOptionalProtocol(&HubPortDisableProtocolGuid));
  if (Hub == nullptr || Hub->Apply == nullptr) {
    return;
  }
  for (UINT8 Port = 1; Port <= HUB_PORT_DISABLE_PORT_COUNT; Port++) {
    const UINT16 Bit = (UINT16)(1U << (Port - 1));
    const UINT8 Usb2Port = (PortDisableMasks[HubUsb2PortMask] & Bit) != 0 ? Port : 0;
    const UINT8 Usb3Port = (PortDisableMasks[HubUsb3PortMask] & Bit) != 0 ? Port : 0;
    // A member whose bit is clear keeps the value of an earlier pass.
    if (Usb2Port != 0) {
      Hub->Usb2Port = Usb2Port;
    }
    if (Usb3Port != 0) {
      Hub->Usb3Port = Usb3Port;
    }
    if (Usb2Port != 0 || Usb3Port != 0) {
      Hub->Apply(Usb3Port, Bit, Usb2Port);
    }
  }
}

/**
  Records the root-port writes in the S3 boot script; runs when the End-of-DXE
  group is signalled, before ready-to-lock, after which the firmware takes no
  more entries. Writes no register: the controller may not decode its window
  yet.

  @param Event    Not used.
  @param Context  Not used.
**/
VOID EFIAPI EndOfDxeNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;

  CollectPortMasks();
  if (!RootPortSwitchedOff()) {
    return;
  }
  const UINT64 Base = XhciMmioBase();
  if (Base != 0) {
    RecordBootScript(Base);
  }
}

/**
  Switches off the ports of disabled connectors; runs on every ready-to-boot
  signal. The masks only accumulate, so a repeated signal repeats the same
  writes. Records in the boot script only what End-of-DXE could not: a
  driver started after it, or a save-state protocol, controller or entry
  missing then.

  @param Event    Not used.
  @param Context  Not used.
**/
VOID EFIAPI ReadyToBootNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;

  CollectPortMasks();
  if ((PortDisableMasks[Usb2PortMask] | PortDisableMasks[Usb3PortMask] | PortDisableMasks[HubUsb2PortMask] |
       PortDisableMasks[HubUsb3PortMask]) == 0) {
    return;
  }

  const UINT64 Base = XhciMmioBase();
  if (Base != 0) {
    MmioWrite32(Base + XHCI_USB2_PORT_DISABLE_OFFSET, PortDisableMasks[Usb2PortMask]);
    MmioWrite32(Base + XHCI_USB3_PORT_DISABLE_OFFSET, PortDisableMasks[Usb3PortMask]);
    if (RootPortSwitchedOff()) {
      RecordBootScript(Base);
    }
  }

  ApplyHubMasks();
}

VOID ArmReadyToBoot() {
  (VOID) BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ReadyToBootNotify, nullptr,
                                     &ReadyToBootGroupGuid, &ReadyToBootEvent);
}

// A driver started after End-of-DXE is never notified; ready-to-boot then
// records instead. The event is signalled once and never closed.
VOID ArmEndOfDxe() {
  EFI_EVENT Event = nullptr;
  (VOID) BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, EndOfDxeNotify, nullptr, &EndOfDxeGroupGuid,
                                     &Event);
}
