// The recorder half of BoardStandInDxe: hooks that watch what the drivers
// under test do, and when, and write it into the record.
#include "BoardStandInDxe.h"
#include "FirmwareTables.h"
#include "Guids.h"
#include "Protocol/S3SaveState.h"
#include "TableHooks.h"
#include "Variables.h"

STAND_IN_RECORD Record;

VOID EFIAPI RecordHubApply(UINT8 Usb3Port, UINT32 PassBit, UINT8 Usb2Port) {
  if (Record.HubApplyCount < STAND_IN_MAX_HUB_APPLIES) {
    Record.HubApplies[Record.HubApplyCount] = {Usb3Port,
                                               PassBit,
                                               Usb2Port,
                                               HubPortDisable.Usb2Port,
                                               HubPortDisable.Usb3Port,
                                               Record.ReadyToBootSignals};
  }
  Record.HubApplyCount++;
}

static EFI_LOCATE_PROTOCOL FirmwareLocateProtocol;

static EFI_STATUS EFIAPI CountingLocateProtocol(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  if (Protocol != nullptr && CompareGuid(Protocol, &HubPortDisableProtocolGuid)) {
    Record.HubLookups++;
  }
  return FirmwareLocateProtocol(Protocol, Registration, Interface);
}

static bool Installed(const EFI_GUID *Protocol) {
  VOID *Interface = nullptr;
  return FirmwareLocateProtocol(Protocol, nullptr, &Interface) == EFI_SUCCESS;
}

// Write takes (This, OpCode, ...) with every variadic argument in an 8-byte
// slot, so forwarding a fixed number of slots passes any opcode through.
#define S3_WRITE_FORWARDED_SLOTS 8

static EFI_S3_SAVE_STATE_WRITE FirmwareS3Write;

static UINT64 ReadAtWidth(const VOID *Buffer, UINT32 Width) {
  switch (Width) {
    case EfiBootScriptWidthUint8:
      return *(const UINT8 *)Buffer;
    case EfiBootScriptWidthUint16:
      return *(const UINT16 *)Buffer;
    case EfiBootScriptWidthUint32:
      return *(const UINT32 *)Buffer;
    default:
      return *(const UINT64 *)Buffer;
  }
}

static EFI_STATUS EFIAPI RecordingS3Write(const EFI_S3_SAVE_STATE_PROTOCOL *This, UINTN OpCode, ...) {
  UINT64 Slot[S3_WRITE_FORWARDED_SLOTS];
  __builtin_va_list Args;
  __builtin_va_start(Args, OpCode);
  for (UINT64 &Value : Slot) {
    Value = __builtin_va_arg(Args, UINT64);
  }
  __builtin_va_end(Args);

  STAND_IN_S3_WRITE *Entry = nullptr;
  if (OpCode == EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE) {
    if (Record.S3WriteCount < STAND_IN_MAX_S3_WRITES) {
      // Memory write: Width (an enum, so only its low half is meaningful),
      // Address, Count, Buffer.
      Entry = &Record.S3Writes[Record.S3WriteCount];
      Entry->OpCode = OpCode;
      Entry->Width = (UINT32)Slot[0];
      Entry->Address = Slot[1];
      Entry->Count = Slot[2];
      Entry->Value = ReadAtWidth((const VOID *)(UINTN)Slot[3], Entry->Width);
      Entry->EndOfDxeSignals = Record.EndOfDxeSignals;
      Entry->ReadyToBootSignals = Record.ReadyToBootSignals;
    }
    Record.S3WriteCount++;
  }
  const EFI_STATUS Status =
      FirmwareS3Write(This, OpCode, Slot[0], Slot[1], Slot[2], Slot[3], Slot[4], Slot[5], Slot[6], Slot[7]);
  if (Entry != nullptr) {
    Entry->Status = Status;
  }
  return Status;
}

static VOID WrapS3SaveState() {
  EFI_S3_SAVE_STATE_PROTOCOL *S3SaveState = nullptr;
  if (Record.S3SaveStateWrapped ||
      EFI_ERROR(FirmwareLocateProtocol(&S3SaveStateProtocolGuid, nullptr, (VOID **)&S3SaveState))) {
    return;
  }
  FirmwareS3Write = HookSlot(nullptr, &S3SaveState->Write, RecordingS3Write);
  Record.S3SaveStateWrapped = true;
}

static VOID EFIAPI WrapS3SaveStateOnInstall(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  WrapS3SaveState();
}

// Runs before any notification at a lower level, so a device is seen with
// its USB I/O even when the policy driver takes it away, and the chosen
// stick claims the hub's id before the policy reads it.
static VOID *UsbIoRegistration;

static VOID EFIAPI RecordUsbDevices(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  EFI_HANDLE Handle = nullptr;
  UINTN Size = sizeof(Handle);
  while (BootServices->LocateHandle(ByRegisterNotify, nullptr, UsbIoRegistration, &Size, &Handle) == EFI_SUCCESS) {
    Size = sizeof(Handle);
    EFI_USB_IO_PROTOCOL *UsbIo = nullptr;
    EFI_USB_DEVICE_DESCRIPTOR Device = {};
    EFI_USB_INTERFACE_DESCRIPTOR Interface = {};
    if (Record.UsbDeviceCount == STAND_IN_MAX_USB_DEVICES ||
        EFI_ERROR(BootServices->HandleProtocol(Handle, &UsbIoProtocolGuid, (VOID **)&UsbIo))) {
      continue;
    }
    ClaimHubIdIfChosen(Handle, UsbIo);
    (VOID) UsbIo->UsbGetDeviceDescriptor(UsbIo, &Device);
    (VOID) UsbIo->UsbGetInterfaceDescriptor(UsbIo, &Interface);
    Record.UsbDevices[Record.UsbDeviceCount++] = {Handle, Device.IdVendor, Device.IdProduct,
                                                  Interface.InterfaceClass};
  }
}

// Calls NotifyFunction at TPL_NOTIFY whenever Protocol is installed.
static VOID *NotifyOnInstall(const EFI_GUID *Protocol, EFI_EVENT_NOTIFY NotifyFunction) {
  EFI_EVENT Event = nullptr;
  VOID *Registration = nullptr;
  if (BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, NotifyFunction, nullptr, &Event) == EFI_SUCCESS) {
    (VOID) BootServices->RegisterProtocolNotify(Protocol, Event, &Registration);
  }
  return Registration;
}

static UINT32 EntriesSeen;

static VOID NoteEntry(STAND_IN_DRIVER_ENTRY &Entry) {
  if (Entry.Order != 0) {
    return;
  }
  Entry.Order = ++EntriesSeen;
  Entry.ReadyToLock = Installed(&SmmReadyToLockProtocolGuid);
  Entry.S3SaveState = Installed(&S3SaveStateProtocolGuid);
  Entry.DevicePathToText = Installed(&DevicePathToTextProtocolGuid);
}

static bool NameIs(const CHAR16 *Name, const CHAR16 *Wanted) {
  for (; *Wanted != 0; Name++, Wanted++) {
    if (*Name != *Wanted) {
      return false;
    }
  }
  return *Name == 0;
}

static EFI_GET_VARIABLE FirmwareGetVariable;

static EFI_STATUS EFIAPI WatchingGetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes,
                                             UINTN *DataSize, VOID *Data) {
  if (Name != nullptr && Guid != nullptr) {
    if (NameIs(Name, SETUP_VARIABLE_NAME) && CompareGuid(Guid, &SetupGuid)) {
      NoteEntry(Record.PolicyEntry);
    } else if (NameIs(Name, SA_SETUP_VARIABLE_NAME) && CompareGuid(Guid, &SaSetupGuid)) {
      NoteEntry(Record.ResetEntry);
    }
  }
  return FirmwareGetVariable(Name, Guid, Attributes, DataSize, Data);
}

static VOID EFIAPI CountEndOfDxe(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  if (Record.EndOfDxeSignals++ == 0) {
    Record.ReadyToLockAtEndOfDxe = Installed(&SmmReadyToLockProtocolGuid);
  }
}

static VOID EFIAPI CountReadyToBoot(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  if (Record.ReadyToBootSignals++ == 0) {
    Record.ReadyToLockAtReadyToBoot = Installed(&SmmReadyToLockProtocolGuid);
  }
}

static UINT32 ReadCount(const CHAR16 *Name) {
  UINT32 Count = 0;
  UINTN Size = sizeof(Count);
  (VOID) RuntimeServices->GetVariable(Name, &StandInVariableGuid, nullptr, &Size, &Count);
  return Count;
}

static VOID CountBoot() {
  Record.BootCount = ReadCount(STAND_IN_BOOT_COUNT_NAME) + 1;
  (VOID) RuntimeServices->SetVariable(STAND_IN_BOOT_COUNT_NAME, &StandInVariableGuid, NV_BS_RT_ATTRIBUTES,
                                      sizeof(Record.BootCount), &Record.BootCount);
}

static EFI_SET_VARIABLE FirmwareSetVariable;

// The count is stored at once: a write of SaSetup may be followed by a reset.
static EFI_STATUS EFIAPI CountingSetVariable(const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes,
                                             UINTN DataSize, const VOID *Data) {
  const EFI_STATUS Status = FirmwareSetVariable(Name, Guid, Attributes, DataSize, Data);
  if (Name != nullptr && NameIs(Name, SA_SETUP_VARIABLE_NAME)) {
    Record.SaSetupWrites++;
    (VOID) FirmwareSetVariable(STAND_IN_SA_SETUP_WRITES_NAME, &StandInVariableGuid, NV_BS_RT_ATTRIBUTES,
                               sizeof(Record.SaSetupWrites), &Record.SaSetupWrites);
  }
  return Status;
}

static VOID WatchVariables() {
  Record.SaSetupWrites = ReadCount(STAND_IN_SA_SETUP_WRITES_NAME);
  FirmwareSetVariable = HookSlot(&RuntimeServices->Hdr, &RuntimeServices->SetVariable, CountingSetVariable);
  FirmwareGetVariable = HookSlot(&RuntimeServices->Hdr, &RuntimeServices->GetVariable, WatchingGetVariable);
}

static EFI_RESET_SYSTEM FirmwareResetSystem;

// Before ready-to-boot only the drivers under test reset, and the reset ends
// this boot's record, so each one is stored at once, before it happens.
static VOID EFIAPI RecordingResetSystem(EFI_RESET_TYPE Type, EFI_STATUS Status, UINTN DataSize, VOID *Data) {
  if (Record.ReadyToBootSignals == 0 && Record.ResetCount < STAND_IN_MAX_RESETS) {
    Record.Resets[Record.ResetCount++] = {(UINT32)Type, 0, Status};
    (VOID) FirmwareSetVariable(STAND_IN_RESETS_NAME, &StandInVariableGuid, NV_BS_RT_ATTRIBUTES,
                               Record.ResetCount * sizeof(Record.Resets[0]), Record.Resets);
  }
  FirmwareResetSystem(Type, Status, DataSize, Data);
}

static VOID WatchResets() {
  UINTN Size = sizeof(Record.Resets);
  if (FirmwareGetVariable(STAND_IN_RESETS_NAME, &StandInVariableGuid, nullptr, &Size, Record.Resets) == EFI_SUCCESS) {
    Record.ResetCount = (UINT32)(Size / sizeof(Record.Resets[0]));
  }
  FirmwareResetSystem = HookSlot(&RuntimeServices->Hdr, &RuntimeServices->ResetSystem, RecordingResetSystem);
}

VOID StartRecording() {
  CountBoot();
  WatchVariables();
  WatchResets();
  FirmwareLocateProtocol = HookSlot(&BootServices->Hdr, &BootServices->LocateProtocol, CountingLocateProtocol);
  WrapS3SaveState();
  // From flash, the save-state protocol may come after this driver.
  (VOID) NotifyOnInstall(&S3SaveStateProtocolGuid, WrapS3SaveStateOnInstall);
  UsbIoRegistration = NotifyOnInstall(&UsbIoProtocolGuid, RecordUsbDevices);
  // Above the drivers' level, so each count is up to date when their
  // notifications run.
  EFI_EVENT Signal = nullptr;
  (VOID) BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, CountEndOfDxe, nullptr, &EndOfDxeGroupGuid,
                                     &Signal);
  (VOID) BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, CountReadyToBoot, nullptr, &ReadyToBootGroupGuid,
                                     &Signal);
}
