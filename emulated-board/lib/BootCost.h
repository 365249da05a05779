// What the start-up cost probes (BootCostProbeDxe) and the boot application
// share: the table of time-stamp counter readings, one per probe in the order
// the DXE dispatcher started them. Under QEMU's -icount the counter reads
// guest time in nanoseconds, counted from executed instructions.
#pragma once

#include "Uefi/Base.h"

#define BOOT_COST_TABLE_GUID {0x8436514C, 0xD5BF, 0x4297, {0xB7, 0x4F, 0x97, 0xB7, 0xC1, 0xF0, 0xCF, 0xDD}}
#define BOOT_COST_MAX_STAMPS 16

struct BOOT_COST_TABLE {
  UINT32 Count;
  UINT64 Stamps[BOOT_COST_MAX_STAMPS];
};
