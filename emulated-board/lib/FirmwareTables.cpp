#include "FirmwareTables.h"

#include "Guid/EventGroup.h"
#include "Protocol/DevicePathToText.h"
#include "Protocol/Storage.h"
#include "Protocol/UsbIo.h"

EFI_HANDLE gImageHandle;
EFI_SYSTEM_TABLE *gST;
EFI_BOOT_SERVICES *gBS;
EFI_RUNTIME_SERVICES *gRT;

const EFI_GUID DevicePathProtocolGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
const EFI_GUID DevicePathToTextProtocolGuid = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
const EFI_GUID UsbIoProtocolGuid = EFI_USB_IO_PROTOCOL_GUID;
const EFI_GUID BlockIoProtocolGuid = EFI_BLOCK_IO_PROTOCOL_GUID;
const EFI_GUID SimpleFileSystemProtocolGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
const EFI_GUID ReadyToBootGroupGuid = EFI_EVENT_GROUP_READY_TO_BOOT;
const EFI_GUID EndOfDxeGroupGuid = EFI_END_OF_DXE_EVENT_GROUP_GUID;

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
