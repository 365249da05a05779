// Event groups signalled by the DXE core and the boot manager.
#pragma once

#include "Uefi/Base.h"

// Signalled once, when the platform has dispatched its DXE drivers: after
// it, and before ready-to-lock, the S3 boot script still takes entries.
#define EFI_END_OF_DXE_EVENT_GROUP_GUID {0x02CE967A, 0xDD7E, 0x4FFC, {0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80}}
#define EFI_EVENT_GROUP_READY_TO_BOOT {0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}}
