// NoOpDxe: the yardstick for the drivers' start-up and notification costs. It
// is dispatched the same way and arms the same three notifications (a
// device-path installation, the ready-to-boot and the End-of-DXE groups),
// whose functions do nothing.
#include "Guids.h"
#include "Uefi/SystemTable.h"

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
  EFI_EVENT EndOfDxe = nullptr;
  (VOID) BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &Arrival);
  (VOID) BootServices->RegisterProtocolNotify(&DevicePathProtocolGuid, Arrival, &Registration);
  (VOID) BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &ReadyToBootGroupGuid,
                                     &ReadyToBoot);
  (VOID) BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &EndOfDxeGroupGuid, &EndOfDxe);
  return EFI_SUCCESS;
}
