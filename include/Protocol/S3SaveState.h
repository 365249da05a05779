// PI S3 save-state protocol: records boot-script entries replayed on resume.
#pragma once

#include <stddef.h>

#include "Uefi/Base.h"

#define EFI_S3_SAVE_STATE_PROTOCOL_GUID {0xE857CAF6, 0xC046, 0x45DC, {0xBE, 0x3F, 0xEE, 0x07, 0x65, 0xFB, 0xA8, 0x87}}

#define EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE 0x02

enum EFI_BOOT_SCRIPT_WIDTH {
  EfiBootScriptWidthUint8,
  EfiBootScriptWidthUint16,
  EfiBootScriptWidthUint32,
  EfiBootScriptWidthUint64,
};

struct EFI_S3_SAVE_STATE_PROTOCOL;

// The arguments after OpCode depend on it. For EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE:
// EFI_BOOT_SCRIPT_WIDTH Width, UINT64 Address, UINTN Count, VOID *Buffer.
typedef EFI_STATUS(EFIAPI *EFI_S3_SAVE_STATE_WRITE)(const EFI_S3_SAVE_STATE_PROTOCOL *This, UINTN OpCode, ...);

struct EFI_S3_SAVE_STATE_PROTOCOL {
  EFI_S3_SAVE_STATE_WRITE Write;
  VOID *Insert;
  VOID *Label;
  VOID *Compare;
};
static_assert(offsetof(EFI_S3_SAVE_STATE_PROTOCOL, Write) == 0, "EFI_S3_SAVE_STATE_PROTOCOL layout");
static_assert(sizeof(EFI_S3_SAVE_STATE_PROTOCOL) == 32, "EFI_S3_SAVE_STATE_PROTOCOL layout");
