// Boot application of the OVMF scenarios: started by OVMF as
// \EFI\BOOT\BOOTX64.EFI, it runs the scenario the host named in fw_cfg and
// ends QEMU with the verdict.
#include "Console.h"
#include "QemuPlatform.h"
#include "Report.h"
#include "Scenarios.h"

#define SCENARIO_FW_CFG_FILE "opt/board/scenario"
#define SCENARIO_NAME_SIZE 48

struct SCENARIO {
  const CHAR8 *Name;
  VOID (*Run)();
};

static const SCENARIO Scenarios[] = {
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
  // The host's timeout bounds the run; the firmware's five-minute watchdog
  // would only add a second, slower one.
  (VOID) gBS->SetWatchdogTimer(0, 0, 0, nullptr);

  static CHAR8 Name[SCENARIO_NAME_SIZE];
  if (!FwCfgReadFile(SCENARIO_FW_CFG_FILE, Name, sizeof(Name))) {
    ReportBegin("none");
    Expect(false, "QEMU gave no fw_cfg file %s", SCENARIO_FW_CFG_FILE);
    ReportFinish();
  }
  ReportBegin(Name);
  for (const SCENARIO &Scenario : Scenarios) {
    if (AsciiEqual(Scenario.Name, Name)) {
      Scenario.Run();
      ReportFinish();
    }
  }
  Expect(false, "no scenario named %s", Name);
  ReportFinish();
}
