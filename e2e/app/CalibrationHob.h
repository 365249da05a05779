// The calibration GUID HOB the board's platform code would leave behind.
// OVMF has none, and the drivers' calibration port 0x1808 is dead here, so
// without it (or the PM timer moved there) a driver's start-up would spin for
// ever.
#pragma once

#include "ScenarioSupport.h"

// OVMF's own HOB list from the configuration table; null when missing.
UINT8 *FirmwareHobList();
bool HobListHasCalibrationHob(const UINT8 *List);

// StartCounted with a copy of the HOB list that also holds the calibration
// HOB installed in the configuration table, the firmware's list put back
// afterwards.
DRIVER_START StartWithCalibrationHob(EFI_HANDLE Image);
