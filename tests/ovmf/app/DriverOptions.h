// Drivers started by OVMF's boot manager as Driver#### options: the first
// boot stores the options for BoardStandInDxe and the driver under test and
// resets; the boot manager loads them in the next boot, after End-of-DXE and
// ready-to-lock, before it starts this application again.
#pragma once

#include "BootStages.h"

#define STAND_IN_FILE u"\\BoardStandInDxe.efi"

// Stores Driver0000 for BoardStandInDxe and Driver0001 for DriverFile,
// DriverOrder, and the check-stage mark, then asks for a cold reset. Returns
// only when storing failed.
VOID RegisterDriversAndReset(const CHAR16 *DriverFile);
