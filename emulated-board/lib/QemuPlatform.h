// The emulated board's side doors into QEMU: fw_cfg for the job or
// scenario name, isa-debug-exit to end QEMU with a verdict, and the legacy
// PCI configuration mechanism to move the PIIX4 power-management I/O block.
#pragma once

#include "Chipset.h"

// isa-debug-exit at 0xF4: QEMU exits with (value << 1) | 1.
#define DEBUG_EXIT_PORT 0xF4
#define DEBUG_EXIT_PASS 0x10  // QEMU exit status 33
#define DEBUG_EXIT_FAIL 0x11  // QEMU exit status 35

// PIIX4 power-management function (0:1.3): PMBA at 0x40 holds the base of its
// 64-byte I/O block, bit 0 marking it as I/O space; the PM timer is at +8.
#define PIIX4_PM_BUS 0
#define PIIX4_PM_DEVICE 1
#define PIIX4_PM_FUNCTION 3
#define PIIX4_PMBA_OFFSET 0x40
#define PIIX4_PMBA_IO_SPACE 0x1U
#define PM_TIMER_OFFSET 8

UINT32 PciRead32(UINT8 Bus, UINT8 Device, UINT8 Function, UINT8 Offset);
VOID PciWrite32(UINT8 Bus, UINT8 Device, UINT8 Function, UINT8 Offset, UINT32 Value);

// Copies the named fw_cfg file into Buffer, null-terminated and cut to
// Size - 1. Returns false when QEMU has no such file.
bool FwCfgReadFile(const CHAR8 *Name, CHAR8 *Buffer, UINTN Size);

[[noreturn]] VOID DebugExit(UINT32 Code);
