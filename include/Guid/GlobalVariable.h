// Boot-manager variables under the global variable GUID and the load-option
// layout of Driver####.
#pragma once

#include "Uefi/Base.h"

#define EFI_GLOBAL_VARIABLE_GUID {0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}}

#define LOAD_OPTION_ACTIVE 0x00000001U

// EFI_LOAD_OPTION is variable-sized: this header, then the null-terminated
// Description, then FilePathListLength bytes of device path, then optional
// data.
#pragma pack(push, 1)
struct EFI_LOAD_OPTION_HEADER {
  UINT32 Attributes;
  UINT16 FilePathListLength;
};
#pragma pack(pop)
static_assert(sizeof(EFI_LOAD_OPTION_HEADER) == 6, "EFI_LOAD_OPTION layout");
