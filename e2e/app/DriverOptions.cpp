#include "DriverOptions.h"

#include "BenchConsole.h"
#include "BenchResult.h"
#include "Guid/GlobalVariable.h"
#include "ScenarioSupport.h"

#define BENCH_STAGE_NAME u"BenchStage"
#define LOAD_OPTION_SIZE 512

static const EFI_GUID GlobalVariableGuid = EFI_GLOBAL_VARIABLE_GUID;
const EFI_GUID BenchVariableGuid = BENCH_VARIABLE_GUID;
static const EFI_GUID BenchBoardRecordGuid = BENCH_BOARD_RECORD_GUID;

bool EnterCheckStage() {
  UINT8 Stage = 0;
  UINTN Size = sizeof(Stage);
  if (EFI_ERROR(gRT->GetVariable(BENCH_STAGE_NAME, &BenchVariableGuid, nullptr, &Size, &Stage))) {
    return false;
  }
  DeleteVariable(BENCH_STAGE_NAME, &BenchVariableGuid);
  return true;
}

// EFI_LOAD_OPTION: attributes, path length, description, device path.
static bool StoreDriverOption(UINTN Number, const CHAR16 *File) {
  static const CHAR16 Description[] = u"Bench driver";
  UINTN PathSize = 0;
  EFI_DEVICE_PATH_PROTOCOL *Path = BootVolumeFilePath(File, &PathSize);
  if (!Expect(Path != nullptr, "no device path for the boot volume")) {
    return false;
  }
  static UINT8 Option[LOAD_OPTION_SIZE];
  const EFI_LOAD_OPTION_HEADER Header = {LOAD_OPTION_ACTIVE, (UINT16)PathSize};
  const UINTN Size = sizeof(Header) + sizeof(Description) + PathSize;
  if (!Expect(Size <= sizeof(Option), "load option of %llu bytes", Size)) {
    return false;
  }
  __builtin_memcpy(Option, &Header, sizeof(Header));
  __builtin_memcpy(Option + sizeof(Header), Description, sizeof(Description));
  __builtin_memcpy(Option + sizeof(Header) + sizeof(Description), Path, PathSize);
  gBS->FreePool(Path);

  CHAR16 Name[] = u"Driver0000";
  Name[9] = (CHAR16)(u'0' + Number);
  const EFI_STATUS Status = gRT->SetVariable(Name, &GlobalVariableGuid, NV_BS_RT_ATTRIBUTES, Size, Option);
  CHAR8 FileName[48];
  AsciiFromText(File, FileName, sizeof(FileName));
  Observe("load option", "Driver%04llu = %s", (UINT64)Number, FileName);
  return Expect(Status == EFI_SUCCESS, "storing Driver%04llu: %s", (UINT64)Number, StatusName(Status));
}

VOID RegisterDriversAndReset(const CHAR16 *DriverFile) {
  if (!StoreDriverOption(0, BENCH_BOARD_FILE) || !StoreDriverOption(1, DriverFile)) {
    return;
  }
  static const UINT16 Order[] = {0, 1};
  const EFI_STATUS Status =
      gRT->SetVariable(u"DriverOrder", &GlobalVariableGuid, NV_BS_RT_ATTRIBUTES, sizeof(Order), Order);
  if (!Expect(Status == EFI_SUCCESS, "storing DriverOrder: %s", StatusName(Status))) {
    return;
  }
  MarkCheckStageAndReset("Driver#### options stored");
}

VOID MarkCheckStageAndReset(const CHAR8 *Why) {
  const UINT8 Stage = 1;
  const EFI_STATUS Status =
      gRT->SetVariable(BENCH_STAGE_NAME, &BenchVariableGuid, NV_BS_RT_ATTRIBUTES, sizeof(Stage), &Stage);
  if (!Expect(Status == EFI_SUCCESS, "storing the stage mark: %s", StatusName(Status))) {
    return;
  }
  BenchReboot(Why);
}

BENCH_BOARD_RECORD *BenchBoardRecord() {
  BENCH_BOARD_RECORD *Record = (BENCH_BOARD_RECORD *)FindConfigurationTable(&BenchBoardRecordGuid);
  Expect(Record != nullptr, "no bench board record: BenchBoardDxe was not loaded from Driver0000");
  return Record;
}
