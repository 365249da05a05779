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
