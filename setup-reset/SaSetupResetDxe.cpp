// SaSetupResetDxe: turns the one-shot cold-reset request byte of SaSetup into
// a single cold reset, clearing the byte first so the request fires once.
#include "DriverSupportLib.h"
#include "SaSetup.h"

static const EFI_GUID SaSetupVariableGuid = SA_SETUP_VARIABLE_GUID;

static UINT8 SaSetupBuffer[SA_SETUP_BUFFER_SIZE];

/**
  Entry point of SaSetupResetDxe.

  @param ImageHandle  Not used.
  @param SystemTable  The firmware's system table.

  @retval EFI_SUCCESS               No reset was requested, or SaSetup could
                                    not be read or written back.
  @retval EFI_INCOMPATIBLE_VERSION  The firmware is older than UEFI 2.30.
  Does not return when the reset is performed.
**/
extern "C" EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  if (DriverSupportRevisionTooOld(SystemTable)) {
    return EFI_INCOMPATIBLE_VERSION;
  }
  DriverSupportInit(ImageHandle, SystemTable);

  UINT32 Attributes = 0;
  UINTN Size = sizeof(SaSetupBuffer);
  if (EFI_ERROR(RuntimeServices->GetVariable(SA_SETUP_VARIABLE_NAME, &SaSetupVariableGuid, &Attributes, &Size,
                                             SaSetupBuffer))) {
    return EFI_SUCCESS;
  }
  // A variable too short to hold the byte carries no request.
  if (Size <= SA_SETUP_COLD_RESET_REQUEST_OFFSET || SaSetupBuffer[SA_SETUP_COLD_RESET_REQUEST_OFFSET] == 0) {
    return EFI_SUCCESS;
  }

  SaSetupBuffer[SA_SETUP_COLD_RESET_REQUEST_OFFSET] = 0;
  // Without the cleared byte stored, a reset would either lose the request's
  // data or come back to the same request for ever.
  if (EFI_ERROR(RuntimeServices->SetVariable(SA_SETUP_VARIABLE_NAME, &SaSetupVariableGuid, Attributes, Size,
                                             SaSetupBuffer))) {
    return EFI_SUCCESS;
  }
  RuntimeServices->ResetSystem(EfiResetCold, EFI_SUCCESS, 0, nullptr);
  return EFI_SUCCESS;
}
