// The boot application's part of the typical road (README, "The typical
// road"): the first boot stores the setup the host chose and resets; the
// report boot prints what OVMF and the drivers did as "BOARD: ROAD <what>
// key=value ..." lines, read by tools/road_boot.py against a fixed list of
// keys, then, when asked, leaves the registers as a controller that lost
// power and enters S3.
#include "BoardApp.h"
#include "BootStages.h"
#include "Console.h"
#include "DevicePaths.h"
#include "FwCfgSettings.h"
#include "Guids.h"
#include "Report.h"
#include "S3Sleep.h"
#include "Variables.h"

// The road's settings, one fw_cfg file each: Setup's mode and SaSetup's
// request byte (decimal 0..255, 0 for no request), each connector's enable
// byte as '0' or '1' (connector 0 first), and whether the report boot sleeps
// in S3 ("yes" or "no").
#define ROAD_MODE_SETTING "opt/board/road/mode"
#define ROAD_ENABLE_SETTING "opt/board/road/enable"
#define ROAD_RESET_REQUEST_SETTING "opt/board/road/reset-request"
#define ROAD_SLEEP_SETTING "opt/board/road/sleep"
// Device-path text of the handles looked at fits in this.
#define PATH_TEXT_SIZE 160
#define MAX_HANDLES 512

struct ROAD {
  UINT8 Mode;
  UINT8 Enable[CONNECTOR_COUNT];
  UINT8 ResetRequest;
  bool Sleep;
};

static bool ReadEnable(UINT8 (&Enable)[CONNECTOR_COUNT]) {
  CHAR8 Text[CONNECTOR_COUNT + 1];
  if (!FwCfgReadText(ROAD_ENABLE_SETTING, Text, sizeof(Text))) {
    return false;
  }
  for (UINTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    if (Text[Connector] != '0' && Text[Connector] != '1') {
      return false;
    }
    Enable[Connector] = (UINT8)(Text[Connector] - '0');
  }
  return true;
}

// Every setting is read, so that each bad one is named.
static bool ReadRoad(ROAD *Road) {
  const bool Mode = Expect(FwCfgReadUint8(ROAD_MODE_SETTING, &Road->Mode),
                           "fw_cfg setting %s is missing or not a decimal 0..255", ROAD_MODE_SETTING);
  const bool Enable = Expect(ReadEnable(Road->Enable), "fw_cfg setting %s is missing or not %llu characters 0 or 1",
                             ROAD_ENABLE_SETTING, (UINT64)CONNECTOR_COUNT);
  const bool ResetRequest = Expect(FwCfgReadUint8(ROAD_RESET_REQUEST_SETTING, &Road->ResetRequest),
                                   "fw_cfg setting %s is missing or not a decimal 0..255", ROAD_RESET_REQUEST_SETTING);
  const bool Sleep = Expect(FwCfgReadBool(ROAD_SLEEP_SETTING, &Road->Sleep),
                            "fw_cfg setting %s is missing or not yes or no", ROAD_SLEEP_SETTING);
  return Mode && Enable && ResetRequest && Sleep;
}

// SaSetup is stored on every road, with or without the request, as the
// board's setup component would keep it. BoardStandInDxe runs in this boot
// too and counts this application's SaSetup write; the counts of writes and
// resets start over so that they are the drivers' alone.
static VOID Prepare(const ROAD &Road) {
  if (!WriteSetupBytes(SETUP_VARIABLE_SIZE, Road.Mode, Road.Enable) || !StoreSaSetup(Road.ResetRequest)) {
    return;
  }
  DeleteVariable(STAND_IN_SA_SETUP_WRITES_NAME, &StandInVariableGuid);
  DeleteVariable(STAND_IN_RESETS_NAME, &StandInVariableGuid);
  MarkCheckStageAndReset("setup stored");
}

static VOID PrintEntry(const CHAR8 *Driver, const STAND_IN_DRIVER_ENTRY &Entry) {
  Print("BOARD: ROAD entry driver=%s order=%u ready_to_lock=%u s3_save_state=%u device_path_to_text=%u\n", Driver,
        Entry.Order, Entry.ReadyToLock, Entry.S3SaveState, Entry.DevicePathToText);
}

static VOID PrintSetupAndCapabilities() {
  static UINT8 Setup[2 * SETUP_VARIABLE_SIZE];
  UINTN Size = sizeof(Setup);
  EFI_STATUS Status = RuntimeServices->GetVariable(SETUP_VARIABLE_NAME, &SetupGuid, nullptr, &Size, Setup);
  CHAR8 Enable[CONNECTOR_COUNT + 1] = {};
  for (UINTN Connector = 0; Status == EFI_SUCCESS && Connector < CONNECTOR_COUNT; Connector++) {
    Enable[Connector] = Setup[SETUP_USB_CONNECTOR_ENABLE_OFFSET + Connector] != 0 ? '1' : '0';
  }
  Print("BOARD: ROAD setup status=%s size=%llu mode=%u enable=%s\n", StatusName(Status), (UINT64)Size,
        Status == EFI_SUCCESS ? Setup[SETUP_USB_CONNECTOR_CONTROL_MODE_OFFSET] : 0U, Enable);

  static UINT8 Block[2 * sizeof(USB_CONNECTOR_CAPABILITIES)];
  CHAR8 Hex[2 * sizeof(Block) + 1] = {};
  UINT32 Attributes = 0;
  Size = sizeof(Block);
  Status = RuntimeServices->GetVariable(USB_CONNECTOR_CAPABILITIES_NAME, &CapabilitiesGuid, &Attributes, &Size, Block);
  for (UINTN Offset = 0; Status == EFI_SUCCESS && Offset < Size; Offset++) {
    FormatString(Hex + 2 * Offset, 3, "%02x", Block[Offset]);
  }
  Print("BOARD: ROAD capabilities status=%s size=%llu attributes=0x%08x bytes=%s\n", StatusName(Status),
        (UINT64)Size, Attributes, Hex);
}

// Whether the handle at HandlePath belongs to a USB device other than the one
// at DevicePath: one plugged below it, behind a hub.
static bool BelongsToDeeperDevice(const CHAR8 *HandlePath, const CHAR8 *DevicePath,
                                  const CHAR8 (*DevicePaths)[PATH_TEXT_SIZE], UINTN DeviceCount) {
  for (UINTN Device = 0; Device < DeviceCount; Device++) {
    const CHAR8 *Other = DevicePaths[Device];
    if (!AsciiEqual(Other, DevicePath) && IsUnder(Other, DevicePath) && IsUnder(HandlePath, Other)) {
      return true;
    }
  }
  return false;
}

// Each USB device the firmware installed, as BoardStandInDxe saw it arrive, and
// what it has now: USB I/O, and storage bound to it (at or below its path,
// but not on a device behind it).
static VOID PrintUsbDevices(const STAND_IN_RECORD &Record) {
  static EFI_HANDLE Handles[MAX_HANDLES];
  static CHAR8 Paths[MAX_HANDLES][PATH_TEXT_SIZE];
  static CHAR8 DevicePaths[STAND_IN_MAX_USB_DEVICES][PATH_TEXT_SIZE];
  UINTN Size = sizeof(Handles);
  // DevicePathText's converter, named here when it is missing.
  VOID *ToText = nullptr;
  if (!Expect(BootServices->LocateProtocol(&DevicePathToTextProtocolGuid, nullptr, &ToText) == EFI_SUCCESS,
              "no device-path-to-text protocol") ||
      !Expect(BootServices->LocateHandle(ByProtocol, &DevicePathProtocolGuid, nullptr, &Size, Handles) == EFI_SUCCESS,
              "no handles with a device path")) {
    return;
  }
  const UINTN Count = Size / sizeof(EFI_HANDLE);
  for (UINTN Index = 0; Index < Count; Index++) {
    if (!DevicePathText(Handles[Index], Paths[Index], PATH_TEXT_SIZE)) {
      Paths[Index][0] = '\0';
    }
  }
  const UINTN DeviceCount = Record.UsbDeviceCount < STAND_IN_MAX_USB_DEVICES ? Record.UsbDeviceCount
                                                                          : STAND_IN_MAX_USB_DEVICES;
  for (UINTN Device = 0; Device < DeviceCount; Device++) {
    if (!DevicePathText(Record.UsbDevices[Device].Handle, DevicePaths[Device], PATH_TEXT_SIZE)) {
      FormatString(DevicePaths[Device], PATH_TEXT_SIZE, "none");
    }
  }
  for (UINTN Device = 0; Device < DeviceCount; Device++) {
    const STAND_IN_USB_DEVICE &Usb = Record.UsbDevices[Device];
    const CHAR8 *Path = DevicePaths[Device];
    const bool Present = !AsciiEqual(Path, "none");
    UINTN BlockIo = 0;
    UINTN FileSystems = 0;
    for (UINTN Index = 0; Present && Index < Count; Index++) {
      if (IsUnder(Paths[Index], Path) && !BelongsToDeeperDevice(Paths[Index], Path, DevicePaths, DeviceCount)) {
        BlockIo += HasProtocol(Handles[Index], &BlockIoProtocolGuid) ? 1 : 0;
        FileSystems += HasProtocol(Handles[Index], &SimpleFileSystemProtocolGuid) ? 1 : 0;
      }
    }
    Print("BOARD: ROAD device path=%s class=%u vendor=0x%04x product=0x%04x present=%u usb_io=%u block_io=%llu "
          "file_systems=%llu\n",
          Path, Usb.InterfaceClass, Usb.VendorId, Usb.ProductId, Present,
          Present && HasProtocol(Usb.Handle, &UsbIoProtocolGuid), (UINT64)BlockIo, (UINT64)FileSystems);
  }
}

static VOID PrintReadyToBoot(const STAND_IN_RECORD &Record) {
  Print("BOARD: ROAD end_of_dxe signals=%u ready_to_lock=%u\n", Record.EndOfDxeSignals, Record.ReadyToLockAtEndOfDxe);
  Print("BOARD: ROAD ready_to_boot signals=%u ready_to_lock=%u bar_low=0x%08x bar_high=0x%08x window=0x%llx "
        "usb2=0x%08x usb3=0x%08x untouched=0x%08x s3_wrapped=%u hub_lookups=%u hub_applies=%u\n",
        Record.ReadyToBootSignals, Record.ReadyToLockAtReadyToBoot, Record.BarLow, Record.BarHigh, Record.WindowBase,
        *StandInRegister(Record.WindowBase + XHCI_USB2_PORT_DISABLE_OFFSET),
        *StandInRegister(Record.WindowBase + XHCI_USB3_PORT_DISABLE_OFFSET), STAND_IN_REGISTER_SENTINEL,
        Record.S3SaveStateWrapped, Record.HubLookups, Record.HubApplyCount);
  // Where the other reading of BAR0's dwords would point: a driver that read
  // the BAR wrongly would have written there.
  if (Record.WindowAlias != 0) {
    Print("BOARD: ROAD alias window=0x%llx usb2=0x%08x usb3=0x%08x\n", Record.WindowAlias,
          *StandInRegister(Record.WindowAlias + XHCI_USB2_PORT_DISABLE_OFFSET),
          *StandInRegister(Record.WindowAlias + XHCI_USB3_PORT_DISABLE_OFFSET));
  }
  for (UINT32 Index = 0; Index < Record.S3WriteCount && Index < STAND_IN_MAX_S3_WRITES; Index++) {
    const STAND_IN_S3_WRITE &Entry = Record.S3Writes[Index];
    Print("BOARD: ROAD boot_script opcode=%llu width=%u address=0x%llx count=%llu value=0x%llx status=%s "
          "end_of_dxe=%u ready_to_boot=%u\n",
          Entry.OpCode, Entry.Width, Entry.Address, Entry.Count, Entry.Value, StatusName(Entry.Status),
          Entry.EndOfDxeSignals, Entry.ReadyToBootSignals);
  }
  for (UINT32 Index = 0; Index < Record.HubApplyCount && Index < STAND_IN_MAX_HUB_APPLIES; Index++) {
    const STAND_IN_HUB_APPLY &Apply = Record.HubApplies[Index];
    Print("BOARD: ROAD hub_apply usb3_port=%u pass_bit=0x%x usb2_port=%u usb2_member=%u usb3_member=%u "
          "ready_to_boot=%u\n",
          Apply.Usb3Port, Apply.PassBit, Apply.Usb2Port, Apply.MemberUsb2Port, Apply.MemberUsb3Port,
          Apply.ReadyToBootSignals);
  }
}

static VOID PrintSaSetup(const STAND_IN_RECORD &Record) {
  const SA_SETUP_STATE State = ReadSaSetup();
  CHAR8 FirstChange[24] = "none";
  if (State.FirstChange >= 0) {
    FormatString(FirstChange, sizeof(FirstChange), "%llu", (UINT64)State.FirstChange);
  }
  Print("BOARD: ROAD sa_setup status=%s size=%llu stored_size=%u attributes=0x%08x request=%u first_change=%s "
        "writes=%u boots=%u\n",
        StatusName(State.Status), (UINT64)State.Size, SA_SETUP_STORED_SIZE, State.Attributes, State.Request,
        FirstChange, Record.SaSetupWrites, Record.BootCount);
  for (UINT32 Index = 0; Index < Record.ResetCount; Index++) {
    Print("BOARD: ROAD reset type=%u status=%s\n", Record.Resets[Index].Type, StatusName(Record.Resets[Index].Status));
  }
}

// The registers lose their state as the controller would; the host reads
// them back after the resume. Returns only when the machine did not sleep.
static VOID Sleep(const STAND_IN_RECORD &Record) {
  const UINT64 Usb2 = Record.WindowBase + XHCI_USB2_PORT_DISABLE_OFFSET;
  const UINT64 Usb3 = Record.WindowBase + XHCI_USB3_PORT_DISABLE_OFFSET;
  *StandInRegister(Usb2) = STAND_IN_LOST_STATE;
  *StandInRegister(Usb3) = STAND_IN_LOST_STATE;
  Print("BOARD: ROAD sleep usb2_address=0x%llx usb3_address=0x%llx lost_state=0x%08x wake_flag=0x%llx\n", Usb2, Usb3,
        STAND_IN_LOST_STATE, S3_WAKE_FLAG_ADDRESS);
  EnterS3();
}

static VOID Check(const ROAD &Road) {
  const STAND_IN_RECORD *Record = StandInRecord();
  if (Record == nullptr ||
      !Expect(Record->XhciStandIn && Record->CalibrationHobInstalled && Record->HubProtocolInstalled,
              "the board's stand-in is incomplete: xHCI stand-in %u, calibration HOB %u, hub protocol %u",
              Record->XhciStandIn, Record->CalibrationHobInstalled, Record->HubProtocolInstalled)) {
    return;
  }
  Print("BOARD: ROAD board hub_id_port=%s hub_id_claimed=%u watched=%u hub_members_start=%u\n",
        Record->HubIdPort[0] != '\0' ? Record->HubIdPort : "none", Record->HubIdClaimed, Record->WindowWatched,
        STAND_IN_HUB_PORT_UNSET);
  PrintEntry("UsbConnectorPolicyDxe", Record->PolicyEntry);
  PrintEntry("SaSetupResetDxe", Record->ResetEntry);
  PrintSetupAndCapabilities();
  PrintUsbDevices(*Record);
  PrintReadyToBoot(*Record);
  PrintSaSetup(*Record);
  if (Road.Sleep) {
    Sleep(*Record);
  }
}

VOID RunRoad() {
  ROAD Road = {};
  if (ReadRoad(&Road)) {
    RunTwoBoots(Road, Prepare, Check);
  }
}
