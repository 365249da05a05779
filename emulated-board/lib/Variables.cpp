#include "Variables.h"

#include "Console.h"
#include "Report.h"

const EFI_GUID SetupGuid = SETUP_VARIABLE_GUID;
const EFI_GUID CapabilitiesGuid = USB_CONNECTOR_CAPABILITIES_GUID;
const EFI_GUID SaSetupGuid = SA_SETUP_VARIABLE_GUID;

bool WriteSetupBytes(UINTN Size, UINT8 Mode, const UINT8 *Enable) {
  static UINT8 Setup[2 * SETUP_VARIABLE_SIZE];
  if (!Expect(Size <= sizeof(Setup), "Setup of %llu bytes is larger than the buffer for it", Size)) {
    return false;
  }
  __builtin_memset(Setup, 0, sizeof(Setup));
  Setup[SETUP_USB_CONNECTOR_CONTROL_MODE_OFFSET] = Mode;
  __builtin_memcpy(Setup + SETUP_USB_CONNECTOR_ENABLE_OFFSET, Enable, CONNECTOR_COUNT);
  const EFI_STATUS Status =
      RuntimeServices->SetVariable(SETUP_VARIABLE_NAME, &SetupGuid, NV_BS_RT_ATTRIBUTES, Size, Setup);
  return Expect(Status == EFI_SUCCESS, "storing Setup (%llu bytes): %s", Size, StatusName(Status));
}

VOID DeleteVariable(const CHAR16 *Name, const EFI_GUID *Guid) {
  // Not finding the variable is the wanted end state too.
  const EFI_STATUS Status = RuntimeServices->SetVariable(Name, Guid, 0, 0, nullptr);
  CHAR8 Text[64];
  AsciiFromText(Name, Text, sizeof(Text));
  Expect(Status == EFI_SUCCESS || Status == EFI_NOT_FOUND, "deleting %s: %s", Text, StatusName(Status));
}

static UINT8 PatternByte(UINTN Offset) { return (UINT8)(Offset * 37 + 11); }

bool StoreSaSetup(UINT8 Request) {
  static UINT8 SaSetup[SA_SETUP_STORED_SIZE];
  for (UINTN Offset = 0; Offset < SA_SETUP_STORED_SIZE; Offset++) {
    SaSetup[Offset] = PatternByte(Offset);
  }
  SaSetup[SA_SETUP_COLD_RESET_REQUEST_OFFSET] = Request;
  const EFI_STATUS Status =
      RuntimeServices->SetVariable(SA_SETUP_VARIABLE_NAME, &SaSetupGuid, SA_SETUP_STORED_ATTRIBUTES, sizeof(SaSetup),
                                   SaSetup);
  return Expect(Status == EFI_SUCCESS, "storing SaSetup: %s", StatusName(Status));
}

SA_SETUP_STATE ReadSaSetup() {
  // Room for more than the driver's own buffer, so a padded write-back shows as a size.
  static UINT8 SaSetup[4096];
  SA_SETUP_STATE State = {};
  State.Size = sizeof(SaSetup);
  State.Status =
      RuntimeServices->GetVariable(SA_SETUP_VARIABLE_NAME, &SaSetupGuid, &State.Attributes, &State.Size, SaSetup);
  State.FirstChange = -1;
  if (State.Status != EFI_SUCCESS) {
    return State;
  }
  State.Request = State.Size > SA_SETUP_COLD_RESET_REQUEST_OFFSET ? SaSetup[SA_SETUP_COLD_RESET_REQUEST_OFFSET] : 0;
  for (UINTN Offset = 0; Offset < State.Size && Offset < SA_SETUP_STORED_SIZE && State.FirstChange < 0; Offset++) {
    if (Offset != SA_SETUP_COLD_RESET_REQUEST_OFFSET && SaSetup[Offset] != PatternByte(Offset)) {
      State.FirstChange = (INTN)Offset;
    }
  }
  return State;
}
