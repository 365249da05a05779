// Hand-off block (HOB) list as the PI firmware passes it to DXE drivers.
#pragma once

#include <stddef.h>

#include "Uefi/Base.h"

// Configuration-table entry whose VendorTable is the start of the HOB list.
#define EFI_HOB_LIST_GUID {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}}

#define EFI_HOB_TYPE_HANDOFF 0x0001
#define EFI_HOB_TYPE_GUID_EXTENSION 0x0004
#define EFI_HOB_TYPE_END_OF_HOB_LIST 0xFFFF

struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;  // bytes from the start of this HOB to the next
  UINT32 Reserved;
};
static_assert(sizeof(EFI_HOB_GENERIC_HEADER) == 8, "EFI_HOB_GENERIC_HEADER layout");

// The first HOB of the list (EFI_HOB_TYPE_HANDOFF).
struct EFI_HOB_HANDOFF_INFO_TABLE {
  EFI_HOB_GENERIC_HEADER Header;
  UINT32 Version;
  UINT32 BootMode;
  EFI_PHYSICAL_ADDRESS EfiMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryTop;
  EFI_PHYSICAL_ADDRESS EfiFreeMemoryBottom;
  EFI_PHYSICAL_ADDRESS EfiEndOfHobList;  // the end HOB
};
static_assert(offsetof(EFI_HOB_HANDOFF_INFO_TABLE, EfiEndOfHobList) == 0x30, "EFI_HOB_HANDOFF_INFO_TABLE layout");
static_assert(sizeof(EFI_HOB_HANDOFF_INFO_TABLE) == 0x38, "EFI_HOB_HANDOFF_INFO_TABLE layout");

struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
  // GUID-specific data follows.
};
static_assert(offsetof(EFI_HOB_GUID_TYPE, Name) == 8, "EFI_HOB_GUID_TYPE layout");
static_assert(sizeof(EFI_HOB_GUID_TYPE) == 24, "EFI_HOB_GUID_TYPE layout");
