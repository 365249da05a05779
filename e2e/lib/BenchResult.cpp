#include "BenchResult.h"

#include "BenchConsole.h"
#include "BenchPlatform.h"

#define REASON_SIZE 200

static const CHAR8 *CurrentScenario = "unknown";
static bool Failed;
static CHAR8 FirstReason[REASON_SIZE];

VOID BenchBegin(const CHAR8 *Scenario) {
  CurrentScenario = Scenario;
  Print("BENCH: BEGIN %s\n", Scenario);
}

VOID Observe(const CHAR8 *Key, const CHAR8 *Format, ...) {
  CHAR8 Value[REASON_SIZE];
  __builtin_va_list Args;
  __builtin_va_start(Args, Format);
  FormatVa(Value, sizeof(Value), Format, Args);
  __builtin_va_end(Args);
  Print("BENCH: %s = %s\n", Key, Value);
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
  Print("BENCH: CHECK FAILED: %s\n", Reason);
  if (!Failed) {
    FormatString(FirstReason, sizeof(FirstReason), "%s", Reason);
    Failed = true;
  }
  return false;
}

VOID BenchFinish() {
  if (Failed) {
    Print("BENCH: FAIL %s: %s\n", CurrentScenario, FirstReason);
    DebugExit(DEBUG_EXIT_FAIL);
  }
  Print("BENCH: PASS %s\n", CurrentScenario);
  DebugExit(DEBUG_EXIT_PASS);
}

VOID BenchReboot(const CHAR8 *Why) {
  if (Failed) {
    BenchFinish();
  }
  Print("BENCH: REBOOT %s: %s\n", CurrentScenario, Why);
  gRT->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);
  for (;;) {
  }
}
