#include "FirmwareTables.h"

EFI_HANDLE ImageHandle;

VOID FirmwareTablesInit(EFI_HANDLE Image, EFI_SYSTEM_TABLE *Table) {
  ImageHandle = Image;
  SystemTable = Table;
  BootServices = Table->BootServices;
  RuntimeServices = Table->RuntimeServices;
}

VOID *FindConfigurationTable(const EFI_GUID *Guid) {
  for (UINTN Index = 0; Index < SystemTable->NumberOfTableEntries; Index++) {
    if (CompareGuid(&SystemTable->ConfigurationTable[Index].VendorGuid, Guid)) {
      return SystemTable->ConfigurationTable[Index].VendorTable;
    }
  }
  return nullptr;
}

bool HasProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol) {
  VOID *Interface = nullptr;
  return BootServices->HandleProtocol(Handle, Protocol, &Interface) == EFI_SUCCESS;
}
