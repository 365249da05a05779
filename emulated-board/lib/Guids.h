// The GUIDs the emulated board and the OVMF scenarios use, defined once in
// Guids.cpp. The HOB list's and the calibration HOB's are the support
// library's (DriverSupportLib.h), the variables' are in Variables.h.
#pragma once

#include "Uefi/Base.h"

extern const EFI_GUID DevicePathProtocolGuid;
extern const EFI_GUID DevicePathToTextProtocolGuid;
extern const EFI_GUID UsbIoProtocolGuid;
extern const EFI_GUID BlockIoProtocolGuid;
extern const EFI_GUID SimpleFileSystemProtocolGuid;
extern const EFI_GUID LoadedImageProtocolGuid;
extern const EFI_GUID S3SaveStateProtocolGuid;
extern const EFI_GUID SmmReadyToLockProtocolGuid;
extern const EFI_GUID HubPortDisableProtocolGuid;
extern const EFI_GUID ReadyToBootGroupGuid;
extern const EFI_GUID EndOfDxeGroupGuid;
extern const EFI_GUID GlobalVariableGuid;
extern const EFI_GUID Acpi20TableGuid;

// The emulated board's own: the stand-in's variables and record
// (StandIn.h), and the boot-cost table (BootCost.h).
extern const EFI_GUID StandInVariableGuid;
extern const EFI_GUID StandInRecordGuid;
extern const EFI_GUID BootCostTableGuid;
