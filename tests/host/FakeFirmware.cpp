// The fake firmware: its tables, the call log and injected faults, and the
// configuration table. Each group of services has a file of its own
// (FakeHobList, FakePool, FakeEvents, FakeProtocols, FakeVariables,
// FakeDevices). Behaviour follows what the drivers may rely on from real
// firmware; outputs that are undefined on error are poisoned so a caller
// that uses them anyway is caught.
#include <cstdio>

#include "FakeFirmwareParts.h"

#define SYSTEM_TABLE_SIGNATURE 0x5453595320494249ULL
#define BOOT_SERVICES_SIGNATURE 0x56524553544F4F42ULL
#define RUNTIME_SERVICES_SIGNATURE 0x56524553544E5552ULL
#define FAKE_FIRMWARE_REVISION 0x00020046U

FakeFirmware *FakeFirmware::Current;

std::string GuidName(const EFI_GUID &Guid) {
  static const std::pair<EFI_GUID, const char *> KnownGuids[] = {
      {Guids::HobList, "HobList"},
      {Guids::S3SaveState, "S3SaveState"},
      {Guids::DevicePathToText, "DevicePathToText"},
      {Guids::DevicePath, "DevicePath"},
      {Guids::UsbIo, "UsbIo"},
      {Guids::HubPortDisable, "HubPortDisable"},
      {Guids::ReadyToBoot, "ReadyToBoot"},
      {Guids::EndOfDxe, "EndOfDxe"},
  };
  for (const auto &[Known, Name] : KnownGuids) {
    if (Known == Guid) {
      return Name;
    }
  }
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1, Guid.Data2,
                Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
                Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

std::string Narrow(const CHAR16 *String) {
  std::string Result;
  for (; *String != 0; String++) {
    Result += *String < 0x80 ? static_cast<char>(*String) : '?';
  }
  return Result;
}

std::optional<EFI_STATUS> EnterService(const char *Name, bool Expected, const std::string &Detail,
                                       const VOID *Subject) {
  FakeFirmware *Fake = FakeFirmware::Current;
  if (Fake == nullptr) {
    ADD_FAILURE() << "call to " << Name << " with no firmware loaded";
    return EFI_UNSUPPORTED;
  }
  Fake->CallLog.push_back(Detail.empty() ? std::string(Name) : std::string(Name) + "(" + Detail + ")");
  Fake->Calls.push_back({Name, Subject, false, EFI_SUCCESS});
  const unsigned Nth = ++Fake->CallCounts[Name];
  const auto Fault = Fake->Faults.find({Name, Nth});
  if (Fault != Fake->Faults.end()) {
    Fake->Calls.back().Refused = true;
    Fake->Calls.back().Status = Fault->second;
    return Fault->second;
  }
  if (!Expected) {
    ADD_FAILURE() << "unexpected call to " << Name;
    return EFI_UNSUPPORTED;
  }
  return std::nullopt;
}

size_t LastCallIndex() { return FakeFirmware::Current->Calls.size() - 1; }

void RecordCallStatus(size_t Call, EFI_STATUS Status) { FakeFirmware::Current->Calls.at(Call).Status = Status; }

// Table members the drivers never call through are untyped; they still
// point somewhere that reports the call.
static void UnexpectedUntypedCall() { ADD_FAILURE() << "call through an untyped table slot"; }
VOID *const UntypedSlot = reinterpret_cast<VOID *>(&UnexpectedUntypedCall);

template <auto Member, typename FN>
static void InstallSlot(FN &Slot, const char *Name) {
  Slot = FAKE_SLOT<Member>::Trampoline;
  FAKE_SLOT<Member>::Name = Name;
  FAKE_SLOT<Member>::Handler = nullptr;
}
#define INSTALL_SLOT(Table, Field) InstallSlot<&std::remove_reference_t<decltype(Table)>::Field>(Table.Field, #Field)

// ---------------------------------------------------------------------------
// Construction

FakeFirmware::FakeFirmware() {
  if (Current != nullptr) {
    ADD_FAILURE() << "two fake firmwares loaded at once";
  }
  Current = this;
  System.Hdr = {SYSTEM_TABLE_SIGNATURE, FAKE_FIRMWARE_REVISION, sizeof(EFI_SYSTEM_TABLE), 0, 0};
  Boot.Hdr = {BOOT_SERVICES_SIGNATURE, FAKE_FIRMWARE_REVISION, sizeof(EFI_BOOT_SERVICES), 0, 0};
  Runtime.Hdr = {RUNTIME_SERVICES_SIGNATURE, FAKE_FIRMWARE_REVISION, sizeof(EFI_RUNTIME_SERVICES), 0, 0};
  System.BootServices = &Boot;
  System.RuntimeServices = &Runtime;
  Handles.push_back(std::make_unique<HANDLE_RECORD>());
  ImageHandle = reinterpret_cast<EFI_HANDLE>(Handles.back().get());
  LiveHandles.insert(ImageHandle);

  InstallSlots();
  InstallMemoryServices();
  InstallEventServices();
  InstallProtocolServices();
  InstallVariableServices();
  InstallProvidedProtocols();
}

// The handlers are static and may hold this firmware's state; emptied, they
// leave nothing of it behind.
FakeFirmware::~FakeFirmware() {
  InstallSlots();
  Current = nullptr;
}

void FakeFirmware::InstallSlots() {
  Boot.Reserved = UntypedSlot;
  INSTALL_SLOT(Boot, RaiseTPL);
  INSTALL_SLOT(Boot, RestoreTPL);
  INSTALL_SLOT(Boot, AllocatePages);
  INSTALL_SLOT(Boot, FreePages);
  INSTALL_SLOT(Boot, GetMemoryMap);
  INSTALL_SLOT(Boot, AllocatePool);
  INSTALL_SLOT(Boot, FreePool);
  INSTALL_SLOT(Boot, CreateEvent);
  INSTALL_SLOT(Boot, SetTimer);
  INSTALL_SLOT(Boot, WaitForEvent);
  INSTALL_SLOT(Boot, SignalEvent);
  INSTALL_SLOT(Boot, CloseEvent);
  INSTALL_SLOT(Boot, CheckEvent);
  INSTALL_SLOT(Boot, InstallProtocolInterface);
  INSTALL_SLOT(Boot, ReinstallProtocolInterface);
  INSTALL_SLOT(Boot, UninstallProtocolInterface);
  INSTALL_SLOT(Boot, HandleProtocol);
  INSTALL_SLOT(Boot, RegisterProtocolNotify);
  INSTALL_SLOT(Boot, LocateHandle);
  INSTALL_SLOT(Boot, LocateDevicePath);
  INSTALL_SLOT(Boot, InstallConfigurationTable);
  INSTALL_SLOT(Boot, LoadImage);
  INSTALL_SLOT(Boot, StartImage);
  INSTALL_SLOT(Boot, Exit);
  INSTALL_SLOT(Boot, UnloadImage);
  INSTALL_SLOT(Boot, ExitBootServices);
  INSTALL_SLOT(Boot, GetNextMonotonicCount);
  INSTALL_SLOT(Boot, Stall);
  INSTALL_SLOT(Boot, SetWatchdogTimer);
  INSTALL_SLOT(Boot, ConnectController);
  INSTALL_SLOT(Boot, DisconnectController);
  INSTALL_SLOT(Boot, OpenProtocol);
  INSTALL_SLOT(Boot, CloseProtocol);
  INSTALL_SLOT(Boot, OpenProtocolInformation);
  INSTALL_SLOT(Boot, ProtocolsPerHandle);
  INSTALL_SLOT(Boot, LocateHandleBuffer);
  INSTALL_SLOT(Boot, LocateProtocol);
  INSTALL_SLOT(Boot, InstallMultipleProtocolInterfaces);
  INSTALL_SLOT(Boot, UninstallMultipleProtocolInterfaces);
  INSTALL_SLOT(Boot, CalculateCrc32);
  INSTALL_SLOT(Boot, CopyMem);
  INSTALL_SLOT(Boot, SetMem);
  INSTALL_SLOT(Boot, CreateEventEx);

  INSTALL_SLOT(Runtime, GetTime);
  INSTALL_SLOT(Runtime, SetTime);
  INSTALL_SLOT(Runtime, GetWakeupTime);
  INSTALL_SLOT(Runtime, SetWakeupTime);
  INSTALL_SLOT(Runtime, SetVirtualAddressMap);
  INSTALL_SLOT(Runtime, ConvertPointer);
  INSTALL_SLOT(Runtime, GetVariable);
  INSTALL_SLOT(Runtime, GetNextVariableName);
  INSTALL_SLOT(Runtime, SetVariable);
  INSTALL_SLOT(Runtime, GetNextHighMonotonicCount);
  INSTALL_SLOT(Runtime, ResetSystem);
  INSTALL_SLOT(Runtime, UpdateCapsule);
  INSTALL_SLOT(Runtime, QueryCapsuleCapabilities);
  INSTALL_SLOT(Runtime, QueryVariableInfo);

  INSTALL_SLOT(DevicePathToTextProtocol, ConvertDeviceNodeToText);
  INSTALL_SLOT(DevicePathToTextProtocol, ConvertDevicePathToText);
  INSTALL_SLOT(S3SaveStateProtocol, Write);
  S3SaveStateProtocol.Insert = UntypedSlot;
  S3SaveStateProtocol.Label = UntypedSlot;
  S3SaveStateProtocol.Compare = UntypedSlot;
  INSTALL_SLOT(HubPortDisableProtocol, Apply);
  // Every device's table gets the same trampolines; the handlers find the
  // device from This.
  EFI_USB_IO_PROTOCOL UsbIo;
  INSTALL_SLOT(UsbIo, UsbGetDeviceDescriptor);
  INSTALL_SLOT(UsbIo, UsbGetInterfaceDescriptor);
}


// ---------------------------------------------------------------------------
// Call log and faults

unsigned FakeFirmware::CallCount(const std::string &Service) const {
  const auto Count = CallCounts.find(Service);
  return Count == CallCounts.end() ? 0 : Count->second;
}

void FakeFirmware::FailCall(const std::string &Service, unsigned Nth, EFI_STATUS Status) {
  Faults[{Service, Nth}] = Status;
}


// ---------------------------------------------------------------------------
// Configuration table

void FakeFirmware::SyncSystemTable() {
  System.NumberOfTableEntries = ConfigurationTables.size();
  System.ConfigurationTable = ConfigurationTables.empty() ? nullptr : ConfigurationTables.data();
}

void FakeFirmware::AddConfigurationTable(const EFI_GUID &Guid, VOID *Table) {
  ConfigurationTables.push_back({Guid, Table});
  SyncSystemTable();
}

FakeHobList &FakeFirmware::InstallHobList(FakeHobList List) {
  HobLists.push_back(std::make_unique<FakeHobList>(std::move(List)));
  AddConfigurationTable(Guids::HobList, HobLists.back()->Start());
  return *HobLists.back();
}

