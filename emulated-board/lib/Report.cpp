#include "Report.h"

#include "Console.h"
#include "QemuPlatform.h"

#define RUN_NAME_SIZE 48

#define REASON_SIZE 200

static const CHAR8 *CurrentScenario = "unknown";
static bool Failed;
static CHAR8 FirstReason[REASON_SIZE];

VOID ReportBegin(const CHAR8 *Scenario) {
  CurrentScenario = Scenario;
  Print("BOARD: BEGIN %s\n", Scenario);
}

VOID Observe(const CHAR8 *Key, const CHAR8 *Format, ...) {
  CHAR8 Value[REASON_SIZE];
  __builtin_va_list Args;
  __builtin_va_start(Args, Format);
  FormatVa(Value, sizeof(Value), Format, Args);
  __builtin_va_end(Args);
  Print("BOARD: %s = %s\n", Key, Value);
}

bool Expect(bool Condition, const CHAR8 *Format, ...) {
  if (Condition) {
    return true;
  }
  CHAR8 Reason[REASON_SIZE];
  __builtin_va_list Args;
  __builtin_va_start(Args, Format);
  FormatVa(Reason, sizeof(Reason), Format, Args);
  __builtin_va_end(Args);
  Print("BOARD: CHECK FAILED: %s\n", Reason);
  if (!Failed) {
    FormatString(FirstReason, sizeof(FirstReason), "%s", Reason);
    Failed = true;
  }
  return false;
}

VOID ReportFinish() {
  if (Failed) {
    Print("BOARD: FAIL %s: %s\n", CurrentScenario, FirstReason);
    DebugExit(DEBUG_EXIT_FAIL);
  }
  Print("BOARD: PASS %s\n", CurrentScenario);
  DebugExit(DEBUG_EXIT_PASS);
}

VOID ReportReboot(const CHAR8 *Why) {
  if (Failed) {
    ReportFinish();
  }
  Print("BOARD: REBOOT %s: %s\n", CurrentScenario, Why);
  RuntimeServices->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);
  for (;;) {
  }
}

VOID RunNamed(const CHAR8 *FwCfgFile, const NAMED_RUN *Runs, UINTN Count) {
  // The host's timeout bounds the boot; the firmware's five-minute watchdog
  // would only add a second, slower one.
  (VOID) BootServices->SetWatchdogTimer(0, 0, 0, nullptr);
  static CHAR8 Name[RUN_NAME_SIZE];
  if (!FwCfgReadFile(FwCfgFile, Name, sizeof(Name))) {
    ReportBegin("none");
    Expect(false, "QEMU gave no fw_cfg file %s", FwCfgFile);
    ReportFinish();
  }
  ReportBegin(Name);
  for (UINTN Index = 0; Index < Count; Index++) {
    if (AsciiEqual(Runs[Index].Name, Name)) {
      Runs[Index].Run();
      ReportFinish();
    }
  }
  Expect(false, "nothing named %s to run", Name);
  ReportFinish();
}
