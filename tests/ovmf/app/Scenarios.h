// The OVMF scenarios, chosen by name from the host: what the road cannot
// express. Most run in one boot; the Driver#### ones prepare in a first boot
// and check in the next.
#pragma once

#include "Uefi/Base.h"

VOID SetupAbsentScenario();
VOID SetupTooLargeScenario();
VOID RevisionGateScenario();
VOID CalibrationHobScenario();
VOID CalibrationWindowScenario();
VOID CalibrationWindowMaskedScenario();
VOID CalibrationDeadTimerScenario();
VOID LateStartScenario();
VOID HotPlugCyclesScenario();
