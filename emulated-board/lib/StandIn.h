// What the board's stand-in driver (BoardStandInDxe) and the boot
// applications share: its configuration, and the record it publishes of what
// the drivers did to the stand-in hardware and when.
#pragma once

#include "Chipset.h"

// Namespace of the stand-in's own variables.
#define STAND_IN_VARIABLE_GUID {0x09B9F640, 0x8A5D, 0x4319, {0x99, 0x73, 0x73, 0xF5, 0x9F, 0x76, 0x23, 0x78}}
// UINT32 counts kept across boots: boots in which BoardStandInDxe was loaded,
// and SetVariable calls for SaSetup made after it.
#define STAND_IN_BOOT_COUNT_NAME u"StandInBoots"
#define STAND_IN_SA_SETUP_WRITES_NAME u"StandInSaSetupWrites"
// The resets asked for before ready-to-boot (by the drivers under test: the
// boot application resets only later), as STAND_IN_RESET entries kept
// across the resets themselves.
#define STAND_IN_RESETS_NAME u"StandInResets"
// Configuration-table entry holding the STAND_IN_RECORD.
#define STAND_IN_RECORD_GUID {0xE104A213, 0x7725, 0x46B7, {0xB2, 0x1D, 0x6B, 0xB5, 0x74, 0x89, 0x2B, 0x5C}}

// The page of the controller's configuration dwords, and the register window
// BAR0 names.
#define XHCI_CONFIG_PAGE PCIE_CONFIG_ADDRESS(XHCI_BUS, XHCI_DEVICE, XHCI_FUNCTION, 0)
#define STAND_IN_WINDOW_PAGES 16
#define PCI_BAR_IO_SPACE 0x1U
#define PCI_BAR_TYPE_64BIT 0x4U
#define PCI_BAR_PREFETCHABLE 0x8U

// Registers hold this until the policy driver writes them.
#define STAND_IN_REGISTER_SENTINEL 0xA5A5A5A5U
// What the registers hold before an S3 sleep, as a controller that lost its
// state: no port bit set (every port on), marks in the bits no port uses,
// so a replayed 16-bit boot-script entry shows in the low half alone.
#define STAND_IN_LOST_STATE 0xA5A5F000U
// BAR0's high dword is always 1: a 32-bit BAR must ignore it, a 64-bit BAR
// must use it, so either mistake moves the writes away from the window.
#define STAND_IN_BAR_HIGH_DWORD 1U
// A 64-bit BAR's window lies in a DIMM that QEMU places at 4 GiB.
#define STAND_IN_HIGH_RAM_BASE 0x100000000ULL
// The low window is allocated below this, so its 4 GiB alias stays inside
// that DIMM.
#define STAND_IN_HIGH_RAM_SIZE 0x10000000ULL

static inline volatile UINT32 *StandInRegister(UINT64 Address) { return (volatile UINT32 *)(UINTN)Address; }

static inline VOID FillPortDisableRegisters(UINT64 Window) {
  *StandInRegister(Window + XHCI_USB2_PORT_DISABLE_OFFSET) = STAND_IN_REGISTER_SENTINEL;
  *StandInRegister(Window + XHCI_USB3_PORT_DISABLE_OFFSET) = STAND_IN_REGISTER_SENTINEL;
}

// An absent controller function reads all-ones in every configuration dword.
// Decoded without a check, that BAR would name a window at 0xFFFFFFF0, whose
// port-disable registers fall at 4 GiB + 0x84E8: in the DIMM there.
#define STAND_IN_ABSENT_BAR 0xFFFFFFFFU
#define STAND_IN_ABSENT_WINDOW 0xFFFFFFF0ULL
// An unassigned BAR reads 0; decoded without a check its registers fall in
// the page at 0x8000, which the stand-in claims to watch them.
#define STAND_IN_ZERO_WINDOW_PAGE 0x8000ULL

// The stand-in's settings, one fw_cfg file each, every one required: a
// missing or malformed one is named in STAND_IN_RECORD.BadSetting and the
// stand-in then supplies nothing.
// BAR0 of the controller: a memory BAR, "32-bit", "64-bit" (the window
// above 4 GiB) or "64-bit-prefetchable", or one that names no register
// window: "io" (an I/O BAR), "zero" (unassigned) or "absent" (both BAR
// dwords read all-ones).
#define STAND_IN_BAR_SETTING "opt/board/stand-in/bar"
// "yes" or "no": without the HOB the drivers run their calibration window.
#define STAND_IN_CALIBRATION_HOB_SETTING "opt/board/stand-in/calibration-hob"
// "yes" or "no": the PM timer is moved to the board's port until a
// boot-cost probe gives it back once both drivers under test have entered.
#define STAND_IN_LEND_PM_TIMER_SETTING "opt/board/stand-in/lend-pm-timer"
// QEMU's name of the port of the stick that claims the chipset hub's id
// ("8", "1.2"), or "none".
#define STAND_IN_HUB_ID_PORT_SETTING "opt/board/stand-in/hub-id-port"
#define STAND_IN_SETTING_NAME_SIZE 48

#define STAND_IN_PORT_NAME_SIZE 16

enum STAND_IN_BAR {
  StandInBar32Bit,
  StandInBar64Bit,
  StandInBar64BitPrefetchable,
  StandInBarIo,
  StandInBarZero,
  StandInBarAbsent
};

// What the settings chose for this boot; the hub-id port goes straight into
// STAND_IN_RECORD.HubIdPort.
struct STAND_IN_CONFIG {
  STAND_IN_BAR Bar;
  bool CalibrationHob;
  bool LendPmTimer;
};

struct STAND_IN_S3_WRITE {
  UINT64 OpCode;
  UINT32 Width;
  UINT64 Address;
  UINT64 Count;
  UINT64 Value;  // what Buffer held, read at the entry's width
  EFI_STATUS Status;
  // When it was made: the End-of-DXE and ready-to-boot signals seen by then.
  UINT32 EndOfDxeSignals;
  UINT32 ReadyToBootSignals;
};

// The hub protocol's port members hold this until a driver sets them: no
// hub port, so a member left unset shows.
#define STAND_IN_HUB_PORT_UNSET 0xEE

// One Apply call: its arguments, the protocol's port members as they were
// at the call, and the ready-to-boot signals seen by then.
struct STAND_IN_HUB_APPLY {
  UINT8 Usb3Port;
  UINT32 PassBit;
  UINT8 Usb2Port;
  UINT8 MemberUsb2Port;
  UINT8 MemberUsb3Port;
  UINT32 ReadyToBootSignals;
};

// One ResetSystem call made before ready-to-boot.
struct STAND_IN_RESET {
  UINT32 Type;  // an EFI_RESET_TYPE
  UINT32 Reserved;
  EFI_STATUS Status;
};

#define STAND_IN_MAX_S3_WRITES 32
#define STAND_IN_MAX_HUB_APPLIES 16
#define STAND_IN_MAX_USB_DEVICES 32
#define STAND_IN_MAX_RESETS 4

// A driver under test at its entry, seen when it first reads its variable:
// what was installed by then decides what it can do.
struct STAND_IN_DRIVER_ENTRY {
  UINT32 Order;  // 1 for the first driver under test to enter; 0: it never did
  bool ReadyToLock;
  bool S3SaveState;
  bool DevicePathToText;
};

// A USB device as the bus driver installed it, read before any other
// notification can take its USB I/O away.
struct STAND_IN_USB_DEVICE {
  EFI_HANDLE Handle;
  UINT16 VendorId;
  UINT16 ProductId;
  UINT8 InterfaceClass;
};

struct STAND_IN_RECORD {
  UINT32 BootCount;  // this boot's number, counted in STAND_IN_BOOT_COUNT_NAME
  UINT32 SaSetupWrites;  // SetVariable calls for SaSetup, this boot and earlier ones
  UINT32 ResetCount;     // resets before ready-to-boot, in earlier boots
  STAND_IN_RESET Resets[STAND_IN_MAX_RESETS];
  UINT32 BarLow;
  UINT32 BarHigh;
  // Where BAR0 points: the registers live here. For a BAR that names no
  // window, where a driver that decoded it anyway would write.
  UINT64 WindowBase;
  UINT64 WindowAlias;  // where the low dword alone would point, for a 64-bit BAR; 0 otherwise
  bool WindowWatched;  // the registers at WindowBase (and the alias) are RAM the stand-in filled
  bool XhciStandIn;
  bool CalibrationHobInstalled;
  bool S3SaveStateWrapped;
  bool HubProtocolInstalled;
  UINT32 EndOfDxeSignals;
  bool ReadyToLockAtEndOfDxe;  // at the first signal
  UINT32 ReadyToBootSignals;
  bool ReadyToLockAtReadyToBoot;  // at the first signal
  UINT32 FirmwarePmba;  // the PM block's own base while the timer is lent; 0 otherwise
  UINT32 HubLookups;  // LocateProtocol calls for the hub protocol
  UINT32 S3WriteCount;
  STAND_IN_S3_WRITE S3Writes[STAND_IN_MAX_S3_WRITES];
  UINT32 HubApplyCount;
  STAND_IN_HUB_APPLY HubApplies[STAND_IN_MAX_HUB_APPLIES];
  STAND_IN_DRIVER_ENTRY PolicyEntry;  // UsbConnectorPolicyDxe, reading Setup
  STAND_IN_DRIVER_ENTRY ResetEntry;   // SaSetupResetDxe, reading SaSetup
  UINT32 UsbDeviceCount;
  STAND_IN_USB_DEVICE UsbDevices[STAND_IN_MAX_USB_DEVICES];
  CHAR8 HubIdPort[STAND_IN_PORT_NAME_SIZE];  // QEMU port of the stick claiming the hub's id; empty for none
  bool HubIdClaimed;                      // that stick appeared and claims it
  CHAR8 BadSetting[STAND_IN_SETTING_NAME_SIZE];  // the first setting missing or malformed; empty when all were good
};
