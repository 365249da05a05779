// The loader a bootable stick carries as \EFI\BOOT\BOOTX64.EFI: it says on
// the console (the serial line) that it ran and from which device, then
// hands the boot back to the firmware.
//
// It returns EFI_NOT_FOUND on purpose. EDK2's BDS (BootBootOptions in
// MdeModulePkg/Universal/BdsDxe/BdsEntry.c) treats a boot option that
// returns EFI_SUCCESS as a finished boot and starts the boot-manager menu
// (OVMF's UiApp) instead of the next Boot#### option; any error status
// makes it go on with the next option in BootOrder, here the road's boot
// application.
#include "Console.h"
#include "DevicePaths.h"
#include "FirmwareTables.h"
#include "Guids.h"
#include "Protocol/LoadedImage.h"

#define LOADER_PATH_SIZE 256

// The text of the device the image was loaded from; false when any step fails.
static bool LoadedFrom(CHAR8 *Buffer, UINTN Size) {
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  return !EFI_ERROR(BootServices->HandleProtocol(ImageHandle, &LoadedImageProtocolGuid, (VOID **)&LoadedImage)) &&
         LoadedImage->DeviceHandle != nullptr && DevicePathText(LoadedImage->DeviceHandle, Buffer, Size) &&
         Buffer[0] != '\0';
}

extern "C" EFI_STATUS EFIAPI StickLoaderMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  FirmwareTablesInit(ImageHandle, SystemTable);
  CHAR8 Path[LOADER_PATH_SIZE];
  Print("BOARD: ROAD loader path=%s\n", LoadedFrom(Path, sizeof(Path)) ? Path : "unknown");
  return EFI_NOT_FOUND;
}
