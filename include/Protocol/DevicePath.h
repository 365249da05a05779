// Device path protocol: the generic node header that starts every node, and
// the nodes of the paths the firmware gives USB devices and files.
#pragma once

#include "Uefi/Base.h"

#define EFI_DEVICE_PATH_PROTOCOL_GUID {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}

#define HARDWARE_DEVICE_PATH 0x01
#define HW_PCI_DP 0x01
#define ACPI_DEVICE_PATH 0x02
#define ACPI_DP 0x01
#define MESSAGING_DEVICE_PATH 0x03
#define MSG_USB_DP 0x05
#define MEDIA_DEVICE_PATH 0x04
#define MEDIA_FILEPATH_DP 0x04
#define END_DEVICE_PATH_TYPE 0x7F
#define END_ENTIRE_DEVICE_PATH_SUBTYPE 0xFF

// _HID of a PCI root bridge, PNP0A03, in its compressed EISA form.
#define PCI_ROOT_BRIDGE_HID 0x0A0341D0U

#pragma pack(push, 1)
struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];  // little-endian length of this node, header included
};

struct ACPI_HID_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT32 HID;
  UINT32 UID;
};

struct PCI_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT8 Function;
  UINT8 Device;
};

struct USB_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  UINT8 ParentPortNumber;  // counted from 0
  UINT8 InterfaceNumber;
};
#pragma pack(pop)
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4, "EFI_DEVICE_PATH_PROTOCOL layout");
static_assert(sizeof(ACPI_HID_DEVICE_PATH) == 12, "ACPI_HID_DEVICE_PATH layout");
static_assert(sizeof(PCI_DEVICE_PATH) == 6, "PCI_DEVICE_PATH layout");
static_assert(sizeof(USB_DEVICE_PATH) == 6, "USB_DEVICE_PATH layout");
