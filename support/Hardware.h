// The one seam between the code in the images and the processor. Each
// routine is a single instruction (X64/Hardware.cpp); the linker keeps only
// the ones an image calls, and the host tests simulate the drivers' ones.
#pragma once

#include "Uefi/Base.h"

UINT8 IoRead8(UINT16 Port);
UINT16 IoRead16(UINT16 Port);
UINT32 IoRead32(UINT16 Port);
VOID IoWrite16(UINT16 Port, UINT16 Value);
VOID IoWrite32(UINT16 Port, UINT32 Value);
UINT64 ReadTimeStampCounter();
UINT64 ReadRflags();
VOID EnableInterrupts();
VOID DisableInterrupts();
VOID CpuPause();
UINT32 MmioRead32(UINTN Address);
VOID MmioWrite32(UINTN Address, UINT32 Value);
