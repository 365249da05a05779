#include "ScenarioSupport.h"

#include "BenchBoard.h"
#include "BenchConsole.h"
#include "BenchResult.h"
#include "Hardware.h"
#include "HobListCopy.h"
#include "Guid/EventGroup.h"
#include "Protocol/DevicePathToText.h"
#include "Protocol/LoadedImage.h"
#include "Protocol/Storage.h"
#include "Protocol/UsbIo.h"

const EFI_GUID SetupGuid = SETUP_GUID;
const EFI_GUID CapabilitiesGuid = CAPABILITIES_GUID;

const EFI_GUID DevicePathProtocolGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
const EFI_GUID DevicePathToTextProtocolGuid = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
const EFI_GUID UsbIoProtocolGuid = EFI_USB_IO_PROTOCOL_GUID;
const EFI_GUID BlockIoProtocolGuid = EFI_BLOCK_IO_PROTOCOL_GUID;
const EFI_GUID SimpleFileSystemProtocolGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
const EFI_GUID ReadyToBootGroupGuid = EFI_EVENT_GROUP_READY_TO_BOOT;

static const EFI_GUID LoadedImageProtocolGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;

static UINTN NodeLength(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  return (UINTN)Node->Length[0] | ((UINTN)Node->Length[1] << 8);
}

static VOID SetNode(EFI_DEVICE_PATH_PROTOCOL *Node, UINT8 Type, UINT8 SubType, UINTN Length) {
  Node->Type = Type;
  Node->SubType = SubType;
  Node->Length[0] = (UINT8)Length;
  Node->Length[1] = (UINT8)(Length >> 8);
}

EFI_DEVICE_PATH_PROTOCOL *BootVolumeFilePath(const CHAR16 *FileName, UINTN *PathSize) {
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  EFI_DEVICE_PATH_PROTOCOL *Volume = nullptr;
  if (EFI_ERROR(gBS->HandleProtocol(gImageHandle, &LoadedImageProtocolGuid, (VOID **)&LoadedImage)) ||
      EFI_ERROR(gBS->HandleProtocol(LoadedImage->DeviceHandle, &DevicePathProtocolGuid, (VOID **)&Volume))) {
    return nullptr;
  }
  UINTN VolumeSize = 0;
  for (const UINT8 *Node = (const UINT8 *)Volume;
       ((const EFI_DEVICE_PATH_PROTOCOL *)Node)->Type != END_DEVICE_PATH_TYPE;
       Node += NodeLength((const EFI_DEVICE_PATH_PROTOCOL *)Node)) {
    VolumeSize += NodeLength((const EFI_DEVICE_PATH_PROTOCOL *)Node);
  }
  UINTN NameBytes = sizeof(CHAR16);
  for (const CHAR16 *Character = FileName; *Character != 0; Character++) {
    NameBytes += sizeof(CHAR16);
  }
  const UINTN FileNodeSize = sizeof(EFI_DEVICE_PATH_PROTOCOL) + NameBytes;
  const UINTN Total = VolumeSize + FileNodeSize + sizeof(EFI_DEVICE_PATH_PROTOCOL);

  UINT8 *Path = nullptr;
  if (EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, Total, (VOID **)&Path))) {
    return nullptr;
  }
  __builtin_memcpy(Path, Volume, VolumeSize);
  SetNode((EFI_DEVICE_PATH_PROTOCOL *)(Path + VolumeSize), MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, FileNodeSize);
  __builtin_memcpy(Path + VolumeSize + sizeof(EFI_DEVICE_PATH_PROTOCOL), FileName, NameBytes);
  SetNode((EFI_DEVICE_PATH_PROTOCOL *)(Path + VolumeSize + FileNodeSize), END_DEVICE_PATH_TYPE,
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
  const EFI_STATUS Status = gBS->LoadImage(FALSE, gImageHandle, Path, nullptr, 0, &Image);
  gBS->FreePool(Path);
  CHAR8 Name[64];
  AsciiFromText(FileName, Name, sizeof(Name));
  if (!Expect(Status == EFI_SUCCESS, "LoadImage %s: %s (0x%llx)", Name, StatusName(Status), Status)) {
    return nullptr;
  }
  return Image;
}

bool WriteSetup(UINTN Size, UINT8 Mode, INTN DisabledConnector) {
  UINT8 Enable[CONNECTOR_COUNT];
  for (INTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    const bool Disabled = DisabledConnector == ALL_CONNECTORS || Connector == DisabledConnector;
    Enable[Connector] = Disabled ? 0 : 1;
  }
  return WriteSetupBytes(Size, Mode, Enable);
}

bool WriteSetupBytes(UINTN Size, UINT8 Mode, const UINT8 *Enable) {
  static UINT8 Setup[2 * SETUP_SIZE];
  if (!Expect(Size <= sizeof(Setup), "Setup of %llu bytes is larger than the bench's buffer", Size)) {
    return false;
  }
  __builtin_memset(Setup, 0, sizeof(Setup));
  Setup[SETUP_MODE_OFFSET] = Mode;
  __builtin_memcpy(Setup + SETUP_ENABLE_OFFSET, Enable, CONNECTOR_COUNT);
  const EFI_STATUS Status = gRT->SetVariable(SETUP_NAME, &SetupGuid, NV_BS_RT_ATTRIBUTES, Size, Setup);
  return Expect(Status == EFI_SUCCESS, "storing Setup (%llu bytes): %s", Size, StatusName(Status));
}

VOID DeleteVariable(const CHAR16 *Name, const EFI_GUID *Guid) {
  // Not finding the variable is the wanted end state too.
  const EFI_STATUS Status = gRT->SetVariable(Name, Guid, 0, 0, nullptr);
  CHAR8 Text[64];
  AsciiFromText(Name, Text, sizeof(Text));
  Expect(Status == EFI_SUCCESS || Status == EFI_NOT_FOUND, "deleting %s: %s", Text, StatusName(Status));
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
  if (EFI_ERROR(gBS->HandleProtocol(Image, &LoadedImageProtocolGuid, (VOID **)&LoadedImage))) {
    return nullptr;
  }
  const UINT8 *Base = (const UINT8 *)LoadedImage->ImageBase;
  const UINT32 PeHeader = *(const UINT32 *)(Base + PE_HEADER_OFFSET_FIELD);
  return (EFI_IMAGE_ENTRY_POINT)(Base + *(const UINT32 *)(Base + PeHeader + PE_ENTRY_POINT_FIELD));
}

DRIVER_START StartCounted(EFI_HANDLE Image, EFI_IMAGE_ENTRY_POINT DirectEntry) {
  DRIVER_START Start = {};
  CountingInto = &Start;
  FirmwareGetVariable = gRT->GetVariable;
  FirmwareSetVariable = gRT->SetVariable;
  FirmwareLocateProtocol = gBS->LocateProtocol;
  gRT->GetVariable = CountingGetVariable;
  gRT->SetVariable = CountingSetVariable;
  gBS->LocateProtocol = WatchedLocateProtocol;
  Start.Status = DirectEntry == nullptr ? gBS->StartImage(Image, nullptr, nullptr) : DirectEntry(Image, gST);
  gRT->GetVariable = FirmwareGetVariable;
  gRT->SetVariable = FirmwareSetVariable;
  gBS->LocateProtocol = FirmwareLocateProtocol;
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
  const EFI_STATUS Installed = gBS->InstallConfigurationTable(&HobListGuid, Copy);
  if (!Expect(Installed == EFI_SUCCESS, "InstallConfigurationTable: %s", StatusName(Installed))) {
    return Failed;
  }
  const DRIVER_START Start = StartCounted(Image);
  // The copy stays allocated: the resident driver may keep pointing at it.
  (VOID) gBS->InstallConfigurationTable(&HobListGuid, List);
  return Start;
}

VOID ObserveStart(const DRIVER_START &Start) {
  Observe("driver returned", "%s (0x%llx)", StatusName(Start.Status), Start.Status);
  Observe("firmware calls", "GetVariable %llu, SetVariable %llu%s", Start.GetVariableCalls, Start.SetVariableCalls,
          Start.ServiceCalled ? "" : ", no LocateProtocol either");
}

static UINT8 ReadBack[2 * CAPABILITIES_SIZE];

// "0-10 33-36 ..." for the offsets of the nonzero bytes.
static VOID ObserveNonzeroRanges(const CHAR8 *Key, const UINT8 *Bytes, UINTN Size) {
  CHAR8 Ranges[160] = "";
  UINTN Length = 0;
  for (UINTN First = 0; First < Size; First++) {
    if (Bytes[First] == 0) {
      continue;
    }
    UINTN Last = First;
    while (Last + 1 < Size && Bytes[Last + 1] != 0) {
      Last++;
    }
    FormatString(Ranges + Length, sizeof(Ranges) - Length, First == Last ? "%llu " : "%llu-%llu ", First, Last);
    while (Ranges[Length] != '\0') {
      Length++;
    }
    First = Last;
  }
  Observe(Key, "%s", Ranges);
}

VOID ExpectNoCapabilities() {
  UINTN Size = sizeof(ReadBack);
  const EFI_STATUS Status = gRT->GetVariable(CAPABILITIES_NAME, &CapabilitiesGuid, nullptr, &Size, ReadBack);
  Observe("UsbConnectorCapabilities", "%s", Status == EFI_NOT_FOUND ? "absent" : StatusName(Status));
  Expect(Status == EFI_NOT_FOUND, "UsbConnectorCapabilities lookup gave %s, wanted EFI_NOT_FOUND", StatusName(Status));
}

// The board's block: Present for the 11 connectors, GroupMember for B1..USB-C
// (connectors 1-4 of group 1, whose leader is connector 0), Disableable for
// all 11; GroupLeader is 0 for everyone, connector 0 being the leader.
static bool ExpectedCapabilityByte(UINTN Offset) {
  return Offset <= 10 || (Offset >= 33 && Offset <= 36) || (Offset >= 64 && Offset <= 74);
}

VOID ExpectCapabilitiesPublished() {
  UINT32 Attributes = 0;
  UINTN Size = sizeof(ReadBack);
  __builtin_memset(ReadBack, 0xA5, sizeof(ReadBack));
  const EFI_STATUS Status = gRT->GetVariable(CAPABILITIES_NAME, &CapabilitiesGuid, &Attributes, &Size, ReadBack);
  if (!Expect(Status == EFI_SUCCESS, "UsbConnectorCapabilities not readable: %s", StatusName(Status))) {
    return;
  }
  Observe("UsbConnectorCapabilities", "%llu bytes, attributes 0x%08x", Size, Attributes);
  ObserveNonzeroRanges("nonzero capability bytes", ReadBack, Size < CAPABILITIES_SIZE ? Size : CAPABILITIES_SIZE);

  Expect(Size == CAPABILITIES_SIZE, "UsbConnectorCapabilities is %llu bytes, wanted %u", Size, CAPABILITIES_SIZE);
  Expect(Attributes == 0x00000002U, "UsbConnectorCapabilities attributes 0x%08x, wanted 0x00000002", Attributes);
  for (UINTN Offset = 0; Offset < Size && Offset < CAPABILITIES_SIZE; Offset++) {
    const UINT8 Wanted = ExpectedCapabilityByte(Offset) ? 1 : 0;
    if (!Expect(ReadBack[Offset] == Wanted, "capability byte %llu is %u, wanted %u", Offset, ReadBack[Offset],
                Wanted)) {
      return;
    }
  }
}

bool HasProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol) {
  VOID *Interface = nullptr;
  return gBS->HandleProtocol(Handle, Protocol, &Interface) == EFI_SUCCESS;
}

bool IsUnder(const CHAR8 *Path, const CHAR8 *Device) {
  for (; *Device != '\0'; Path++, Device++) {
    if (*Path != *Device) {
      return false;
    }
  }
  return *Path == '\0' || *Path == '/';
}
