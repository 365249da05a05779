// The firmware tables every part of the emulated board calls through.
#pragma once

#include "Uefi/SystemTable.h"

extern EFI_HANDLE gImageHandle;
extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;
extern EFI_RUNTIME_SERVICES *gRT;

VOID FirmwareTablesInit(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// The VendorTable of the configuration-table entry Guid; null when absent.
VOID *FindConfigurationTable(const EFI_GUID *Guid);

bool HasProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol);

// The protocols and event groups the emulated board and the scenarios look at.
extern const EFI_GUID DevicePathProtocolGuid;
extern const EFI_GUID DevicePathToTextProtocolGuid;
extern const EFI_GUID UsbIoProtocolGuid;
extern const EFI_GUID BlockIoProtocolGuid;
extern const EFI_GUID SimpleFileSystemProtocolGuid;
extern const EFI_GUID ReadyToBootGroupGuid;
extern const EFI_GUID EndOfDxeGroupGuid;
