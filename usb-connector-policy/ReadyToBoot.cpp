// Ready-to-boot: switches off the ports of connectors that setup disabled and
// the board allows to be disabled, in the xHCI controller, in the S3 boot
// script and through the on-board hub's protocol.
#include "DriverSupportLib.h"
#include "Guid/EventGroup.h"
#include "Hardware.h"
#include "Protocol/HubPortDisable.h"
#include "UsbConnectorPolicy.h"

// Memory-mapped PCI Express configuration space of this board.
#define PCIE_CONFIG_BASE 0xC0000000ULL
#define PCIE_CONFIG_ADDRESS(Bus, Device, Function, Offset) \
  (PCIE_CONFIG_BASE + ((UINT64)(Bus) << 20) + ((UINT64)(Device) << 15) + ((UINT64)(Function) << 12) + (Offset))

// The xHCI controller is bus 0, device 0x14, function 0; BAR0 at offset 0x10.
#define XHCI_BAR0_LOW_ADDRESS PCIE_CONFIG_ADDRESS(0, 0x14, 0, 0x10)
#define XHCI_BAR0_HIGH_ADDRESS PCIE_CONFIG_ADDRESS(0, 0x14, 0, 0x14)
static_assert(XHCI_BAR0_LOW_ADDRESS == 0xC00A0010ULL, "xHCI BAR0 location");

#define PCI_BAR_IO_SPACE 0x1U
#define PCI_BAR_MEMORY_TYPE_MASK 0x6U
#define PCI_BAR_MEMORY_TYPE_64BIT 0x4U
#define PCI_BAR_FLAGS_MASK 0xFULL

// Port-disable registers of the controller, offsets from its MMIO base.
#define XHCI_USB2_PORT_DISABLE_OFFSET 0x84F8
#define XHCI_USB3_PORT_DISABLE_OFFSET 0x84FC

#define HUB_PORT_COUNT 4

static const EFI_GUID ReadyToBootGroupGuid = EFI_EVENT_GROUP_READY_TO_BOOT;
static const EFI_GUID HubPortDisableProtocolGuid = HUB_PORT_DISABLE_PROTOCOL_GUID;

static EFI_EVENT ReadyToBootEvent;

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

// Boot-script entries are 16-bit writes of the mask, unlike the 32-bit write
// done now.
static VOID RecordS3Write(UINT64 Address, UINT16 *Mask) {
  // Without the save-state protocol there is no boot script to record in;
  // the boot-time writes still happen.
  if (S3SaveState == nullptr) {
    return;
  }
  (VOID) S3SaveState->Write(S3SaveState, EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE, EfiBootScriptWidthUint16, Address,
                            (UINTN)1, Mask);
}

static VOID ApplyHubMasks() {
  HUB_PORT_DISABLE_PROTOCOL *Hub =
      static_cast<HUB_PORT_DISABLE_PROTOCOL *>(LocateOptionalProtocol(&HubPortDisableProtocolGuid));
  if (Hub == nullptr || Hub->Apply == nullptr) {
    return;
  }
  for (UINT8 Port = 1; Port <= HUB_PORT_COUNT; Port++) {
    const UINT16 Bit = (UINT16)(1U << (Port - 1));
    const UINT8 Usb2Port = (HubUsb2PortDisableMask & Bit) != 0 ? Port : 0;
    const UINT8 Usb3Port = (HubUsb3PortDisableMask & Bit) != 0 ? Port : 0;
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
  Switches off the ports of disabled connectors; runs on every ready-to-boot
  signal. The masks only accumulate, so a repeated signal repeats the same
  writes and adds the same boot-script entries again.

  @param Event    Not used.
  @param Context  Not used.
**/
VOID EFIAPI ReadyToBootNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;

  for (UINTN Index = 0; Index < ConnectorRecordCount; Index++) {
    const CONNECTOR_RECORD &Record = ConnectorRecords[Index];
    if (Record.DisableAllowed == 1 && Record.DisabledBySetup == 1) {
      for (UINTN Slot = 0; Slot < PORTS_PER_CONNECTOR; Slot++) {
        DisablePort(Record.PortNumber[Slot]);
      }
    }
  }
  if ((Usb2PortDisableMask | Usb3PortDisableMask | HubUsb2PortDisableMask | HubUsb3PortDisableMask) == 0) {
    return;
  }

  const UINT64 Base = XhciMmioBase();
  if (Base != 0) {
    MmioWrite32(Base + XHCI_USB2_PORT_DISABLE_OFFSET, Usb2PortDisableMask);
    MmioWrite32(Base + XHCI_USB3_PORT_DISABLE_OFFSET, Usb3PortDisableMask);
    RecordS3Write(Base + XHCI_USB2_PORT_DISABLE_OFFSET, &Usb2PortDisableMask);
    RecordS3Write(Base + XHCI_USB3_PORT_DISABLE_OFFSET, &Usb3PortDisableMask);
  }

  ApplyHubMasks();
}

VOID ArmReadyToBoot() {
  (VOID) BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, ReadyToBootNotify, nullptr,
                                     &ReadyToBootGroupGuid, &ReadyToBootEvent);
}
