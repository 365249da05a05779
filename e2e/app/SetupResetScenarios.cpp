// SaSetupResetDxe loaded by OVMF's boot manager as a Driver#### option: with
// the request byte set it clears it and resets exactly once; without it the
// boot goes on and SaSetup is left alone. BenchBoardDxe, loaded first,
// counts the boots.
#include "BenchConsole.h"
#include "BenchResult.h"
#include "BenchScenarios.h"
#include "DriverOptions.h"
#include "ScenarioSupport.h"

#define SA_SETUP_NAME u"SaSetup"
#define SA_SETUP_GUID {0x72C5E28C, 0x7783, 0x43A1, {0x87, 0x67, 0xFA, 0xD7, 0x3F, 0xCC, 0xAF, 0xA4}}
// Shorter than the driver's 1400-byte buffer: it must come back at this size.
#define SA_SETUP_SIZE 400
#define SA_SETUP_REQUEST_OFFSET 190

static const EFI_GUID SaSetupGuid = SA_SETUP_GUID;

struct SETUP_RESET_CASE {
  UINT8 Request;
  UINT32 WantedBoots;  // boots with the bench board: the check boot, plus one for the reset
  UINT32 WantedWrites;
};

static const SETUP_RESET_CASE RequestedCase = {1, 2, 1};
static const SETUP_RESET_CASE NotRequestedCase = {0, 1, 0};

static UINT8 PatternByte(UINTN Offset) { return (UINT8)(Offset * 37 + 11); }

static VOID Prepare(const SETUP_RESET_CASE &Case) {
  static UINT8 SaSetup[SA_SETUP_SIZE];
  for (UINTN Offset = 0; Offset < SA_SETUP_SIZE; Offset++) {
    SaSetup[Offset] = PatternByte(Offset);
  }
  SaSetup[SA_SETUP_REQUEST_OFFSET] = Case.Request;
  const EFI_STATUS Status =
      gRT->SetVariable(SA_SETUP_NAME, &SaSetupGuid, NV_BS_RT_ATTRIBUTES, sizeof(SaSetup), SaSetup);
  if (!Expect(Status == EFI_SUCCESS, "storing SaSetup: %s", StatusName(Status))) {
    return;
  }
  RegisterDriversAndReset(SA_SETUP_RESET_FILE);
}

static VOID Check(const SETUP_RESET_CASE &Case) {
  const BENCH_BOARD_RECORD *Record = BenchBoardRecord();
  if (Record == nullptr) {
    return;
  }
  // Room for more than the driver's own buffer, so a padded write-back shows as a size.
  static UINT8 SaSetup[4096];
  UINT32 Attributes = 0;
  UINTN Size = sizeof(SaSetup);
  const EFI_STATUS Status = gRT->GetVariable(SA_SETUP_NAME, &SaSetupGuid, &Attributes, &Size, SaSetup);
  Observe("boots with the bench board", "%u", Record->BootCount);
  Observe("SaSetup writes by the drivers", "%u", Record->SaSetupWrites);
  if (!Expect(Status == EFI_SUCCESS, "SaSetup not readable: %s", StatusName(Status))) {
    return;
  }
  Observe("SaSetup", "%llu bytes, attributes 0x%08x, byte 190 = %u", Size, Attributes,
          Size > SA_SETUP_REQUEST_OFFSET ? SaSetup[SA_SETUP_REQUEST_OFFSET] : 0U);

  Expect(Record->BootCount == Case.WantedBoots, "%u boots with the bench board, wanted %u", Record->BootCount,
         Case.WantedBoots);
  Expect(Record->SaSetupWrites == Case.WantedWrites, "SaSetup written %u times by the drivers, wanted %u",
         Record->SaSetupWrites, Case.WantedWrites);
  Expect(Size == SA_SETUP_SIZE, "SaSetup is %llu bytes, stored %u", Size, SA_SETUP_SIZE);
  Expect(Attributes == NV_BS_RT_ATTRIBUTES, "SaSetup attributes 0x%08x, stored 0x%08x", Attributes,
         NV_BS_RT_ATTRIBUTES);
  for (UINTN Offset = 0; Offset < Size && Offset < SA_SETUP_SIZE; Offset++) {
    const UINT8 Wanted = Offset == SA_SETUP_REQUEST_OFFSET ? 0 : PatternByte(Offset);
    if (!Expect(SaSetup[Offset] == Wanted, "SaSetup byte %llu is 0x%02x, wanted 0x%02x", Offset, SaSetup[Offset],
                Wanted)) {
      return;
    }
  }
}

VOID SetupResetRequestedScenario() { RunTwoBoots(RequestedCase, Prepare, Check); }

VOID SetupResetNotRequestedScenario() { RunTwoBoots(NotRequestedCase, Prepare, Check); }
