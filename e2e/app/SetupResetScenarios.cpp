// SaSetupResetDxe loaded by OVMF's boot manager as a Driver#### option: with
// the request byte set it clears it and resets exactly once; without it the
// boot goes on and SaSetup is left alone. BenchBoardDxe, loaded first,
// counts the boots.
#include "BenchConsole.h"
#include "BenchResult.h"
#include "BenchScenarios.h"
#include "DriverOptions.h"
#include "ScenarioSupport.h"

static const EFI_GUID SaSetupGuid = SA_SETUP_GUID;

struct SETUP_RESET_CASE {
  UINT8 Request;
  UINT32 WantedBoots;  // boots with the bench board: the check boot, plus one for the reset
  UINT32 WantedWrites;
};

static const SETUP_RESET_CASE RequestedCase = {1, 2, 1};
static const SETUP_RESET_CASE NotRequestedCase = {0, 1, 0};

static UINT8 PatternByte(UINTN Offset) { return (UINT8)(Offset * 37 + 11); }

bool StoreSaSetup(UINT8 Request) {
  static UINT8 SaSetup[SA_SETUP_SIZE];
  for (UINTN Offset = 0; Offset < SA_SETUP_SIZE; Offset++) {
    SaSetup[Offset] = PatternByte(Offset);
  }
  SaSetup[SA_SETUP_REQUEST_OFFSET] = Request;
  const EFI_STATUS Status =
      gRT->SetVariable(SA_SETUP_NAME, &SaSetupGuid, NV_BS_RT_ATTRIBUTES, sizeof(SaSetup), SaSetup);
  return Expect(Status == EFI_SUCCESS, "storing SaSetup: %s", StatusName(Status));
}

SA_SETUP_STATE ReadSaSetup() {
  // Room for more than the driver's own buffer, so a padded write-back shows as a size.
  static UINT8 SaSetup[4096];
  SA_SETUP_STATE State = {};
  State.Size = sizeof(SaSetup);
  State.Status = gRT->GetVariable(SA_SETUP_NAME, &SaSetupGuid, &State.Attributes, &State.Size, SaSetup);
  State.FirstChange = -1;
  if (State.Status != EFI_SUCCESS) {
    return State;
  }
  State.Request = State.Size > SA_SETUP_REQUEST_OFFSET ? SaSetup[SA_SETUP_REQUEST_OFFSET] : 0;
  for (UINTN Offset = 0; Offset < State.Size && Offset < SA_SETUP_SIZE && State.FirstChange < 0; Offset++) {
    if (Offset != SA_SETUP_REQUEST_OFFSET && SaSetup[Offset] != PatternByte(Offset)) {
      State.FirstChange = (INTN)Offset;
    }
  }
  return State;
}

static VOID Prepare(const SETUP_RESET_CASE &Case) {
  if (StoreSaSetup(Case.Request)) {
    RegisterDriversAndReset(SA_SETUP_RESET_FILE);
  }
}

static VOID Check(const SETUP_RESET_CASE &Case) {
  const BENCH_BOARD_RECORD *Record = BenchBoardRecord();
  if (Record == nullptr) {
    return;
  }
  const SA_SETUP_STATE State = ReadSaSetup();
  Observe("boots with the bench board", "%u", Record->BootCount);
  Observe("SaSetup writes by the drivers", "%u", Record->SaSetupWrites);
  if (!Expect(State.Status == EFI_SUCCESS, "SaSetup not readable: %s", StatusName(State.Status))) {
    return;
  }
  Observe("SaSetup", "%llu bytes, attributes 0x%08x, byte 190 = %u", State.Size, State.Attributes, State.Request);

  Expect(Record->BootCount == Case.WantedBoots, "%u boots with the bench board, wanted %u", Record->BootCount,
         Case.WantedBoots);
  Expect(Record->SaSetupWrites == Case.WantedWrites, "SaSetup written %u times by the drivers, wanted %u",
         Record->SaSetupWrites, Case.WantedWrites);
  Expect(State.Size == SA_SETUP_SIZE, "SaSetup is %llu bytes, stored %u", State.Size, SA_SETUP_SIZE);
  Expect(State.Attributes == NV_BS_RT_ATTRIBUTES, "SaSetup attributes 0x%08x, stored 0x%08x", State.Attributes,
         NV_BS_RT_ATTRIBUTES);
  Expect(State.Request == 0, "SaSetup byte 190 is %u, wanted 0", State.Request);
  Expect(State.FirstChange < 0, "SaSetup byte %llu changed", (UINT64)State.FirstChange);
}

VOID SetupResetRequestedScenario() { RunTwoBoots(RequestedCase, Prepare, Check); }

VOID SetupResetNotRequestedScenario() { RunTwoBoots(NotRequestedCase, Prepare, Check); }
