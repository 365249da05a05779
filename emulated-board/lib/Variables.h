// The variables other firmware components of the board would keep, as the
// emulated board stores and reads them: Setup with the bytes the policy
// driver consumes, and SaSetup with a recognisable pattern around its
// request byte.
#pragma once

#include "PolicyVariables.h"
#include "SaSetup.h"
#include "Uefi/SystemTable.h"

#define NV_BS_RT_ATTRIBUTES (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS)

extern const EFI_GUID SetupGuid;
extern const EFI_GUID CapabilitiesGuid;
extern const EFI_GUID SaSetupGuid;

// A non-volatile Setup of Size bytes, all zero but the control-mode byte and
// each connector's enable byte.
bool WriteSetupBytes(UINTN Size, UINT8 Mode, const UINT8 *Enable);
VOID DeleteVariable(const CHAR16 *Name, const EFI_GUID *Guid);

// SaSetup as stored here: SA_SETUP_STORED_SIZE patterned bytes, shorter than
// the driver's buffer so it must come back at this size, with Request at the
// request offset, and with these attributes, which it must keep.
#define SA_SETUP_STORED_SIZE 400
#define SA_SETUP_STORED_ATTRIBUTES NV_BS_RT_ATTRIBUTES
bool StoreSaSetup(UINT8 Request);

struct SA_SETUP_STATE {
  EFI_STATUS Status;
  UINTN Size;
  UINT32 Attributes;
  UINT8 Request;     // the request byte; 0 when the variable is shorter
  INTN FirstChange;  // first other byte that differs from the stored pattern, or -1
};
SA_SETUP_STATE ReadSaSetup();
