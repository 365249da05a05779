// What the OVMF scenarios share: loading driver images from the boot volume,
// starting a driver under observation, and what it published.
#pragma once

#include "Protocol/DevicePath.h"
#include "StandIn.h"
#include "Uefi/SystemTable.h"
#include "Variables.h"

#define POLICY_DRIVER_FILE u"\\UsbConnectorPolicyDxe.efi"
#define SA_SETUP_RESET_FILE u"\\SaSetupResetDxe.efi"

// WriteSetup's DisabledConnector when every connector stays enabled.
#define NO_CONNECTOR (-1)

// Full device path of a file at the root of the volume this application was
// started from, in pool memory; null on failure.
EFI_DEVICE_PATH_PROTOCOL *BootVolumeFilePath(const CHAR16 *FileName, UINTN *PathSize);
// LoadImage of a file on the boot volume; null (and a failed check) when it
// cannot be loaded.
EFI_HANDLE LoadFromBootVolume(const CHAR16 *FileName);

// The board's index of the connector with this label; NO_CONNECTOR (and a
// failed check) for none.
INTN ConnectorIndex(const CHAR8 *Label);
// A non-volatile Setup of Size bytes in per-connector mode, every enable
// byte 1 but DisabledConnector's (NO_CONNECTOR for none).
bool WriteSetup(UINTN Size, INTN DisabledConnector);

struct DRIVER_START {
  EFI_STATUS Status;
  UINTN GetVariableCalls;
  UINTN SetVariableCalls;
  // RFLAGS when the driver first called LocateProtocol, GetVariable or
  // SetVariable: what its start-up frame left behind.
  bool ServiceCalled;
  UINT64 FirstServiceRflags;
};

// The loaded image's PE entry point; null when it cannot be found.
EFI_IMAGE_ENTRY_POINT ImageEntryPoint(EFI_HANDLE Image);

// Starts the image with GetVariable and SetVariable counted, and
// LocateProtocol watched, for the duration of the call: through StartImage,
// or by calling DirectEntry when given, so that no firmware code runs between
// the caller and the driver's first instruction (any firmware service turns
// interrupts back on when it restores the caller's TPL).
DRIVER_START StartCounted(EFI_HANDLE Image, EFI_IMAGE_ENTRY_POINT DirectEntry = nullptr);
// StartCounted through StartImage with a copy of the HOB list that also holds
// the calibration HOB in the configuration table, the firmware's list put
// back afterwards.
DRIVER_START StartWithCalibrationHob(EFI_HANDLE Image);
VOID ObserveStart(const DRIVER_START &Start);

// Whether the policy driver published its capability block: its start went
// to the end. What the block holds is the road's to judge.
VOID ExpectNoCapabilities();
VOID ExpectCapabilitiesPublished();
