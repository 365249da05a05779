// Text formatting and output on the firmware console, which QEMU sends to
// the serial line the host tools read.
#pragma once

#include "FirmwareTables.h"

// A printf subset: %s %u %x with an optional 0 flag, width and l/ll length.
// Output is always null-terminated and cut to Size.
VOID FormatVa(CHAR8 *Buffer, UINTN Size, const CHAR8 *Format, __builtin_va_list Args);
VOID FormatString(CHAR8 *Buffer, UINTN Size, const CHAR8 *Format, ...) __attribute__((format(printf, 3, 4)));
VOID Print(const CHAR8 *Format, ...) __attribute__((format(printf, 1, 2)));

// Device-path text and variable names are ASCII in practice; anything else
// becomes '?'.
VOID AsciiFromText(const CHAR16 *Text, CHAR8 *Buffer, UINTN Size);

bool AsciiEqual(const CHAR8 *A, const CHAR8 *B);
// Device-path text Path is Device's own path or one below it.
bool IsUnder(const CHAR8 *Path, const CHAR8 *Device);

const CHAR8 *StatusName(EFI_STATUS Status);
