#include "ScenarioSupport.h"

#include "Console.h"
#include "DevicePaths.h"
#include "Guids.h"
#include "Hardware.h"
#include "HobListCopy.h"
#include "Protocol/LoadedImage.h"
#include "Report.h"
#include "TableHooks.h"

EFI_DEVICE_PATH_PROTOCOL *BootVolumeFilePath(const CHAR16 *FileName, UINTN *PathSize) {
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  EFI_DEVICE_PATH_PROTOCOL *Volume = nullptr;
  if (EFI_ERROR(BootServices->HandleProtocol(ImageHandle, &LoadedImageProtocolGuid, (VOID **)&LoadedImage)) ||
      EFI_ERROR(BootServices->HandleProtocol(LoadedImage->DeviceHandle, &DevicePathProtocolGuid, (VOID **)&Volume))) {
    return nullptr;
  }
  const UINTN VolumeSize = DevicePathSize(Volume);
  UINTN NameBytes = sizeof(CHAR16);
  for (const CHAR16 *Character = FileName; *Character != 0; Character++) {
    NameBytes += sizeof(CHAR16);
  }
  const UINTN FileNodeSize = sizeof(EFI_DEVICE_PATH_PROTOCOL) + NameBytes;
  const UINTN Total = VolumeSize + FileNodeSize + sizeof(EFI_DEVICE_PATH_PROTOCOL);

  UINT8 *Path = nullptr;
  if (EFI_ERROR(BootServices->AllocatePool(EfiBootServicesData, Total, (VOID **)&Path))) {
    return nullptr;
  }
  __builtin_memcpy(Path, Volume, VolumeSize);
  SetDevicePathNode((EFI_DEVICE_PATH_PROTOCOL *)(Path + VolumeSize), MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP,
                    FileNodeSize);
  __builtin_memcpy(Path + VolumeSize + sizeof(EFI_DEVICE_PATH_PROTOCOL), FileName, NameBytes);
  SetDevicePathNode((EFI_DEVICE_PATH_PROTOCOL *)(Path + VolumeSize + FileNodeSize), END_DEVICE_PATH_TYPE,
                    END_ENTIRE_DEVICE_PATH_SUBTYPE, sizeof(EFI_DEVICE_PATH_PROTOCOL));
  *PathSize = Total;
  return (EFI_DEVICE_PATH_PROTOCOL *)Path;
}

EFI_HANDLE LoadFromBootVolume(const CHAR16 *FileName) {
  UINTN PathSize = 0;
  EFI_DEVICE_PATH_PROTOCOL *Path = BootVolumeFilePath(FileName, &PathSize);
  if (!Expect(Path != nullptr, "no device path for the boot volume")) {
    return nullptr;
  }
  EFI_HANDLE Image = nullptr;
  const EFI_STATUS Status = BootServices->LoadImage(FALSE, ImageHandle, Path, nullptr, 0, &Image);
  BootServices->FreePool(Path);
  CHAR8 Name[64];
  AsciiFromText(FileName, Name, sizeof(Name));
  if (!Expect(Status == EFI_SUCCESS, "LoadImage %s: %s (0x%llx)", Name, StatusName(Status), Status)) {
    return nullptr;
  }
  return Image;
}

INTN ConnectorIndex(const CHAR8 *Label) {
  for (UINTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    if (AsciiEqual(ConnectorTable[Connector].Label, Label)) {
      return (INTN)Connector;
    }
  }
  Expect(false, "the board has no connector %s", Label);
  return NO_CONNECTOR;
}

bool WriteSetup(UINTN Size, INTN DisabledConnector) {
  UINT8 Enable[CONNECTOR_COUNT];
  for (INTN Connector = 0; Connector < (INTN)CONNECTOR_COUNT; Connector++) {
    Enable[Connector] = Connector == DisabledConnector ? 0 : 1;
  }
  return WriteSetupBytes(Size, USB_CONNECTOR_CONTROL_PER_CONNECTOR, Enable);
}

static EFI_GET_VARIABLE FirmwareGetVariable;
static EFI_SET_VARIABLE FirmwareSetVariable;
static EFI_LOCATE_PROTOCOL FirmwareLocateProtocol;
static DRIVER_START *CountingInto;

static VOID NoteServiceCall() {
  if (!CountingInto->ServiceCalled) {
    CountingInto->ServiceCalled = true;
    CountingInto->FirstServiceRflags = ReadRflags();
  }
}

static EFI_STATUS EFIAPI CountingGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                             UINTN *DataSize, VOID *Data) {
  NoteServiceCall();
  CountingInto->GetVariableCalls++;
  return FirmwareGetVariable(Name, Guid, Attributes, DataSize, Data);
}

static EFI_STATUS EFIAPI CountingSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                                             UINTN DataSize, const VOID *Data) {
  NoteServiceCall();
  CountingInto->SetVariableCalls++;
  return FirmwareSetVariable(Name, Guid, Attributes, DataSize, Data);
}

static EFI_STATUS EFIAPI WatchedLocateProtocol(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  NoteServiceCall();
  return FirmwareLocateProtocol(Protocol, Registration, Interface);
}

// PE32+: e_lfanew at 0x3C of the DOS header; AddressOfEntryPoint 0x28 bytes
// into the NT headers.
#define PE_HEADER_OFFSET_FIELD 0x3C
#define PE_ENTRY_POINT_FIELD 0x28

EFI_IMAGE_ENTRY_POINT ImageEntryPoint(EFI_HANDLE Image) {
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  if (EFI_ERROR(BootServices->HandleProtocol(Image, &LoadedImageProtocolGuid, (VOID **)&LoadedImage))) {
    return nullptr;
  }
  const UINT8 *Base = (const UINT8 *)LoadedImage->ImageBase;
  const UINT32 PeHeader = *(const UINT32 *)(Base + PE_HEADER_OFFSET_FIELD);
  return (EFI_IMAGE_ENTRY_POINT)(Base + *(const UINT32 *)(Base + PeHeader + PE_ENTRY_POINT_FIELD));
}

DRIVER_START StartCounted(EFI_HANDLE Image, EFI_IMAGE_ENTRY_POINT DirectEntry) {
  DRIVER_START Start = {};
  CountingInto = &Start;
  FirmwareGetVariable = HookSlot(&RuntimeServices->Hdr, &RuntimeServices->GetVariable, CountingGetVariable);
  FirmwareSetVariable = HookSlot(&RuntimeServices->Hdr, &RuntimeServices->SetVariable, CountingSetVariable);
  FirmwareLocateProtocol = HookSlot(&BootServices->Hdr, &BootServices->LocateProtocol, WatchedLocateProtocol);
  Start.Status =
      DirectEntry == nullptr ? BootServices->StartImage(Image, nullptr, nullptr) : DirectEntry(Image, SystemTable);
  (VOID) HookSlot(&RuntimeServices->Hdr, &RuntimeServices->GetVariable, FirmwareGetVariable);
  (VOID) HookSlot(&RuntimeServices->Hdr, &RuntimeServices->SetVariable, FirmwareSetVariable);
  (VOID) HookSlot(&BootServices->Hdr, &BootServices->LocateProtocol, FirmwareLocateProtocol);
  return Start;
}

DRIVER_START StartWithCalibrationHob(EFI_HANDLE Image) {
  DRIVER_START Failed = {};
  Failed.Status = EFI_ABORTED;
  UINT8 *List = FirmwareHobList();
  if (!Expect(List != nullptr, "no HOB list in the configuration table")) {
    return Failed;
  }
  UINT8 *Copy = HobListWithCalibrationHob(List);
  if (!Expect(Copy != nullptr, "no pool for the HOB list copy")) {
    return Failed;
  }
  const EFI_STATUS Installed = BootServices->InstallConfigurationTable(&HobListGuid, Copy);
  if (!Expect(Installed == EFI_SUCCESS, "InstallConfigurationTable: %s", StatusName(Installed))) {
    return Failed;
  }
  const DRIVER_START Start = StartCounted(Image);
  // The copy stays allocated: the resident driver may keep pointing at it.
  (VOID) BootServices->InstallConfigurationTable(&HobListGuid, List);
  return Start;
}

VOID ObserveStart(const DRIVER_START &Start) {
  Observe("driver returned", "%s (0x%llx)", StatusName(Start.Status), Start.Status);
  Observe("firmware calls", "GetVariable %llu, SetVariable %llu%s", Start.GetVariableCalls, Start.SetVariableCalls,
          Start.ServiceCalled ? "" : ", no LocateProtocol either");
}

static UINT8 ReadBack[2 * sizeof(USB_CONNECTOR_CAPABILITIES)];

VOID ExpectNoCapabilities() {
  UINTN Size = sizeof(ReadBack);
  const EFI_STATUS Status =
      RuntimeServices->GetVariable(USB_CONNECTOR_CAPABILITIES_NAME, &CapabilitiesGuid, nullptr, &Size, ReadBack);
  Observe("UsbConnectorCapabilities", "%s", Status == EFI_NOT_FOUND ? "absent" : StatusName(Status));
  Expect(Status == EFI_NOT_FOUND, "UsbConnectorCapabilities lookup gave %s, wanted EFI_NOT_FOUND", StatusName(Status));
}

VOID ExpectCapabilitiesPublished() {
  UINT32 Attributes = 0;
  UINTN Size = sizeof(ReadBack);
  const EFI_STATUS Status =
      RuntimeServices->GetVariable(USB_CONNECTOR_CAPABILITIES_NAME, &CapabilitiesGuid, &Attributes, &Size, ReadBack);
  if (!Expect(Status == EFI_SUCCESS, "UsbConnectorCapabilities not readable: %s", StatusName(Status))) {
    return;
  }
  Observe("UsbConnectorCapabilities", "%llu bytes, attributes 0x%08x", Size, Attributes);
  Expect(Size == sizeof(USB_CONNECTOR_CAPABILITIES), "UsbConnectorCapabilities is %llu bytes, wanted %llu", Size,
         (UINT64)sizeof(USB_CONNECTOR_CAPABILITIES));
  Expect(Attributes == EFI_VARIABLE_BOOTSERVICE_ACCESS, "UsbConnectorCapabilities attributes 0x%08x, wanted 0x%08x",
         Attributes, EFI_VARIABLE_BOOTSERVICE_ACCESS);
}
