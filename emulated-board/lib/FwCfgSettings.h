// Settings the host hands the guest as named fw_cfg files under opt/board/,
// one typed value per file. A reader returns false when QEMU has no such
// file or its value is not of the type; the caller names the setting in its
// report, so a setting is never quietly replaced by a default.
#pragma once

#include "Uefi/Base.h"

// Decimal 0..255.
bool FwCfgReadUint8(const CHAR8 *Name, UINT8 *Value);
// "yes" or "no".
bool FwCfgReadBool(const CHAR8 *Name, bool *Value);
// Non-empty text that fits Size with its terminator.
bool FwCfgReadText(const CHAR8 *Name, CHAR8 *Value, UINTN Size);
