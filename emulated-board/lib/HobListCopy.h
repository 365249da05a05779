// The calibration GUID HOB the board's platform code would leave behind.
// OVMF has none, and the drivers' calibration port 0x1808 is dead here, so
// without it (or the PM timer moved there) a driver's start-up would spin for
// ever. The stand-in adds it to a copy of OVMF's HOB list.
#pragma once

#include "Uefi/Base.h"

#define HOB_LIST_GUID {0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}}
#define TIMER_CALIBRATION_HOB {0x3FCA54F6, 0xE1A2, 0x4B20, {0xBE, 0x76, 0x92, 0x6B, 0x4B, 0x48, 0xBF, 0xAA}}

extern const EFI_GUID HobListGuid;

// OVMF's own HOB list from the configuration table; null when missing.
UINT8 *FirmwareHobList();
bool HobListHasCalibrationHob(const UINT8 *List);
// A pool copy of List with the calibration HOB added just before the end
// HOB, so the PHIT stays first and the end HOB last; null without pool.
UINT8 *HobListWithCalibrationHob(const UINT8 *List);
