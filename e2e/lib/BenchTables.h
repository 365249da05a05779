// The firmware tables every bench component calls through.
#pragma once

#include "Uefi/SystemTable.h"

extern EFI_HANDLE gImageHandle;
extern EFI_SYSTEM_TABLE *gST;
extern EFI_BOOT_SERVICES *gBS;
extern EFI_RUNTIME_SERVICES *gRT;

VOID BenchTablesInit(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// The VendorTable of the configuration-table entry Guid; null when absent.
VOID *FindConfigurationTable(const EFI_GUID *Guid);
