// Loaded-image protocol: where an image was loaded from.
#pragma once

#include <stddef.h>

#include "Uefi/SystemTable.h"

#define EFI_LOADED_IMAGE_PROTOCOL_GUID {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  VOID *Unload;
};
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 0x18, "EFI_LOADED_IMAGE_PROTOCOL layout");
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, ImageBase) == 0x40, "EFI_LOADED_IMAGE_PROTOCOL layout");
static_assert(sizeof(EFI_LOADED_IMAGE_PROTOCOL) == 0x60, "EFI_LOADED_IMAGE_PROTOCOL layout");
