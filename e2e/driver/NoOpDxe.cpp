// NoOpDxe: the yardstick for the drivers' start-up and notification costs. It
// is dispatched the same way and arms the same two kinds of notification (a
// device-path installation and the ready-to-boot group), whose functions do
// nothing.
#include "Guid/EventGroup.h"
#include "Protocol/DevicePath.h"
#include "Uefi/SystemTable.h"

static const EFI_GUID DevicePathProtocolGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
static const EFI_GUID ReadyToBootGroupGuid = EFI_EVENT_GROUP_READY_TO_BOOT;

static VOID *Registration;

static VOID EFIAPI Nothing(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
}

extern "C" EFI_STATUS EFIAPI NoOpEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (VOID) ImageHandle;
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  EFI_EVENT Arrival = nullptr;
  EFI_EVENT ReadyToBoot = nullptr;
  (VOID) BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &Arrival);
  (VOID) BootServices->RegisterProtocolNotify(&DevicePathProtocolGuid, Arrival, &Registration);
  (VOID) BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &ReadyToBootGroupGuid,
                                     &ReadyToBoot);
  return EFI_SUCCESS;
}
