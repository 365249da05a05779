// Boot application of the real-firmware bench: started by OVMF as
// \EFI\BOOT\BOOTX64.EFI, it runs the scenario the host named in fw_cfg and
// ends QEMU with the verdict.
#include "BenchConsole.h"
#include "BenchPlatform.h"
#include "BenchResult.h"
#include "BenchScenarios.h"

#define SCENARIO_FW_CFG_FILE "opt/bench/scenario"
#define SCENARIO_NAME_SIZE 48

struct SCENARIO {
  const CHAR8 *Name;
  VOID (*Run)();
};

static const SCENARIO Scenarios[] = {
    {"setup-absent", SetupAbsentScenario},
    {"setup-mode7", SetupMode7Scenario},
    {"setup-too-large", SetupTooLargeScenario},
    {"revision-gate", RevisionGateScenario},
    {"calibration-hob", CalibrationHobScenario},
    {"calibration-window", CalibrationWindowScenario},
    {"calibration-window-masked", CalibrationWindowMaskedScenario},
    {"calibration-dead-timer", CalibrationDeadTimerScenario},
    {"ready-to-boot-usb2-1p", ReadyToBootUsb2OnePortScenario},
    {"ready-to-boot-a1-bar64", ReadyToBootA1Bar64Scenario},
    {"ready-to-boot-nothing", ReadyToBootNothingDisabledScenario},
    {"ready-to-boot-absent-controller", ReadyToBootAbsentControllerScenario},
    {"setup-reset-requested", SetupResetRequestedScenario},
    {"setup-reset-not-requested", SetupResetNotRequestedScenario},
    {"arrival-usb2-1p", ArrivalUsb2OnePortScenario},
    {"arrival-a1", ArrivalA1Scenario},
    {"arrival-b1", ArrivalB1Scenario},
    {"arrival-mode0", ArrivalMode0Scenario},
    {"hotplug-cycles", HotPlugCyclesScenario},
    {"road", RoadScenario},
    {"boot-cost", BootCostScenario},
};

extern "C" EFI_STATUS EFIAPI BenchMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  BenchTablesInit(ImageHandle, SystemTable);
  // The host's timeout bounds the run; the firmware's five-minute watchdog
  // would only add a second, slower one.
  (VOID) gBS->SetWatchdogTimer(0, 0, 0, nullptr);

  static CHAR8 Name[SCENARIO_NAME_SIZE];
  if (!FwCfgReadFile(SCENARIO_FW_CFG_FILE, Name, sizeof(Name))) {
    BenchBegin("none");
    Expect(false, "QEMU gave no fw_cfg file %s", SCENARIO_FW_CFG_FILE);
    BenchFinish();
  }
  BenchBegin(Name);
  for (const SCENARIO &Scenario : Scenarios) {
    if (AsciiEqual(Scenario.Name, Name)) {
      Scenario.Run();
      BenchFinish();
    }
  }
  Expect(false, "no scenario named %s", Name);
  BenchFinish();
}
