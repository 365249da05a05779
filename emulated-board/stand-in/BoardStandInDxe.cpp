// BoardStandInDxe: started just before the drivers under test, as a Driver####
// option by OVMF's boot manager or from the flash image by the DXE
// dispatcher, it supplies what the emulated board lacks and nothing more (the
// calibration HOB, RAM standing in for the xHCI configuration dwords and
// register window, the hub port protocol, the PM timer on the board's port, a
// stick that claims the chipset hub's id), as the host's fw_cfg settings
// choose (StandIn.h). Its recorder (StandInRecorder.cpp) records what the
// drivers did with them, what was installed when each entered and when
// End-of-DXE and ready-to-boot came, which USB devices appeared, and which
// boot this is, for the boot application to check.
#include "BoardStandInDxe.h"
#include "Console.h"
#include "DevicePaths.h"
#include "FirmwareTables.h"
#include "FwCfgSettings.h"
#include "Guids.h"
#include "HobListCopy.h"
#include "Protocol/HubPortDisable.h"
#include "QemuPlatform.h"
#include "TableHooks.h"

// Fills the port-disable registers at Window with the sentinel and tells
// whether they keep it: only RAM does, and only RAM shows what a driver
// wrote there.
static bool WatchWindow(UINT64 Window) {
  FillPortDisableRegisters(Window);
  return *StandInRegister(Window + XHCI_USB2_PORT_DISABLE_OFFSET) == STAND_IN_REGISTER_SENTINEL &&
         *StandInRegister(Window + XHCI_USB3_PORT_DISABLE_OFFSET) == STAND_IN_REGISTER_SENTINEL;
}

// BAR0's dwords for a window at Window (below STAND_IN_HIGH_RAM_SIZE), and
// where its registers are. A 64-bit BAR's high dword puts the window in the
// DIMM at 4 GiB; its low dword alone would name Window, watched as the
// alias. The high dword is STAND_IN_BAR_HIGH_DWORD but for an unassigned or
// absent BAR.
static VOID DescribeBar(STAND_IN_BAR Bar, UINT64 Window) {
  Record.BarHigh = STAND_IN_BAR_HIGH_DWORD;
  Record.WindowBase = Window;
  switch (Bar) {
    case StandInBar32Bit:
      Record.BarLow = (UINT32)Window;
      break;
    case StandInBar64Bit:
    case StandInBar64BitPrefetchable:
      Record.BarLow = (UINT32)Window | PCI_BAR_TYPE_64BIT;
      Record.BarLow |= Bar == StandInBar64BitPrefetchable ? PCI_BAR_PREFETCHABLE : 0;
      Record.WindowBase = STAND_IN_HIGH_RAM_BASE + Window;
      Record.WindowAlias = Window;
      break;
    case StandInBarIo:
      // The address bits name the window, so a driver that took it for a
      // memory BAR writes where the stand-in watches.
      Record.BarLow = (UINT32)Window | PCI_BAR_IO_SPACE;
      break;
    case StandInBarZero:
      Record.BarLow = 0;
      Record.BarHigh = 0;
      Record.WindowBase = 0;
      break;
    case StandInBarAbsent:
      Record.BarLow = STAND_IN_ABSENT_BAR;
      Record.BarHigh = STAND_IN_ABSENT_BAR;
      Record.WindowBase = STAND_IN_ABSENT_WINDOW;
      break;
  }
}

// The configuration page holds BAR0; the window (16 pages below
// STAND_IN_HIGH_RAM_SIZE, so that its alias at 4 GiB falls inside the DIMM
// QEMU places there for the runs that need it) holds the registers. For a
// BAR that names no window, the registers a driver would write through it
// anyway are filled and watched instead.
static VOID SetUpXhciStandIn(const STAND_IN_CONFIG &Config) {
  EFI_PHYSICAL_ADDRESS ConfigPage = XHCI_CONFIG_PAGE;
  EFI_PHYSICAL_ADDRESS Window = STAND_IN_HIGH_RAM_SIZE - 1;
  EFI_PHYSICAL_ADDRESS ZeroPage = STAND_IN_ZERO_WINDOW_PAGE;
  if (EFI_ERROR(BootServices->AllocatePages(AllocateAddress, EfiBootServicesData, 1, &ConfigPage)) ||
      EFI_ERROR(BootServices->AllocatePages(AllocateMaxAddress, EfiBootServicesData, STAND_IN_WINDOW_PAGES, &Window))) {
    return;
  }
  DescribeBar(Config.Bar, Window);
  Record.WindowWatched =
      (Config.Bar != StandInBarZero ||
       !EFI_ERROR(BootServices->AllocatePages(AllocateAddress, EfiBootServicesData, 1, &ZeroPage))) &&
      WatchWindow(Record.WindowBase) && (Record.WindowAlias == 0 || WatchWindow(Record.WindowAlias));
  *StandInRegister(XHCI_BAR0_LOW_ADDRESS) = Record.BarLow;
  *StandInRegister(XHCI_BAR0_HIGH_ADDRESS) = Record.BarHigh;
  Record.XhciStandIn = true;
}

HUB_PORT_DISABLE_PROTOCOL HubPortDisable = {RecordHubApply, STAND_IN_HUB_PORT_UNSET, STAND_IN_HUB_PORT_UNSET};

static VOID InstallHubPortDisable() {
  EFI_HANDLE Handle = nullptr;
  Record.HubProtocolInstalled =
      BootServices->InstallProtocolInterface(&Handle, &HubPortDisableProtocolGuid, EFI_NATIVE_INTERFACE,
                                             &HubPortDisable) == EFI_SUCCESS;
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

VOID ClaimHubIdIfChosen(EFI_HANDLE Handle, EFI_USB_IO_PROTOCOL *UsbIo) {
  CHAR8 Port[STAND_IN_PORT_NAME_SIZE];
  QemuPortName(Handle, Port, sizeof(Port));
  if (Record.HubIdPort[0] == '\0' || HubIdStick != nullptr || !AsciiEqual(Port, Record.HubIdPort)) {
    return;
  }
  HubIdStick = UsbIo;
  FirmwareGetDeviceDescriptor = HookSlot(nullptr, &UsbIo->UsbGetDeviceDescriptor, ClaimHubId);
  Record.HubIdClaimed = true;
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
  Record.CalibrationHobInstalled =
      Copy != nullptr && BootServices->InstallConfigurationTable(&HobListGuid, Copy) == EFI_SUCCESS;
}

struct BAR_SETTING {
  const CHAR8 *Text;
  STAND_IN_BAR Bar;
};

static const BAR_SETTING BarSettings[] = {
    {"32-bit", StandInBar32Bit}, {"64-bit", StandInBar64Bit}, {"64-bit-prefetchable", StandInBar64BitPrefetchable},
    {"io", StandInBarIo},        {"zero", StandInBarZero},    {"absent", StandInBarAbsent},
};

static bool ReadBar(STAND_IN_BAR *Bar) {
  CHAR8 Text[sizeof("64-bit-prefetchable")];  // the longest value
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
    (VOID) BootServices->InstallConfigurationTable(&StandInRecordGuid, &Record);
    return EFI_SUCCESS;
  }

  StartRecording();
  if (Config.CalibrationHob) {
    InstallCalibrationHob();
  }
  if (Config.LendPmTimer) {
    LendPmTimer();
  }
  SetUpXhciStandIn(Config);
  InstallHubPortDisable();
  (VOID) BootServices->InstallConfigurationTable(&StandInRecordGuid, &Record);
  return EFI_SUCCESS;
}
