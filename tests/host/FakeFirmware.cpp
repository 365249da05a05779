// The fake firmware's services. Behaviour follows what the drivers may rely
// on from real firmware; outputs that are undefined on error are poisoned so
// a caller that uses them anyway is caught.
#include "FakeFirmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

// Stands for "whatever the firmware left there" in outputs of failed calls.
static VOID *const PoisonPointer = reinterpret_cast<VOID *>(0xBADBADBADBADULL);
// Fill of fresh pool buffers, which real firmware does not clear.
#define POOL_FILL 0xAF

#define SYSTEM_TABLE_SIGNATURE 0x5453595320494249ULL
#define BOOT_SERVICES_SIGNATURE 0x56524553544F4F42ULL
#define RUNTIME_SERVICES_SIGNATURE 0x56524553544E5552ULL
#define FAKE_FIRMWARE_REVISION 0x00020046U
#define PHIT_HOB_LENGTH 56
#define TPL_HIGH_LEVEL 31

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
static VOID *const UntypedSlot = reinterpret_cast<VOID *>(&UnexpectedUntypedCall);

template <auto Member, typename FN>
static void InstallSlot(FN &Slot, const char *Name) {
  Slot = FAKE_SLOT<Member>::Trampoline;
  FAKE_SLOT<Member>::Name = Name;
  FAKE_SLOT<Member>::Handler = nullptr;
}
#define INSTALL_SLOT(Table, Field) InstallSlot<&std::remove_reference_t<decltype(Table)>::Field>(Table.Field, #Field)

// ---------------------------------------------------------------------------
// HOB list

VOID *FakeHobList::Append(UINT16 Type, UINT16 Length, UINTN Footprint) {
  const size_t Offset = Storage.size() * sizeof(UINT64);
  Offsets.push_back(Offset);
  Storage.resize(Storage.size() + (Footprint + 7) / 8, 0);
  auto *Header = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(reinterpret_cast<UINT8 *>(Storage.data()) + Offset);
  Header->HobType = Type;
  Header->HobLength = Length;
  return Header;
}

FakeHobList &FakeHobList::Handoff() {
  Append(EFI_HOB_TYPE_HANDOFF, PHIT_HOB_LENGTH, PHIT_HOB_LENGTH);
  return *this;
}

FakeHobList &FakeHobList::GuidHob(const EFI_GUID &Name, UINTN DataSize) {
  const UINT16 Length = static_cast<UINT16>(sizeof(EFI_HOB_GUID_TYPE) + (DataSize + 7) / 8 * 8);
  static_cast<EFI_HOB_GUID_TYPE *>(Append(EFI_HOB_TYPE_GUID_EXTENSION, Length, Length))->Name = Name;
  return *this;
}

FakeHobList &FakeHobList::Hob(UINT16 Type, UINT16 Length, const EFI_GUID *Name) {
  const UINTN Footprint = std::max<UINTN>(Length, Name != nullptr ? sizeof(EFI_HOB_GUID_TYPE) : 8);
  VOID *Hob = Append(Type, Length, Footprint);
  if (Name != nullptr) {
    static_cast<EFI_HOB_GUID_TYPE *>(Hob)->Name = *Name;
  }
  return *this;
}

FakeHobList &FakeHobList::End() {
  Append(EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), sizeof(EFI_HOB_GENERIC_HEADER));
  return *this;
}

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

// ---------------------------------------------------------------------------
// Pool

VOID *FakeFirmware::AllocatePoolBuffer(UINTN Size) {
  std::unique_ptr<UINT8[]> Block(new UINT8[Size == 0 ? 1 : Size]);
  std::memset(Block.get(), POOL_FILL, Size);
  VOID *Buffer = Block.get();
  Pool[Buffer] = std::move(Block);
  return Buffer;
}

void FakeFirmware::InstallMemoryServices() {
  OnCall<&EFI_BOOT_SERVICES::AllocatePool>([this](EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
    if (Buffer == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    *Buffer = AllocatePoolBuffer(Size);
    return EFI_SUCCESS;
  });
  OnCall<&EFI_BOOT_SERVICES::FreePool>([this](VOID *Buffer) {
    if (Pool.erase(Buffer) == 0) {
      ADD_FAILURE() << "FreePool of a buffer the firmware never handed out";
      return EFI_INVALID_PARAMETER;
    }
    return EFI_SUCCESS;
  });
}

// ---------------------------------------------------------------------------
// Events

FAKE_EVENT *FakeFirmware::FindEvent(EFI_EVENT Event) const {
  for (const auto &Candidate : EventList) {
    if (reinterpret_cast<EFI_EVENT>(Candidate.get()) == Event) {
      return Candidate.get();
    }
  }
  return nullptr;
}

std::vector<FAKE_EVENT *> FakeFirmware::Events() const {
  std::vector<FAKE_EVENT *> Result;
  for (const auto &Event : EventList) {
    Result.push_back(Event.get());
  }
  return Result;
}

EFI_STATUS FakeFirmware::CreateFakeEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                         const VOID *Context, const EFI_GUID *Group, EFI_EVENT *Event) {
  const UINT32 NotifyKinds = Type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT);
  if (Event == nullptr || (Type & ~(EVT_TIMER | EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0 ||
      NotifyKinds == (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) {
    return EFI_INVALID_PARAMETER;
  }
  if (NotifyKinds != 0 && (NotifyFunction == nullptr || NotifyTpl <= TPL_APPLICATION || NotifyTpl > TPL_HIGH_LEVEL)) {
    return EFI_INVALID_PARAMETER;
  }
  std::optional<EFI_GUID> GroupValue;
  if (Group != nullptr) {
    GroupValue = *Group;
  }
  EventList.push_back(std::make_unique<FAKE_EVENT>(FAKE_EVENT{Type, NotifyTpl, NotifyFunction, Context, GroupValue}));
  *Event = reinterpret_cast<EFI_EVENT>(EventList.back().get());
  return EFI_SUCCESS;
}

void FakeFirmware::SignalEvent(EFI_EVENT Event) {
  FAKE_EVENT *Fake = FindEvent(Event);
  ASSERT_NE(Fake, nullptr) << "signal of an event the firmware never created";
  if ((Fake->Type & EVT_NOTIFY_SIGNAL) == 0) {
    return;
  }
  if (HoldNotifies) {
    if (std::find(HeldNotifies.begin(), HeldNotifies.end(), Event) == HeldNotifies.end()) {
      HeldNotifies.push_back(Event);
    }
    return;
  }
  if (NotifyObserver) {
    NotifyObserver(*Fake, false);
  }
  Fake->NotifyFunction(Event, const_cast<VOID *>(Fake->NotifyContext));
  if (NotifyObserver) {
    NotifyObserver(*Fake, true);
  }
}

// The waiting notify functions run once each, higher levels first, then in
// the order the events were created, as the dispatcher runs its queue when
// the TPL drops.
void FakeFirmware::ReleaseNotifies() {
  HoldNotifies = false;
  std::vector<FAKE_EVENT *> Waiting;
  for (FAKE_EVENT *Event : Events()) {
    if (std::find(HeldNotifies.begin(), HeldNotifies.end(), reinterpret_cast<EFI_EVENT>(Event)) !=
        HeldNotifies.end()) {
      Waiting.push_back(Event);
    }
  }
  HeldNotifies.clear();
  std::stable_sort(Waiting.begin(), Waiting.end(),
                   [](const FAKE_EVENT *A, const FAKE_EVENT *B) { return A->NotifyTpl > B->NotifyTpl; });
  for (FAKE_EVENT *Event : Waiting) {
    SignalEvent(reinterpret_cast<EFI_EVENT>(Event));
  }
}

// Higher notify levels run first, then creation order, as the dispatcher
// orders its queue.
void FakeFirmware::SignalEventGroup(const EFI_GUID &Group) {
  std::vector<FAKE_EVENT *> Members;
  for (FAKE_EVENT *Event : Events()) {
    if (Event->Group.has_value() && *Event->Group == Group) {
      Members.push_back(Event);
    }
  }
  std::stable_sort(Members.begin(), Members.end(),
                   [](const FAKE_EVENT *A, const FAKE_EVENT *B) { return A->NotifyTpl > B->NotifyTpl; });
  for (FAKE_EVENT *Event : Members) {
    SignalEvent(reinterpret_cast<EFI_EVENT>(Event));
  }
}

void FakeFirmware::InstallEventServices() {
  OnCall<&EFI_BOOT_SERVICES::CreateEvent>(
      [this](UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, VOID *Context, EFI_EVENT *Event) {
        return CreateFakeEvent(Type, Tpl, Notify, Context, nullptr, Event);
      });
  OnCall<&EFI_BOOT_SERVICES::CreateEventEx>([this](UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify,
                                                   const VOID *Context, const EFI_GUID *Group, EFI_EVENT *Event) {
    return CreateFakeEvent(Type, Tpl, Notify, Context, Group, Event);
  });
  OnCall<&EFI_BOOT_SERVICES::RegisterProtocolNotify>(
      [this](const EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration) {
        if (Protocol == nullptr || Registration == nullptr || FindEvent(Event) == nullptr) {
          return EFI_INVALID_PARAMETER;
        }
        RegistrationList.push_back(std::make_unique<FAKE_REGISTRATION>(FAKE_REGISTRATION{*Protocol, Event, {}}));
        *Registration = RegistrationList.back().get();
        return EFI_SUCCESS;
      });
}

std::vector<FAKE_REGISTRATION *> FakeFirmware::Registrations() const {
  std::vector<FAKE_REGISTRATION *> Result;
  for (const auto &Registration : RegistrationList) {
    Result.push_back(Registration.get());
  }
  return Result;
}

void FakeFirmware::NotifyRegistrations(const EFI_GUID &Protocol) {
  for (FAKE_REGISTRATION *Registration : Registrations()) {
    if (Registration->Protocol == Protocol) {
      SignalEvent(Registration->Event);
    }
  }
}

// ---------------------------------------------------------------------------
// Protocol database

// A handle's value is its record's address, but only a live one is looked at.
FakeFirmware::HANDLE_RECORD *FakeFirmware::FindHandle(EFI_HANDLE Handle) const {
  return LiveHandles.count(Handle) != 0 ? reinterpret_cast<HANDLE_RECORD *>(Handle) : nullptr;
}

// A protocol may be installed with a null interface, so presence is asked
// apart from the interface.
FakeFirmware::PROTOCOL_ENTRY *FakeFirmware::FindEntry(EFI_HANDLE Handle, const EFI_GUID &Guid) const {
  HANDLE_RECORD *Record = FindHandle(Handle);
  if (Record != nullptr) {
    for (PROTOCOL_ENTRY &Entry : Record->Protocols) {
      if (Entry.Guid == Guid) {
        return &Entry;
      }
    }
  }
  return nullptr;
}

VOID *FakeFirmware::FindProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid) const {
  const PROTOCOL_ENTRY *Entry = FindEntry(Handle, Guid);
  return Entry != nullptr ? Entry->Interface : nullptr;
}

EFI_HANDLE FakeFirmware::InstallProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid, VOID *Interface) {
  if (Handle == nullptr && ReuseFreedHandles && !FreedHandles.empty()) {
    const auto Reused = ReuseOldestFreedHandle ? FreedHandles.begin() : FreedHandles.end() - 1;
    (*Reused)->Live = true;
    Handle = reinterpret_cast<EFI_HANDLE>(*Reused);
    FreedHandles.erase(Reused);
    LiveHandles.insert(Handle);
  } else if (Handle == nullptr) {
    Handles.push_back(std::make_unique<HANDLE_RECORD>());
    Handle = reinterpret_cast<EFI_HANDLE>(Handles.back().get());
    LiveHandles.insert(Handle);
  }
  HANDLE_RECORD *Record = FindHandle(Handle);
  EXPECT_NE(Record, nullptr) << "install on a handle the firmware never made";
  EXPECT_EQ(FindEntry(Handle, Guid), nullptr) << GuidName(Guid) << " installed twice on one handle";
  if (Record != nullptr) {
    Record->Protocols.push_back({Guid, Interface});
    Installations[GuidName(Guid)]++;
    for (FAKE_REGISTRATION *Registration : Registrations()) {
      if (Registration->Protocol == Guid) {
        Registration->Pending.push_back(Handle);
      }
    }
  }
  return Handle;
}

void FakeFirmware::RemoveProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid) {
  HANDLE_RECORD *Record = FindHandle(Handle);
  auto &Protocols = Record->Protocols;
  const auto Removed = std::remove_if(Protocols.begin(), Protocols.end(),
                                      [&](const PROTOCOL_ENTRY &Entry) { return Entry.Guid == Guid; });
  Installations[GuidName(Guid)] -= static_cast<size_t>(Protocols.end() - Removed);
  Protocols.erase(Removed, Protocols.end());
  for (FAKE_REGISTRATION *Registration : Registrations()) {
    if (Registration->Protocol == Guid) {
      auto &Pending = Registration->Pending;
      Pending.erase(std::remove(Pending.begin(), Pending.end(), Handle), Pending.end());
    }
  }
  if (Protocols.empty()) {
    Record->Live = false;
    LiveHandles.erase(Handle);
    FreedHandles.push_back(Record);
  }
}

EFI_HANDLE FakeFirmware::InstallProtocolAndNotify(EFI_HANDLE Handle, const EFI_GUID &Guid, VOID *Interface) {
  Handle = InstallProtocol(Handle, Guid, Interface);
  NotifyRegistrations(Guid);
  return Handle;
}

void FakeFirmware::InstallProtocolServices() {
  OnCall<&EFI_BOOT_SERVICES::InstallProtocolInterface>(
      [this](EFI_HANDLE *Handle, const EFI_GUID *Protocol, EFI_INTERFACE_TYPE Type, VOID *Interface) {
        if (Handle == nullptr || Protocol == nullptr || Type != EFI_NATIVE_INTERFACE ||
            (*Handle != nullptr && FindHandle(*Handle) == nullptr) ||
            (*Handle != nullptr && FindEntry(*Handle, *Protocol) != nullptr)) {
          return EFI_INVALID_PARAMETER;
        }
        *Handle = InstallProtocolAndNotify(*Handle, *Protocol, Interface);
        return EFI_SUCCESS;
      });
  // The bus driver's way to say a device changed: the interface is replaced
  // in place and the protocol's notifies fire as for an installation.
  OnCall<&EFI_BOOT_SERVICES::ReinstallProtocolInterface>(
      [this](EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID *OldInterface, VOID *NewInterface) {
        if (Protocol == nullptr || FindHandle(Handle) == nullptr) {
          return EFI_INVALID_PARAMETER;
        }
        PROTOCOL_ENTRY *Entry = FindEntry(Handle, *Protocol);
        if (Entry == nullptr || Entry->Interface != OldInterface) {
          return EFI_NOT_FOUND;
        }
        Entry->Interface = NewInterface;
        for (FAKE_REGISTRATION *Registration : Registrations()) {
          if (Registration->Protocol == *Protocol) {
            auto &Pending = Registration->Pending;
            Pending.erase(std::remove(Pending.begin(), Pending.end(), Handle), Pending.end());
            Pending.push_back(Handle);
          }
        }
        NotifyRegistrations(*Protocol);
        return EFI_SUCCESS;
      });
  OnCall<&EFI_BOOT_SERVICES::HandleProtocol>([this](EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface) {
    if (Protocol == nullptr || Interface == nullptr || FindHandle(Handle) == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    const PROTOCOL_ENTRY *Entry = FindEntry(Handle, *Protocol);
    *Interface = Entry != nullptr ? Entry->Interface : PoisonPointer;
    return Entry != nullptr ? EFI_SUCCESS : EFI_UNSUPPORTED;
  });
  OnCall<&EFI_BOOT_SERVICES::LocateProtocol>([this](const EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
    if (Protocol == nullptr || Interface == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    if (Registration != nullptr) {
      ADD_FAILURE() << "LocateProtocol by registration key is not simulated";
      return EFI_UNSUPPORTED;
    }
    const auto Installed = Installations.find(GuidName(*Protocol));
    if (Installed != Installations.end() && Installed->second != 0) {
      for (const auto &Record : Handles) {
        if (const PROTOCOL_ENTRY *Entry = FindEntry(reinterpret_cast<EFI_HANDLE>(Record.get()), *Protocol)) {
          *Interface = Entry->Interface;
          return EFI_SUCCESS;
        }
      }
    }
    *Interface = PoisonPointer;
    return EFI_NOT_FOUND;
  });
  OnCall<&EFI_BOOT_SERVICES::LocateHandleBuffer>([this](EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                                        VOID *, UINTN *NoHandles, EFI_HANDLE **Buffer) {
    if (SearchType != ByProtocol) {
      ADD_FAILURE() << "LocateHandleBuffer is simulated ByProtocol only";
      return EFI_UNSUPPORTED;
    }
    if (NoHandles == nullptr || Buffer == nullptr || Protocol == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    std::vector<EFI_HANDLE> Found;
    for (const auto &Record : Handles) {
      const EFI_HANDLE Handle = reinterpret_cast<EFI_HANDLE>(Record.get());
      if (FindEntry(Handle, *Protocol) != nullptr) {
        Found.push_back(Handle);
      }
    }
    *NoHandles = Found.size();
    *Buffer = nullptr;
    if (Found.empty()) {
      return EFI_NOT_FOUND;
    }
    *Buffer = static_cast<EFI_HANDLE *>(AllocatePoolBuffer(Found.size() * sizeof(EFI_HANDLE)));
    std::copy(Found.begin(), Found.end(), *Buffer);
    return EFI_SUCCESS;
  });
  // All or nothing: the firmware puts back what it removed when one pair
  // is not on the handle.
  OnCall<&EFI_BOOT_SERVICES::UninstallMultipleProtocolInterfaces>([this](EFI_HANDLE Handle,
                                                                         __builtin_ms_va_list &List) {
    std::vector<PROTOCOL_ENTRY> Pairs;
    while (const EFI_GUID *Protocol = __builtin_va_arg(List, const EFI_GUID *)) {
      Pairs.push_back({*Protocol, __builtin_va_arg(List, VOID *)});
    }
    HANDLE_RECORD *Record = FindHandle(Handle);
    if (Record == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    for (const PROTOCOL_ENTRY &Pair : Pairs) {
      const PROTOCOL_ENTRY *Entry = FindEntry(Handle, Pair.Guid);
      if (Entry == nullptr || Entry->Interface != Pair.Interface) {
        return EFI_INVALID_PARAMETER;
      }
    }
    for (const PROTOCOL_ENTRY &Pair : Pairs) {
      RemoveProtocol(Handle, Pair.Guid);
    }
    return EFI_SUCCESS;
  });
  // One handle per call, as the firmware hands out installations since the
  // last call for the registration.
  OnCall<&EFI_BOOT_SERVICES::LocateHandle>([](EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *, VOID *SearchKey,
                                              UINTN *BufferSize, EFI_HANDLE *Buffer) {
    if (SearchType != ByRegisterNotify) {
      ADD_FAILURE() << "LocateHandle is simulated ByRegisterNotify only";
      return EFI_UNSUPPORTED;
    }
    if (SearchKey == nullptr || BufferSize == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    auto &Pending = static_cast<FAKE_REGISTRATION *>(SearchKey)->Pending;
    if (Pending.empty()) {
      return EFI_NOT_FOUND;
    }
    if (*BufferSize < sizeof(EFI_HANDLE)) {
      *BufferSize = sizeof(EFI_HANDLE);
      return EFI_BUFFER_TOO_SMALL;
    }
    if (Buffer == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    *BufferSize = sizeof(EFI_HANDLE);
    *Buffer = Pending.front();
    Pending.pop_front();
    return EFI_SUCCESS;
  });
}

// ---------------------------------------------------------------------------
// Variables and reset

static std::pair<std::u16string, std::string> VariableKey(const CHAR16 *Name, const EFI_GUID &Guid) {
  return {Name, GuidName(Guid)};
}

void FakeFirmware::PutVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, std::vector<UINT8> Data) {
  Variables[VariableKey(Name, Guid)] = {Attributes, std::move(Data)};
}

const FAKE_VARIABLE *FakeFirmware::FindVariable(const CHAR16 *Name, const EFI_GUID &Guid) const {
  const auto Variable = Variables.find(VariableKey(Name, Guid));
  return Variable == Variables.end() ? nullptr : &Variable->second;
}

void FakeFirmware::InstallVariableServices() {
  OnCall<&EFI_RUNTIME_SERVICES::GetVariable>(
      [this](const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
        if (Name == nullptr || Guid == nullptr || DataSize == nullptr) {
          return EFI_INVALID_PARAMETER;
        }
        const FAKE_VARIABLE *Variable = FindVariable(Name, *Guid);
        if (Variable == nullptr) {
          return EFI_NOT_FOUND;
        }
        if (*DataSize < Variable->Data.size()) {
          *DataSize = Variable->Data.size();
          return EFI_BUFFER_TOO_SMALL;
        }
        if (Data == nullptr) {
          return EFI_INVALID_PARAMETER;
        }
        if (!Variable->Data.empty()) {
          std::memcpy(Data, Variable->Data.data(), Variable->Data.size());
        }
        *DataSize = Variable->Data.size();
        if (Attributes != nullptr) {
          *Attributes = Variable->Attributes;
        }
        return EFI_SUCCESS;
      });
  OnCall<&EFI_RUNTIME_SERVICES::SetVariable>(
      [this](const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize, const VOID *Data) {
        if (Name == nullptr || Name[0] == 0 || Guid == nullptr || (DataSize != 0 && Data == nullptr)) {
          return EFI_INVALID_PARAMETER;
        }
        // Run-time access needs boot-service access as well.
        if ((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0 && (Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0) {
          return EFI_INVALID_PARAMETER;
        }
        const auto Key = VariableKey(Name, *Guid);
        if (DataSize == 0 || Attributes == 0) {
          return Variables.erase(Key) != 0 ? EFI_SUCCESS : EFI_NOT_FOUND;
        }
        const auto Existing = Variables.find(Key);
        if (Existing != Variables.end() && Existing->second.Attributes != Attributes) {
          return EFI_INVALID_PARAMETER;
        }
        const UINT8 *Bytes = static_cast<const UINT8 *>(Data);
        Variables[Key] = {Attributes, std::vector<UINT8>(Bytes, Bytes + DataSize)};
        return EFI_SUCCESS;
      });
  // Real firmware does not return; the record lets the test check the call.
  OnCall<&EFI_RUNTIME_SERVICES::ResetSystem>(
      [this](EFI_RESET_TYPE Type, EFI_STATUS Status, UINTN DataSize, VOID *Data) {
        Resets.push_back({Type, Status, DataSize, Data});
      });
}

// ---------------------------------------------------------------------------
// Protocols provided to the drivers

FAKE_USB_DEVICE &FakeFirmware::MakeUsbDevice(std::u16string Text, UINT16 VendorId, UINT16 ProductId,
                                             UINT8 InterfaceClass) {
  UsbDevices.push_back(std::make_unique<FAKE_USB_DEVICE>());
  FAKE_USB_DEVICE &Device = *UsbDevices.back();
  for (EFI_USB_IO_PROTOCOL *UsbIo : {&Device.UsbIo, &Device.UsbIoAgain}) {
    VOID **Slots = reinterpret_cast<VOID **>(UsbIo);
    std::fill(Slots, Slots + sizeof(EFI_USB_IO_PROTOCOL) / sizeof(VOID *), UntypedSlot);
    UsbIo->UsbGetDeviceDescriptor = FAKE_SLOT<&EFI_USB_IO_PROTOCOL::UsbGetDeviceDescriptor>::Trampoline;
    UsbIo->UsbGetInterfaceDescriptor = FAKE_SLOT<&EFI_USB_IO_PROTOCOL::UsbGetInterfaceDescriptor>::Trampoline;
    UsbDeviceByInterface[UsbIo] = &Device;
  }
  for (EFI_DEVICE_PATH_PROTOCOL *DevicePath : {&Device.DevicePath, &Device.DevicePathAgain}) {
    *DevicePath = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {sizeof(EFI_DEVICE_PATH_PROTOCOL), 0}};
    UsbDeviceByInterface[DevicePath] = &Device;
  }
  Device.DeviceDescriptor = {sizeof(EFI_USB_DEVICE_DESCRIPTOR), 1, 0x0200, 0, 0, 0, 64, VendorId, ProductId, 0x0100,
                             0, 0, 0, 1};
  Device.InterfaceDescriptor = {sizeof(EFI_USB_INTERFACE_DESCRIPTOR), 4, 0, 0, 2, InterfaceClass, 0, 0, 0};
  Device.Text = std::move(Text);
  return Device;
}

FAKE_USB_DEVICE *FakeFirmware::FindUsbDevice(const VOID *Interface) const {
  const auto Found = UsbDeviceByInterface.find(Interface);
  return Found != UsbDeviceByInterface.end() ? Found->second : nullptr;
}

FAKE_USB_DEVICE &FakeFirmware::AddUsbDevice(std::u16string Text, UINT16 VendorId, UINT16 ProductId,
                                            UINT8 InterfaceClass, bool Notify) {
  FAKE_USB_DEVICE &Device = MakeUsbDevice(std::move(Text), VendorId, ProductId, InterfaceClass);
  Device.Handle = InstallProtocol(nullptr, Guids::DevicePath, &Device.DevicePath);
  InstallProtocol(Device.Handle, Guids::UsbIo, &Device.UsbIo);
  if (Notify) {
    NotifyRegistrations(Guids::DevicePath);
    NotifyRegistrations(Guids::UsbIo);
  }
  return Device;
}

void FakeFirmware::UnplugUsbDevice(FAKE_USB_DEVICE &Device) {
  for (const EFI_GUID &Guid : {Guids::UsbIo, Guids::DevicePath}) {
    if (FindEntry(Device.Handle, Guid) != nullptr) {
      RemoveProtocol(Device.Handle, Guid);
    }
  }
}

void FakeFirmware::InstallProvidedProtocols() {
  OnCall<&EFI_DEVICE_PATH_TO_TEXT_PROTOCOL::ConvertDevicePathToText>(
      [this](const EFI_DEVICE_PATH_PROTOCOL *DevicePath, BOOLEAN, BOOLEAN) -> CHAR16 * {
        const FAKE_USB_DEVICE *Device = FindUsbDevice(DevicePath);
        if (Device == nullptr || (DevicePath != &Device->DevicePath && DevicePath != &Device->DevicePathAgain)) {
          ADD_FAILURE() << "ConvertDevicePathToText of a device path the firmware never made";
          return nullptr;
        }
        const size_t Bytes = (Device->Text.size() + 1) * sizeof(CHAR16);
        return static_cast<CHAR16 *>(std::memcpy(AllocatePoolBuffer(Bytes), Device->Text.c_str(), Bytes));
      });
  OnCall<&EFI_S3_SAVE_STATE_PROTOCOL::Write>(
      [this](const EFI_S3_SAVE_STATE_PROTOCOL *This, UINTN OpCode, __builtin_ms_va_list &List) {
        EXPECT_EQ(This, &S3SaveStateProtocol) << "S3 Write with a foreign This";
        if (OpCode != EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE) {
          ADD_FAILURE() << "S3 boot-script opcode " << OpCode << " is not simulated";
          return EFI_UNSUPPORTED;
        }
        FAKE_BOOT_SCRIPT_WRITE Entry{OpCode, static_cast<UINT32>(__builtin_va_arg(List, int)), 0, 0, nullptr, {}};
        Entry.Address = __builtin_va_arg(List, UINT64);
        Entry.Count = __builtin_va_arg(List, UINTN);
        Entry.Buffer = __builtin_va_arg(List, VOID *);
        if (Entry.Width > EfiBootScriptWidthUint64) {
          ADD_FAILURE() << "S3 boot-script width " << Entry.Width;
          return EFI_INVALID_PARAMETER;
        }
        const UINT8 *Bytes = static_cast<const UINT8 *>(Entry.Buffer);
        Entry.Bytes.assign(Bytes, Bytes + (1U << Entry.Width) * Entry.Count);
        BootScript.push_back(std::move(Entry));
        return EFI_SUCCESS;
      });
  OnCall<&HUB_PORT_DISABLE_PROTOCOL::Apply>([this](UINT8 Usb3Port, UINT32 PassBit, UINT8 Usb2Port) {
    HubApplies.push_back(
        {Usb3Port, PassBit, Usb2Port, HubPortDisableProtocol.Usb2Port, HubPortDisableProtocol.Usb3Port});
  });

  auto FindDevice = [this](EFI_USB_IO_PROTOCOL *This) -> FAKE_USB_DEVICE * {
    FAKE_USB_DEVICE *Device = FindUsbDevice(This);
    if (Device == nullptr || (This != &Device->UsbIo && This != &Device->UsbIoAgain)) {
      ADD_FAILURE() << "USB I/O call with a This the firmware never made";
      return nullptr;
    }
    return Device;
  };
  // Hands out the device's copy of one descriptor kind, once the reads set
  // to fail have failed.
  auto DescriptorRead = [FindDevice](auto FAKE_USB_DEVICE::*Stored, unsigned FAKE_USB_DEVICE::*Failures) {
    return [FindDevice, Stored, Failures](EFI_USB_IO_PROTOCOL *This, auto *Descriptor) {
      FAKE_USB_DEVICE *Device = FindDevice(This);
      if (Device == nullptr || Descriptor == nullptr) {
        return EFI_INVALID_PARAMETER;
      }
      if (Device->*Failures != 0) {
        Device->*Failures -= 1;
        return EFI_DEVICE_ERROR;
      }
      *Descriptor = Device->*Stored;
      return EFI_SUCCESS;
    };
  };
  OnCall<&EFI_USB_IO_PROTOCOL::UsbGetDeviceDescriptor>(
      DescriptorRead(&FAKE_USB_DEVICE::DeviceDescriptor, &FAKE_USB_DEVICE::DeviceReadFailures));
  OnCall<&EFI_USB_IO_PROTOCOL::UsbGetInterfaceDescriptor>(
      DescriptorRead(&FAKE_USB_DEVICE::InterfaceDescriptor, &FAKE_USB_DEVICE::InterfaceReadFailures));
}
