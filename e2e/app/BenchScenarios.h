// Scenarios of the boot application, chosen by name from the host. Most run
// in one boot; the Driver#### ones prepare in a first boot and check in the
// next.
#pragma once

#include "Uefi/Base.h"

VOID SetupAbsentScenario();
VOID SetupMode7Scenario();
VOID SetupTooLargeScenario();
VOID RevisionGateScenario();
VOID CalibrationHobScenario();
VOID CalibrationWindowScenario();
VOID CalibrationWindowMaskedScenario();
VOID CalibrationDeadTimerScenario();
VOID ReadyToBootUsb2OnePortScenario();
VOID ReadyToBootA1Bar64Scenario();
VOID ReadyToBootNothingDisabledScenario();
VOID ReadyToBootAbsentControllerScenario();
VOID SetupResetRequestedScenario();
VOID SetupResetNotRequestedScenario();
VOID ArrivalUsb2OnePortScenario();
VOID ArrivalA1Scenario();
VOID ArrivalB1Scenario();
VOID ArrivalMode0Scenario();
VOID HotPlugCyclesScenario();
VOID RoadScenario();
VOID BootCostScenario();
