// The calibration GUID HOB the board's platform code would leave behind.
// OVMF has none, and the drivers' calibration port 0x1808 is dead here, so
// without it (or the PM timer moved there) a driver's start-up waits out its
// poll limit. The stand-in adds it to a copy of OVMF's HOB list.
#pragma once

#include "Uefi/Base.h"

// OVMF's own HOB list from the configuration table; null when missing.
UINT8 *FirmwareHobList();
bool HobListHasCalibrationHob(const UINT8 *List);
// A pool copy of List with the calibration HOB added just before the end
// HOB, so the PHIT stays first and the end HOB last; null without pool.
UINT8 *HobListWithCalibrationHob(const UINT8 *List);
