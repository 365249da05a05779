// A stateful stand-in for the platform firmware that the host tests and the
// fuzzer hand to the drivers: service tables whose every slot is a typed
// trampoline, a variable store, a protocol database with notifies that really
// fire (or wait and coalesce), events and event groups, pool accounting, a HOB
// list, a call log and fault injection.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Guid/EventGroup.h"
#include "Pi/Hob.h"
#include "Protocol/DevicePathToText.h"
#include "Protocol/HubPortDisable.h"
#include "Protocol/S3SaveState.h"
#include "Protocol/UsbIo.h"
#include "Uefi/SystemTable.h"

namespace Guids {
inline constexpr EFI_GUID HobList = EFI_HOB_LIST_GUID;
inline constexpr EFI_GUID S3SaveState = EFI_S3_SAVE_STATE_PROTOCOL_GUID;
inline constexpr EFI_GUID DevicePathToText = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
inline constexpr EFI_GUID DevicePath = EFI_DEVICE_PATH_PROTOCOL_GUID;
inline constexpr EFI_GUID UsbIo = EFI_USB_IO_PROTOCOL_GUID;
inline constexpr EFI_GUID HubPortDisable = HUB_PORT_DISABLE_PROTOCOL_GUID;
inline constexpr EFI_GUID ReadyToBoot = EFI_EVENT_GROUP_READY_TO_BOOT;
inline constexpr EFI_GUID EndOfDxe = EFI_END_OF_DXE_EVENT_GROUP_GUID;
}  // namespace Guids

inline bool operator==(const EFI_GUID &A, const EFI_GUID &B) { return CompareGuid(&A, &B); }
// Registry form, or the short name above for the GUIDs the tests meet.
std::string GuidName(const EFI_GUID &Guid);
std::string Narrow(const CHAR16 *String);

// What a refused call hands back: the status itself, or null / nothing for
// services that return no status.
template <typename R>
R FailureResult(EFI_STATUS Status) {
  if constexpr (std::is_void_v<R>) {
    return;
  } else if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(Status);
  }
}

// The call log names a call by its service and its first GUID or string
// argument: "LocateProtocol(S3SaveState)", "GetVariable(Setup)".
inline std::string DescribeArgument(const EFI_GUID *Guid) { return Guid != nullptr ? GuidName(*Guid) : "null"; }
inline std::string DescribeArgument(const CHAR16 *String) { return String != nullptr ? Narrow(String) : "null"; }
template <typename T>
std::string DescribeArgument(const T &) {
  return "";
}
template <typename... A>
std::string DescribeCall(const A &...Args) {
  std::string Detail;
  ((Detail = Detail.empty() ? DescribeArgument(Args) : Detail), ...);
  return Detail;
}

// What a call is about: its first argument when that is a handle, an
// interface or a buffer (not a GUID or a name).
template <typename T>
const VOID *SubjectOf(const T &Argument) {
  if constexpr (std::is_pointer_v<T>) {
    using POINTEE = std::remove_cv_t<std::remove_pointer_t<T>>;
    if constexpr (!std::is_same_v<POINTEE, EFI_GUID> && !std::is_same_v<POINTEE, CHAR16> &&
                  !std::is_function_v<POINTEE>) {
      return Argument;
    }
  }
  return nullptr;
}
inline const VOID *CallSubject() { return nullptr; }
template <typename A0, typename... A>
const VOID *CallSubject(const A0 &First, const A &...) {
  return SubjectOf(First);
}

// Logs a call and decides whether it is refused: by an injected fault (its
// status), or because no handler expects it (the test fails by name).
std::optional<EFI_STATUS> EnterService(const char *Name, bool Expected, const std::string &Detail,
                                       const VOID *Subject = nullptr);
// The call EnterService logged last, and the status its handler returned,
// noted by index since the handler may make calls of its own.
size_t LastCallIndex();
void RecordCallStatus(size_t Call, EFI_STATUS Status);

// One slot of a firmware table, keyed by the table member it fills. The
// trampoline has exactly the slot's type, so UBSan's function-type check
// passes, and forwards to Handler.
template <auto Member>
struct FAKE_SLOT;

template <typename Table, typename R, typename... A, R(EFIAPI *Table::*Member)(A...)>
struct FAKE_SLOT<Member> {
  using HANDLER = std::function<R(A...)>;
  static inline const char *Name = "";
  static inline HANDLER Handler;
  static R EFIAPI Trampoline(A... Args) {
    if (const auto Refusal = EnterService(Name, static_cast<bool>(Handler), DescribeCall(Args...),
                                          CallSubject(Args...))) {
      return FailureResult<R>(*Refusal);
    }
    if constexpr (std::is_same_v<R, EFI_STATUS>) {
      const size_t Call = LastCallIndex();
      const EFI_STATUS Status = Handler(Args...);
      RecordCallStatus(Call, Status);
      return Status;
    } else {
      return Handler(Args...);
    }
  }
};

// Variadic slots hand their handler the list after the named arguments.
template <typename Table, typename R, typename A0, R(EFIAPI *Table::*Member)(A0, ...)>
struct FAKE_SLOT<Member> {
  using HANDLER = std::function<R(A0, __builtin_ms_va_list &)>;
  static inline const char *Name = "";
  static inline HANDLER Handler;
  static R EFIAPI Trampoline(A0 First, ...) {
    if (const auto Refusal = EnterService(Name, static_cast<bool>(Handler), "", CallSubject(First))) {
      return FailureResult<R>(*Refusal);
    }
    const size_t Call = LastCallIndex();
    __builtin_ms_va_list List;
    __builtin_ms_va_start(List, First);
    R Result = Handler(First, List);
    __builtin_ms_va_end(List);
    RecordCallStatus(Call, Result);
    return Result;
  }
};

template <typename Table, typename R, typename A0, typename A1, R(EFIAPI *Table::*Member)(A0, A1, ...)>
struct FAKE_SLOT<Member> {
  using HANDLER = std::function<R(A0, A1, __builtin_ms_va_list &)>;
  static inline const char *Name = "";
  static inline HANDLER Handler;
  static R EFIAPI Trampoline(A0 First, A1 Second, ...) {
    if (const auto Refusal = EnterService(Name, static_cast<bool>(Handler), "", CallSubject(First))) {
      return FailureResult<R>(*Refusal);
    }
    const size_t Call = LastCallIndex();
    __builtin_ms_va_list List;
    __builtin_ms_va_start(List, Second);
    R Result = Handler(First, Second, List);
    __builtin_ms_va_end(List);
    RecordCallStatus(Call, Result);
    return Result;
  }
};

// Builds a HOB list in 8-byte aligned storage; At(i) is the i-th HOB added.
class FakeHobList {
 public:
  FakeHobList &Handoff();
  FakeHobList &GuidHob(const EFI_GUID &Name, UINTN DataSize = 8);
  // A raw header of any type and length (0 included), with Name placed where
  // a GUID HOB keeps it when given.
  FakeHobList &Hob(UINT16 Type, UINT16 Length, const EFI_GUID *Name = nullptr);
  FakeHobList &End();
  VOID *Start() { return Storage.data(); }
  VOID *At(size_t Index) { return reinterpret_cast<UINT8 *>(Storage.data()) + Offsets.at(Index); }

 private:
  VOID *Append(UINT16 Type, UINT16 Length, UINTN Footprint);
  std::vector<UINT64> Storage;
  std::vector<size_t> Offsets;
};

struct FAKE_VARIABLE {
  UINT32 Attributes;
  std::vector<UINT8> Data;
};

struct FAKE_EVENT {
  UINT32 Type;
  EFI_TPL NotifyTpl;
  EFI_EVENT_NOTIFY NotifyFunction;
  const VOID *NotifyContext;
  std::optional<EFI_GUID> Group;
};

// Pending: handles that received the protocol since the last
// LocateHandle(ByRegisterNotify) with this key, oldest first.
struct FAKE_REGISTRATION {
  EFI_GUID Protocol;
  EFI_EVENT Event;
  std::deque<EFI_HANDLE> Pending;
};

struct FAKE_RESET {
  EFI_RESET_TYPE Type;
  EFI_STATUS Status;
  UINTN DataSize;
  VOID *Data;
};

// One S3 boot-script entry; Bytes holds what Buffer pointed at during the call.
struct FAKE_BOOT_SCRIPT_WRITE {
  UINTN OpCode;
  UINT32 Width;
  UINT64 Address;
  UINTN Count;
  const VOID *Buffer;
  std::vector<UINT8> Bytes;
};

// One Apply call, with the protocol's port members as they were at the call.
struct FAKE_HUB_APPLY {
  UINT8 Usb3Port;
  UINT32 PassBit;
  UINT8 Usb2Port;
  UINT8 MemberUsb2Port;
  UINT8 MemberUsb3Port;
};

// One call as the firmware saw it.
struct FAKE_CALL {
  const char *Service;
  const VOID *Subject;  // the handle, interface or buffer it is about; null when none
  bool Refused;         // answered by an injected fault
  EFI_STATUS Status;    // the status returned; EFI_SUCCESS for services that return none
};

// A USB device as the bus driver publishes it: USB I/O and a device path on
// one handle. The device path is a bare end node; Text is what
// ConvertDevicePathToText makes of it. The bus driver reinstalls either
// protocol with the second copy of its interface, and back.
struct FAKE_USB_DEVICE {
  EFI_USB_IO_PROTOCOL UsbIo;
  EFI_USB_IO_PROTOCOL UsbIoAgain;
  EFI_DEVICE_PATH_PROTOCOL DevicePath;
  EFI_DEVICE_PATH_PROTOCOL DevicePathAgain;
  EFI_USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  EFI_USB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  // Reads of each descriptor that fail with EFI_DEVICE_ERROR before one succeeds.
  unsigned DeviceReadFailures = 0;
  unsigned InterfaceReadFailures = 0;
  std::u16string Text;
  EFI_HANDLE Handle = nullptr;
};

class FakeFirmware {
 public:
  FakeFirmware();
  ~FakeFirmware();
  FakeFirmware(const FakeFirmware &) = delete;
  FakeFirmware &operator=(const FakeFirmware &) = delete;

  static FakeFirmware *Current;

  EFI_SYSTEM_TABLE System{};
  EFI_BOOT_SERVICES Boot{};
  EFI_RUNTIME_SERVICES Runtime{};
  EFI_HANDLE ImageHandle;

  // Replaces the behaviour of one service; an empty handler makes any call
  // to it fail the test.
  template <auto Member>
  void OnCall(typename FAKE_SLOT<Member>::HANDLER Handler) {
    FAKE_SLOT<Member>::Handler = std::move(Handler);
  }

  // --- call log and fault injection
  std::vector<std::string> CallLog;
  std::vector<FAKE_CALL> Calls;
  unsigned CallCount(const std::string &Service) const;
  // The Nth call (from 1) of Service returns Status without running.
  void FailCall(const std::string &Service, unsigned Nth, EFI_STATUS Status);

  // --- configuration table and HOB list
  std::vector<EFI_CONFIGURATION_TABLE> ConfigurationTables;
  void AddConfigurationTable(const EFI_GUID &Guid, VOID *Table);
  // Keeps the list and makes it the EFI_HOB_LIST_GUID entry.
  FakeHobList &InstallHobList(FakeHobList List);

  // --- variables (these helpers bypass the services and the log)
  std::map<std::pair<std::u16string, std::string>, FAKE_VARIABLE> Variables;
  void PutVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, std::vector<UINT8> Data);
  const FAKE_VARIABLE *FindVariable(const CHAR16 *Name, const EFI_GUID &Guid) const;

  // --- protocol database; a null Handle means a new one. As in the
  // firmware, a handle is freed with its last protocol, and a new handle
  // takes the value freed last (the one freed first with
  // ReuseOldestFreedHandle) unless ReuseFreedHandles is cleared.
  bool ReuseFreedHandles = true;
  bool ReuseOldestFreedHandle = false;
  EFI_HANDLE InstallProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid, VOID *Interface);
  // As the firmware does it: install, then signal every event registered
  // for the protocol.
  EFI_HANDLE InstallProtocolAndNotify(EFI_HANDLE Handle, const EFI_GUID &Guid, VOID *Interface);
  VOID *FindProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid) const;
  std::vector<FAKE_REGISTRATION *> Registrations() const;

  // --- events
  std::vector<FAKE_EVENT *> Events() const;
  void SignalEvent(EFI_EVENT Event);
  void SignalEventGroup(const EFI_GUID &Group);
  // While set, signalled notify functions wait, as at a raised TPL; an event
  // signalled again meanwhile still runs once.
  bool HoldNotifies = false;
  void ReleaseNotifies();
  // Called around every notify function: before it runs, then after it returns.
  std::function<void(const FAKE_EVENT &, bool Returned)> NotifyObserver;

  // --- pool
  size_t OutstandingPoolBuffers() const { return Pool.size(); }
  VOID *AllocatePoolBuffer(UINTN Size);

  // --- protocols this firmware can provide, and what they were asked
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL DevicePathToTextProtocol{};
  EFI_S3_SAVE_STATE_PROTOCOL S3SaveStateProtocol{};
  HUB_PORT_DISABLE_PROTOCOL HubPortDisableProtocol{};
  std::vector<FAKE_BOOT_SCRIPT_WRITE> BootScript;
  std::vector<FAKE_HUB_APPLY> HubApplies;
  std::vector<FAKE_RESET> Resets;

  // A device whose protocols are not installed yet.
  FAKE_USB_DEVICE &MakeUsbDevice(std::u16string Text, UINT16 VendorId, UINT16 ProductId, UINT8 InterfaceClass);
  // Installs the device's USB I/O and device path on a new handle and runs
  // the notifies registered for either, unless Notify is false: then they
  // run with a later installation, as when the firmware holds them back.
  FAKE_USB_DEVICE &AddUsbDevice(std::u16string Text, UINT16 VendorId, UINT16 ProductId, UINT8 InterfaceClass,
                                bool Notify = true);
  // Unplugging: the bus driver removes whatever protocols are left on the
  // device's handle, which frees it.
  void UnplugUsbDevice(FAKE_USB_DEVICE &Device);
  std::vector<std::unique_ptr<FAKE_USB_DEVICE>> UsbDevices;
  // The device one of whose USB I/O or device-path interfaces this is; null
  // for anything else.
  FAKE_USB_DEVICE *FindUsbDevice(const VOID *Interface) const;

 private:
  struct PROTOCOL_ENTRY {
    EFI_GUID Guid;
    VOID *Interface;
  };
  struct HANDLE_RECORD {
    std::vector<PROTOCOL_ENTRY> Protocols;
    bool Live = true;
  };

  friend std::optional<EFI_STATUS> EnterService(const char *Name, bool Expected, const std::string &Detail,
                                                const VOID *Subject);

  void InstallSlots();
  void InstallMemoryServices();
  void InstallEventServices();
  void InstallProtocolServices();
  void InstallVariableServices();
  void InstallProvidedProtocols();
  HANDLE_RECORD *FindHandle(EFI_HANDLE Handle) const;
  PROTOCOL_ENTRY *FindEntry(EFI_HANDLE Handle, const EFI_GUID &Guid) const;
  FAKE_EVENT *FindEvent(EFI_EVENT Event) const;
  EFI_STATUS CreateFakeEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, const VOID *Context,
                             const EFI_GUID *Group, EFI_EVENT *Event);
  void NotifyRegistrations(const EFI_GUID &Protocol);
  void RemoveProtocol(EFI_HANDLE Handle, const EFI_GUID &Guid);
  void SyncSystemTable();

  std::map<std::string, unsigned> CallCounts;
  std::map<std::pair<std::string, unsigned>, EFI_STATUS> Faults;
  std::vector<std::unique_ptr<HANDLE_RECORD>> Handles;
  // The live ones, so a handle value is checked without walking every handle,
  // and how many of them carry each protocol, so a lookup of one nobody
  // installed walks none.
  std::unordered_set<const VOID *> LiveHandles;
  std::map<std::string, size_t> Installations;
  std::vector<HANDLE_RECORD *> FreedHandles;
  // Each device by every interface it has, of either protocol.
  std::unordered_map<const VOID *, FAKE_USB_DEVICE *> UsbDeviceByInterface;
  std::vector<EFI_EVENT> HeldNotifies;
  std::vector<std::unique_ptr<FAKE_EVENT>> EventList;
  std::vector<std::unique_ptr<FAKE_REGISTRATION>> RegistrationList;
  std::map<VOID *, std::unique_ptr<UINT8[]>> Pool;
  std::vector<std::unique_ptr<FakeHobList>> HobLists;
};
