// The fake firmware's protocol database: handles, the protocols on them, and
// the boot services that install, find and remove them.
#include "FakeFirmwareParts.h"

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

