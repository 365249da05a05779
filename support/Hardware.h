// The one seam between the drivers and the processor. Each routine is a
// single instruction in the images (X64/Hardware.cpp); host tests link a
// simulation instead.
#pragma once

#include "Uefi/Base.h"

UINT32 IoRead32(UINT16 Port);
UINT64 ReadTimeStampCounter();
UINT64 ReadRflags();
VOID EnableInterrupts();
VOID DisableInterrupts();
VOID CpuPause();
UINT32 MmioRead32(UINTN Address);
VOID MmioWrite32(UINTN Address, UINT32 Value);
