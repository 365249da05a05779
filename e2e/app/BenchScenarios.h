// Scenarios of the boot application, each run in a boot of its own and
// chosen by name from the host.
#pragma once

#include "Uefi/Base.h"

VOID SetupAbsentScenario();
VOID SetupMode7Scenario();
VOID SetupTooLargeScenario();
VOID RevisionGateScenario();
VOID CalibrationHobScenario();
VOID CalibrationWindowScenario();
VOID CalibrationWindowMaskedScenario();
