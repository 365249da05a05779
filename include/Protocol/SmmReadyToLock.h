// Installed by the firmware at SMM ready-to-lock; after it the S3 boot script
// takes no more entries from outside SMM. Only its presence is looked at.
#pragma once

#include "Uefi/Base.h"

#define SMM_READY_TO_LOCK_PROTOCOL_GUID {0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}}
