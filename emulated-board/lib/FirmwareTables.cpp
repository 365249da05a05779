#include "FirmwareTables.h"

EFI_HANDLE gImageHandle;
EFI_SYSTEM_TABLE *gST;
EFI_BOOT_SERVICES *gBS;
EFI_RUNTIME_SERVICES *gRT;

VOID FirmwareTablesInit(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gImageHandle = ImageHandle;
  gST = SystemTable;
  gBS = SystemTable->BootServices;
  gRT = SystemTable->RuntimeServices;
}

VOID *FindConfigurationTable(const EFI_GUID *Guid) {
  for (UINTN Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    if (CompareGuid(&gST->ConfigurationTable[Index].VendorGuid, Guid)) {
      return gST->ConfigurationTable[Index].VendorTable;
    }
  }
  return nullptr;
}

bool HasProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol) {
  VOID *Interface = nullptr;
  return gBS->HandleProtocol(Handle, Protocol, &Interface) == EFI_SUCCESS;
}
