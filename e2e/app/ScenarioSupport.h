// What the bench's scenarios share: the names the drivers are checked
// against (stated here on their own, not taken from the drivers' headers,
// so a wrong constant in a driver shows up as a failure), loading images
// from the boot volume, and starting a driver under observation.
#pragma once

#include "BenchBoard.h"
#include "Protocol/DevicePath.h"
#include "Uefi/SystemTable.h"

#define POLICY_DRIVER_FILE u"\\UsbConnectorPolicyDxe.efi"
#define SA_SETUP_RESET_FILE u"\\SaSetupResetDxe.efi"

#define SETUP_SIZE 3612
#define SETUP_MODE_OFFSET 3291
#define SETUP_ENABLE_OFFSET 3580
#define SETUP_MODE_PER_CONNECTOR 7
#define CONNECTOR_COUNT 11
// WriteSetup's DisabledConnector when every connector stays enabled, and
// when every enable byte is 0.
#define NO_CONNECTOR (-1)
#define ALL_CONNECTORS (-2)

#define CAPABILITIES_NAME u"UsbConnectorCapabilities"
#define CAPABILITIES_GUID {0x44D6A54D, 0xDC4C, 0x4D83, {0xB7, 0xEA, 0xB1, 0x1F, 0x76, 0xDE, 0xEB, 0x88}}
#define CAPABILITIES_SIZE 160


// Device-path text of the handles the scenarios look at fits in this.
#define PATH_TEXT_SIZE 160
#define MAX_HANDLES 512

extern const EFI_GUID SetupGuid;
extern const EFI_GUID CapabilitiesGuid;
extern const EFI_GUID DevicePathProtocolGuid;
extern const EFI_GUID DevicePathToTextProtocolGuid;
extern const EFI_GUID UsbIoProtocolGuid;
extern const EFI_GUID BlockIoProtocolGuid;
extern const EFI_GUID SimpleFileSystemProtocolGuid;
extern const EFI_GUID ReadyToBootGroupGuid;

// Full device path of a file at the root of the volume this application was
// started from, in pool memory; null on failure.
EFI_DEVICE_PATH_PROTOCOL *BootVolumeFilePath(const CHAR16 *FileName, UINTN *PathSize);
// LoadImage of a file on the boot volume; null (and a failed check) when it
// cannot be loaded.
EFI_HANDLE LoadFromBootVolume(const CHAR16 *FileName);

// A non-volatile Setup of Size bytes with the control-mode byte at Mode, every
// enable byte 1 except DisabledConnector's (NO_CONNECTOR for none,
// ALL_CONNECTORS for every one).
bool WriteSetup(UINTN Size, UINT8 Mode, INTN DisabledConnector);
// The same with each connector's enable byte given.
bool WriteSetupBytes(UINTN Size, UINT8 Mode, const UINT8 *Enable);
VOID DeleteVariable(const CHAR16 *Name, const EFI_GUID *Guid);

bool HasProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol);
// Device-path text Path is Device's own path or one below it.
bool IsUnder(const CHAR8 *Path, const CHAR8 *Device);

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

// SaSetup as the bench stores it: SA_SETUP_SIZE patterned bytes, shorter than
// the driver's 1400-byte buffer so it must come back at this size, with
// Request at offset 190.
#define SA_SETUP_SIZE 400
#define SA_SETUP_REQUEST_OFFSET 190
bool StoreSaSetup(UINT8 Request);

struct SA_SETUP_STATE {
  EFI_STATUS Status;
  UINTN Size;
  UINT32 Attributes;
  UINT8 Request;      // byte 190; 0 when the variable is shorter
  INTN FirstChange;   // first other byte that differs from the stored pattern, or -1
};
SA_SETUP_STATE ReadSaSetup();

// Published-capability checks against the board's fixed connector block.
VOID ExpectNoCapabilities();
VOID ExpectCapabilitiesPublished();
