// Device-path-to-text protocol.
#pragma once

#include <stddef.h>

#include "Protocol/DevicePath.h"

#define EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID \
  {0x8B843E20, 0x8132, 0x4852, {0x90, 0xCC, 0x55, 0x1A, 0x4E, 0x4A, 0x7F, 0x1C}}

// Both return a pool buffer that the caller frees, or null.
typedef CHAR16 *(EFIAPI *EFI_DEVICE_PATH_TO_TEXT_NODE)(const EFI_DEVICE_PATH_PROTOCOL *DeviceNode,
                                                       BOOLEAN DisplayOnly, BOOLEAN AllowShortcuts);
typedef CHAR16 *(EFIAPI *EFI_DEVICE_PATH_TO_TEXT_PATH)(const EFI_DEVICE_PATH_PROTOCOL *DevicePath,
                                                       BOOLEAN DisplayOnly, BOOLEAN AllowShortcuts);

struct EFI_DEVICE_PATH_TO_TEXT_PROTOCOL {
  EFI_DEVICE_PATH_TO_TEXT_NODE ConvertDeviceNodeToText;
  EFI_DEVICE_PATH_TO_TEXT_PATH ConvertDevicePathToText;
};
static_assert(offsetof(EFI_DEVICE_PATH_TO_TEXT_PROTOCOL, ConvertDevicePathToText) == 8,
              "EFI_DEVICE_PATH_TO_TEXT_PROTOCOL layout");
