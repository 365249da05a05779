// BoardStandInDxe: started just before the drivers under test, as a Driver####
// option by OVMF's boot manager or from the flash image by the DXE
// dispatcher, it supplies what the emulated board lacks and nothing more (the
// calibration HOB, RAM standing in for the xHCI configuration dwords and
// register window, the hub port protocol, a stick that claims the chipset
// hub's id), as the host's fw_cfg settings choose (StandIn.h), and records
// what the drivers did with them, what was installed when each entered and
// when End-of-DXE and ready-to-boot came, which USB devices appeared, and
// which boot this is, for the boot application to check.
#include "StandIn.h"
#include "Variables.h"
#include "Console.h"
#include "QemuPlatform.h"
#include "FirmwareTables.h"
#include "FwCfgSettings.h"
#include "Guid/EventGroup.h"
#include "HobListCopy.h"
#include "Protocol/DevicePathToText.h"
#include "Protocol/HubPortDisable.h"
#include "Protocol/S3SaveState.h"
#include "Protocol/UsbIo.h"

static STAND_IN_RECORD Record;

static const EFI_GUID StandInVariableGuid = STAND_IN_VARIABLE_GUID;
static const EFI_GUID StandInRecordGuid = STAND_IN_RECORD_GUID;
static const EFI_GUID HubPortDisableProtocolGuid = HUB_PORT_DISABLE_PROTOCOL_GUID;
static const EFI_GUID S3SaveStateProtocolGuid = EFI_S3_SAVE_STATE_PROTOCOL_GUID;
static const EFI_GUID ReadyToLockProtocolGuid = SMM_READY_TO_LOCK_PROTOCOL_GUID;

// Both BAR dwords read all-ones. Where a driver that trusted them would
// write lies in the DIMM at 4 GiB, outside the firmware's memory map; it is
// filled with the sentinel.
static VOID SetUpAbsentController() {
  FillPortDisableRegisters(STAND_IN_ABSENT_WINDOW);
  Record.HighRamPresent =
      *StandInRegister(STAND_IN_ABSENT_WINDOW + XHCI_USB2_PORT_DISABLE_OFFSET) == STAND_IN_REGISTER_SENTINEL;
  Record.BarLow = STAND_IN_ABSENT_BAR;
  Record.BarHigh = STAND_IN_ABSENT_BAR;
  Record.WindowBase = STAND_IN_ABSENT_WINDOW;
  *StandInRegister(XHCI_BAR0_LOW_ADDRESS) = Record.BarLow;
  *StandInRegister(XHCI_BAR0_HIGH_ADDRESS) = Record.BarHigh;
  Record.XhciStandIn = true;
}

// The window sits below STAND_IN_HIGH_RAM_SIZE so that its alias at 4 GiB falls
// inside the DIMM QEMU places there for 64-bit BAR runs.
static VOID SetUpXhciStandIn(const STAND_IN_CONFIG &Config) {
  EFI_PHYSICAL_ADDRESS ConfigPage = XHCI_CONFIG_PAGE;
  EFI_PHYSICAL_ADDRESS Window = STAND_IN_HIGH_RAM_SIZE - 1;
  if (EFI_ERROR(gBS->AllocatePages(AllocateAddress, EfiBootServicesData, 1, &ConfigPage))) {
    return;
  }
  if (Config.Bar == StandInBarAbsent) {
    SetUpAbsentController();
    return;
  }
  if (EFI_ERROR(gBS->AllocatePages(AllocateMaxAddress, EfiBootServicesData, STAND_IN_WINDOW_PAGES, &Window))) {
    return;
  }
  const UINT64 HighWindow = STAND_IN_HIGH_RAM_BASE + Window;
  const bool Bar64Bit = Config.Bar == StandInBar64Bit;
  if (Bar64Bit) {
    // Only RAM keeps what is written; without the DIMM this reads back
    // something else.
    FillPortDisableRegisters(HighWindow);
    Record.HighRamPresent = *StandInRegister(HighWindow + XHCI_USB2_PORT_DISABLE_OFFSET) == STAND_IN_REGISTER_SENTINEL;
  }
  Record.BarLow = (UINT32)Window | (Bar64Bit ? PCI_BAR_TYPE_64BIT : 0);
  Record.BarHigh = STAND_IN_BAR_HIGH_DWORD;
  Record.WindowBase = Bar64Bit ? HighWindow : Window;
  // Only a 64-bit BAR's low dword names RAM that is there to watch.
  Record.WindowAlias = Bar64Bit ? Window : 0;
  FillPortDisableRegisters(Window);
  *StandInRegister(XHCI_BAR0_LOW_ADDRESS) = Record.BarLow;
  *StandInRegister(XHCI_BAR0_HIGH_ADDRESS) = Record.BarHigh;
  Record.XhciStandIn = true;
}

static VOID EFIAPI RecordHubApply(UINT8 Usb3Port, UINT32 PassBit, UINT8 Usb2Port) {
  if (Record.HubApplyCount < STAND_IN_MAX_HUB_APPLIES) {
    Record.HubApplies[Record.HubApplyCount] = {Usb3Port, PassBit, Usb2Port};
  }
  Record.HubApplyCount++;
}

static HUB_PORT_DISABLE_PROTOCOL HubPortDisable = {RecordHubApply, 0, 0};

static EFI_LOCATE_PROTOCOL FirmwareLocateProtocol;

static EFI_STATUS EFIAPI CountingLocateProtocol(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface) {
  if (Protocol != nullptr && CompareGuid(Protocol, &HubPortDisableProtocolGuid)) {
    Record.HubLookups++;
  }
  return FirmwareLocateProtocol(Protocol, Registration, Interface);
}

static VOID InstallHubPortDisable() {
  EFI_HANDLE Handle = nullptr;
  Record.HubProtocolInstalled = gBS->InstallProtocolInterface(&Handle, &HubPortDisableProtocolGuid,
                                                              EFI_NATIVE_INTERFACE, &HubPortDisable) == EFI_SUCCESS;
  FirmwareLocateProtocol = gBS->LocateProtocol;
  gBS->LocateProtocol = CountingLocateProtocol;
  gBS->Hdr.CRC32 = 0;
  (VOID) gBS->CalculateCrc32(gBS, gBS->Hdr.HeaderSize, &gBS->Hdr.CRC32);
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

static bool Installed(const EFI_GUID *Protocol) {
  VOID *Interface = nullptr;
  return FirmwareLocateProtocol(Protocol, nullptr, &Interface) == EFI_SUCCESS;
}

static VOID WrapS3SaveState() {
  EFI_S3_SAVE_STATE_PROTOCOL *S3SaveState = nullptr;
  if (Record.S3SaveStateWrapped ||
      EFI_ERROR(FirmwareLocateProtocol(&S3SaveStateProtocolGuid, nullptr, (VOID **)&S3SaveState))) {
    return;
  }
  FirmwareS3Write = S3SaveState->Write;
  S3SaveState->Write = RecordingS3Write;
  Record.S3SaveStateWrapped = true;
}

static VOID EFIAPI WrapS3SaveStateOnInstall(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  WrapS3SaveState();
}

// The stick at Record.HubIdPort claims the chipset hub's id: its own USB I/O
// interface answers the device descriptor read with that id. The bus driver
// gives each interface its own copy of the protocol, so no other device is
// touched; the check on This keeps it so either way.
static EFI_USB_IO_PROTOCOL *HubIdStick;
static EFI_USB_IO_GET_DEVICE_DESCRIPTOR FirmwareGetDeviceDescriptor;

static EFI_STATUS EFIAPI ClaimHubId(EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_DESCRIPTOR *Descriptor) {
  const EFI_STATUS Status = FirmwareGetDeviceDescriptor(This, Descriptor);
  if (Status == EFI_SUCCESS && This == HubIdStick) {
    Descriptor->IdVendor = CHIPSET_HUB_VENDOR_ID;
    Descriptor->IdProduct = CHIPSET_HUB_PRODUCT_ID;
  }
  return Status;
}

#define MESSAGING_DEVICE_PATH 0x03
#define MSG_USB_DP 0x05

// QEMU's name of the port a USB device sits on ("8", "1.2"): its USB nodes'
// parent port numbers, counted from 1.
static VOID QemuPortName(EFI_HANDLE Handle, CHAR8 *Name, UINTN Size) {
  Name[0] = '\0';
  const UINT8 *Node = nullptr;
  if (gBS->HandleProtocol(Handle, &DevicePathProtocolGuid, (VOID **)&Node) != EFI_SUCCESS) {
    return;
  }
  UINTN Length = 0;
  for (; Node[0] != END_DEVICE_PATH_TYPE; Node += Node[2] | (Node[3] << 8)) {
    if (Node[0] == MESSAGING_DEVICE_PATH && Node[1] == MSG_USB_DP) {
      FormatString(Name + Length, Size - Length, Length == 0 ? "%u" : ".%u", Node[4] + 1U);
      while (Name[Length] != '\0') {
        Length++;
      }
    }
  }
}

static VOID ClaimHubIdIfChosen(EFI_HANDLE Handle, EFI_USB_IO_PROTOCOL *UsbIo) {
  CHAR8 Port[STAND_IN_PORT_NAME_SIZE];
  QemuPortName(Handle, Port, sizeof(Port));
  if (Record.HubIdPort[0] == '\0' || HubIdStick != nullptr || !AsciiEqual(Port, Record.HubIdPort)) {
    return;
  }
  HubIdStick = UsbIo;
  FirmwareGetDeviceDescriptor = UsbIo->UsbGetDeviceDescriptor;
  UsbIo->UsbGetDeviceDescriptor = ClaimHubId;
  Record.HubIdClaimed = true;
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
  while (gBS->LocateHandle(ByRegisterNotify, nullptr, UsbIoRegistration, &Size, &Handle) == EFI_SUCCESS) {
    Size = sizeof(Handle);
    EFI_USB_IO_PROTOCOL *UsbIo = nullptr;
    EFI_USB_DEVICE_DESCRIPTOR Device = {};
    EFI_USB_INTERFACE_DESCRIPTOR Interface = {};
    if (Record.UsbDeviceCount == STAND_IN_MAX_USB_DEVICES ||
        EFI_ERROR(gBS->HandleProtocol(Handle, &UsbIoProtocolGuid, (VOID **)&UsbIo))) {
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
  if (gBS->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, NotifyFunction, nullptr, &Event) == EFI_SUCCESS) {
    (VOID) gBS->RegisterProtocolNotify(Protocol, Event, &Registration);
  }
  return Registration;
}

static UINT32 EntriesSeen;

static VOID NoteEntry(STAND_IN_DRIVER_ENTRY &Entry) {
  if (Entry.Order != 0) {
    return;
  }
  Entry.Order = ++EntriesSeen;
  Entry.ReadyToLock = Installed(&ReadyToLockProtocolGuid);
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
    Record.ReadyToLockAtEndOfDxe = Installed(&ReadyToLockProtocolGuid);
  }
}

static VOID EFIAPI CountReadyToBoot(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
  if (Record.ReadyToBootSignals++ == 0) {
    Record.ReadyToLockAtReadyToBoot = Installed(&ReadyToLockProtocolGuid);
  }
}

static UINT32 ReadCount(const CHAR16 *Name) {
  UINT32 Count = 0;
  UINTN Size = sizeof(Count);
  (VOID) gRT->GetVariable(Name, &StandInVariableGuid, nullptr, &Size, &Count);
  return Count;
}

static VOID CountBoot() {
  Record.BootCount = ReadCount(STAND_IN_BOOT_COUNT_NAME) + 1;
  (VOID) gRT->SetVariable(STAND_IN_BOOT_COUNT_NAME, &StandInVariableGuid, NV_BS_RT_ATTRIBUTES, sizeof(Record.BootCount),
                          &Record.BootCount);
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
  FirmwareSetVariable = gRT->SetVariable;
  FirmwareGetVariable = gRT->GetVariable;
  gRT->SetVariable = CountingSetVariable;
  gRT->GetVariable = WatchingGetVariable;
  gRT->Hdr.CRC32 = 0;
  (VOID) gBS->CalculateCrc32(gRT, gRT->Hdr.HeaderSize, &gRT->Hdr.CRC32);
}

// The drivers' calibration window then reads a live timer; a boot-cost probe
// puts the block back before OVMF's own code needs its timer again.
static VOID LendPmTimer() {
  Record.FirmwarePmba = PciRead32(PIIX4_PM_BUS, PIIX4_PM_DEVICE, PIIX4_PM_FUNCTION, PIIX4_PMBA_OFFSET);
  PciWrite32(PIIX4_PM_BUS, PIIX4_PM_DEVICE, PIIX4_PM_FUNCTION, PIIX4_PMBA_OFFSET,
             (PM_TIMER_PORT - PM_TIMER_OFFSET) | PIIX4_PMBA_IO_SPACE);
}

static VOID InstallCalibrationHob() {
  const UINT8 *List = FirmwareHobList();
  UINT8 *Copy = List != nullptr ? HobListWithCalibrationHob(List) : nullptr;
  Record.CalibrationHobInstalled = Copy != nullptr && gBS->InstallConfigurationTable(&HobListGuid, Copy) == EFI_SUCCESS;
}

struct BAR_SETTING {
  const CHAR8 *Text;
  STAND_IN_BAR Bar;
};

static const BAR_SETTING BarSettings[] = {
    {"32-bit", StandInBar32Bit},
    {"64-bit", StandInBar64Bit},
    {"absent", StandInBarAbsent},
};

static bool ReadBar(STAND_IN_BAR *Bar) {
  CHAR8 Text[sizeof("32-bit")];  // every value is this long
  if (!FwCfgReadText(STAND_IN_BAR_SETTING, Text, sizeof(Text))) {
    return false;
  }
  for (const BAR_SETTING &Setting : BarSettings) {
    if (AsciiEqual(Text, Setting.Text)) {
      *Bar = Setting.Bar;
      return true;
    }
  }
  return false;
}

// Port numbers joined by dots, as QemuPortName writes them.
static bool IsQemuPortName(const CHAR8 *Name) {
  bool AfterDigit = false;
  for (; *Name != '\0'; Name++) {
    if (*Name == '.' && AfterDigit) {
      AfterDigit = false;
    } else if (*Name >= '0' && *Name <= '9') {
      AfterDigit = true;
    } else {
      return false;
    }
  }
  return AfterDigit;
}

static bool ReadHubIdPort() {
  CHAR8 Text[STAND_IN_PORT_NAME_SIZE];
  if (!FwCfgReadText(STAND_IN_HUB_ID_PORT_SETTING, Text, sizeof(Text)) ||
      (!AsciiEqual(Text, "none") && !IsQemuPortName(Text))) {
    return false;
  }
  FormatString(Record.HubIdPort, sizeof(Record.HubIdPort), "%s", AsciiEqual(Text, "none") ? "" : Text);
  return true;
}

static VOID NoteSetting(bool Good, const CHAR8 *Name) {
  if (!Good && Record.BadSetting[0] == '\0') {
    FormatString(Record.BadSetting, sizeof(Record.BadSetting), "%s", Name);
  }
}

// Every setting is required; the first missing or malformed one is named in
// the record.
static bool ReadSettings(STAND_IN_CONFIG *Config) {
  NoteSetting(ReadBar(&Config->Bar), STAND_IN_BAR_SETTING);
  NoteSetting(FwCfgReadBool(STAND_IN_CALIBRATION_HOB_SETTING, &Config->CalibrationHob),
              STAND_IN_CALIBRATION_HOB_SETTING);
  NoteSetting(FwCfgReadBool(STAND_IN_LEND_PM_TIMER_SETTING, &Config->LendPmTimer), STAND_IN_LEND_PM_TIMER_SETTING);
  NoteSetting(ReadHubIdPort(), STAND_IN_HUB_ID_PORT_SETTING);
  return Record.BadSetting[0] == '\0';
}

/**
  Entry point of BoardStandInDxe.

  @param ImageHandle  This driver's image.
  @param SystemTable  The firmware's system table.

  @retval EFI_SUCCESS  Always: the driver stays resident to keep recording.
**/
extern "C" EFI_STATUS EFIAPI BoardStandInEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  FirmwareTablesInit(ImageHandle, SystemTable);

  STAND_IN_CONFIG Config = {};
  if (!ReadSettings(&Config)) {
    // Nothing is supplied on a guess: the record alone, for the boot
    // application to name the setting.
    (VOID) gBS->InstallConfigurationTable(&StandInRecordGuid, &Record);
    return EFI_SUCCESS;
  }

  CountBoot();
  WatchVariables();
  if (Config.CalibrationHob) {
    InstallCalibrationHob();
  }
  if (Config.LendPmTimer) {
    LendPmTimer();
  }
  SetUpXhciStandIn(Config);
  InstallHubPortDisable();
  WrapS3SaveState();
  // From flash, the save-state protocol may come after this driver.
  (VOID) NotifyOnInstall(&S3SaveStateProtocolGuid, WrapS3SaveStateOnInstall);
  UsbIoRegistration = NotifyOnInstall(&UsbIoProtocolGuid, RecordUsbDevices);
  // Above the drivers' level, so each count is up to date when their
  // notifications run.
  EFI_EVENT Signal = nullptr;
  (VOID) gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, CountEndOfDxe, nullptr, &EndOfDxeGroupGuid, &Signal);
  (VOID) gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, CountReadyToBoot, nullptr, &ReadyToBootGroupGuid, &Signal);
  (VOID) gBS->InstallConfigurationTable(&StandInRecordGuid, &Record);
  return EFI_SUCCESS;
}
