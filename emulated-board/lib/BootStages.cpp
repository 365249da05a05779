#include "BootStages.h"

#include "Console.h"
#include "Guids.h"
#include "Report.h"
#include "Variables.h"

#define BOARD_APP_STAGE_NAME u"BoardAppStage"

bool EnterCheckStage() {
  UINT8 Stage = 0;
  UINTN Size = sizeof(Stage);
  if (EFI_ERROR(RuntimeServices->GetVariable(BOARD_APP_STAGE_NAME, &StandInVariableGuid, nullptr, &Size, &Stage))) {
    return false;
  }
  DeleteVariable(BOARD_APP_STAGE_NAME, &StandInVariableGuid);
  return true;
}

VOID MarkCheckStageAndReset(const CHAR8 *Why) {
  const UINT8 Stage = 1;
  const EFI_STATUS Status = RuntimeServices->SetVariable(BOARD_APP_STAGE_NAME, &StandInVariableGuid,
                                                         NV_BS_RT_ATTRIBUTES, sizeof(Stage), &Stage);
  if (!Expect(Status == EFI_SUCCESS, "storing the stage mark: %s", StatusName(Status))) {
    return;
  }
  ReportReboot(Why);
}

STAND_IN_RECORD *StandInRecord() {
  STAND_IN_RECORD *Record = (STAND_IN_RECORD *)FindConfigurationTable(&StandInRecordGuid);
  if (!Expect(Record != nullptr, "no stand-in record: BoardStandInDxe was not started") ||
      !Expect(Record->BadSetting[0] == '\0', "BoardStandInDxe supplied nothing: fw_cfg setting %s is missing or "
              "malformed", Record->BadSetting)) {
    return nullptr;
  }
  return Record;
}
