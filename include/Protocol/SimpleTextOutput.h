// Simple text output protocol: only OutputString is called by the emulated board.
#pragma once

#include <stddef.h>

#include "Uefi/Base.h"

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_TEXT_STRING)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, const CHAR16 *String);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  VOID *Reset;
  EFI_TEXT_STRING OutputString;
  VOID *TestString;
  VOID *QueryMode;
  VOID *SetMode;
  VOID *SetAttribute;
  VOID *ClearScreen;
  VOID *SetCursorPosition;
  VOID *EnableCursor;
  VOID *Mode;
};
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == 8, "EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL layout");
static_assert(sizeof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL) == 80, "EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL layout");
