// USB I/O protocol and the standard descriptors it returns.
#pragma once

#include <stddef.h>

#include "Uefi/Base.h"

#define EFI_USB_IO_PROTOCOL_GUID {0x2B2F68D6, 0x0CD2, 0x44CF, {0x8E, 0x8B, 0xBB, 0xA2, 0x0B, 0x1B, 0x5B, 0x75}}

// Interface class of USB mass-storage devices.
#define USB_MASS_STORE_CLASS 0x08

#pragma pack(push, 1)
struct EFI_USB_DEVICE_DESCRIPTOR {
  UINT8 Length;
  UINT8 DescriptorType;
  UINT16 BcdUSB;
  UINT8 DeviceClass;
  UINT8 DeviceSubClass;
  UINT8 DeviceProtocol;
  UINT8 MaxPacketSize0;
  UINT16 IdVendor;
  UINT16 IdProduct;
  UINT16 BcdDevice;
  UINT8 StrManufacturer;
  UINT8 StrProduct;
  UINT8 StrSerialNumber;
  UINT8 NumConfigurations;
};

struct EFI_USB_INTERFACE_DESCRIPTOR {
  UINT8 Length;
  UINT8 DescriptorType;
  UINT8 InterfaceNumber;
  UINT8 AlternateSetting;
  UINT8 NumEndpoints;
  UINT8 InterfaceClass;
  UINT8 InterfaceSubClass;
  UINT8 InterfaceProtocol;
  UINT8 Interface;
};
#pragma pack(pop)
static_assert(sizeof(EFI_USB_DEVICE_DESCRIPTOR) == 18, "EFI_USB_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(EFI_USB_DEVICE_DESCRIPTOR, IdVendor) == 8, "EFI_USB_DEVICE_DESCRIPTOR layout");
static_assert(offsetof(EFI_USB_DEVICE_DESCRIPTOR, IdProduct) == 10, "EFI_USB_DEVICE_DESCRIPTOR layout");
static_assert(sizeof(EFI_USB_INTERFACE_DESCRIPTOR) == 9, "EFI_USB_INTERFACE_DESCRIPTOR layout");
static_assert(offsetof(EFI_USB_INTERFACE_DESCRIPTOR, InterfaceClass) == 5, "EFI_USB_INTERFACE_DESCRIPTOR layout");

struct EFI_USB_IO_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_USB_IO_GET_DEVICE_DESCRIPTOR)(EFI_USB_IO_PROTOCOL *This,
                                                             EFI_USB_DEVICE_DESCRIPTOR *DeviceDescriptor);
typedef EFI_STATUS(EFIAPI *EFI_USB_IO_GET_INTERFACE_DESCRIPTOR)(EFI_USB_IO_PROTOCOL *This,
                                                                EFI_USB_INTERFACE_DESCRIPTOR *InterfaceDescriptor);

// Only the two descriptor reads are called here; the other members are kept
// as untyped slots so the layout stays exact.
struct EFI_USB_IO_PROTOCOL {
  VOID *UsbControlTransfer;
  VOID *UsbBulkTransfer;
  VOID *UsbAsyncInterruptTransfer;
  VOID *UsbSyncInterruptTransfer;
  VOID *UsbIsochronousTransfer;
  VOID *UsbAsyncIsochronousTransfer;
  EFI_USB_IO_GET_DEVICE_DESCRIPTOR UsbGetDeviceDescriptor;
  VOID *UsbGetConfigDescriptor;
  EFI_USB_IO_GET_INTERFACE_DESCRIPTOR UsbGetInterfaceDescriptor;
  VOID *UsbGetEndpointDescriptor;
  VOID *UsbGetStringDescriptor;
  VOID *UsbGetSupportedLanguages;
  VOID *UsbPortReset;
};
static_assert(offsetof(EFI_USB_IO_PROTOCOL, UsbGetDeviceDescriptor) == 0x30, "EFI_USB_IO_PROTOCOL layout");
static_assert(offsetof(EFI_USB_IO_PROTOCOL, UsbGetInterfaceDescriptor) == 0x40, "EFI_USB_IO_PROTOCOL layout");
static_assert(sizeof(EFI_USB_IO_PROTOCOL) == 0x68, "EFI_USB_IO_PROTOCOL layout");
