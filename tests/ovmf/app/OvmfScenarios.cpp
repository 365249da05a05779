// Boot application of the OVMF scenarios: started by OVMF as
// \EFI\BOOT\BOOTX64.EFI, it runs the scenario the host named in fw_cfg and
// ends QEMU with the verdict.
#include "FirmwareTables.h"
#include "Report.h"
#include "Scenarios.h"

static const NAMED_RUN Scenarios[] = {
    {"setup-absent", SetupAbsentScenario},
    {"setup-too-large", SetupTooLargeScenario},
    {"revision-gate", RevisionGateScenario},
    {"calibration-hob", CalibrationHobScenario},
    {"calibration-window", CalibrationWindowScenario},
    {"calibration-window-masked", CalibrationWindowMaskedScenario},
    {"calibration-dead-timer", CalibrationDeadTimerScenario},
    {"late-start", LateStartScenario},
    {"hotplug-cycles", HotPlugCyclesScenario},
};

extern "C" EFI_STATUS EFIAPI OvmfScenariosMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  FirmwareTablesInit(ImageHandle, SystemTable);
  RunNamed("opt/board/scenario", Scenarios, sizeof(Scenarios) / sizeof(Scenarios[0]));
}
