// What the bench board driver (BenchBoardDxe) and the boot application share:
// the driver's configuration variable and the record it publishes of what
// UsbConnectorPolicyDxe did to the stand-in hardware.
#pragma once

#include "Uefi/Base.h"

// Namespace of the bench's own variables.
#define BENCH_VARIABLE_GUID {0x09B9F640, 0x8A5D, 0x4319, {0x99, 0x73, 0x73, 0xF5, 0x9F, 0x76, 0x23, 0x78}}
#define BENCH_BOARD_CONFIG_NAME u"BenchBoard"
#define NV_BS_RT_ATTRIBUTES 0x00000007U
// UINT32 counts kept across boots: boots in which BenchBoardDxe was loaded,
// and SetVariable calls for SaSetup made after it.
#define BENCH_BOOT_COUNT_NAME u"BenchBoots"
#define BENCH_SA_SETUP_WRITES_NAME u"BenchSaSetupWrites"
// The variables the drivers under test read first: their entry shows there.
#define SETUP_NAME u"Setup"
#define SETUP_GUID {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}}
#define SA_SETUP_NAME u"SaSetup"
#define SA_SETUP_GUID {0x72C5E28C, 0x7783, 0x43A1, {0x87, 0x67, 0xFA, 0xD7, 0x3F, 0xCC, 0xAF, 0xA4}}
// Installed by the firmware at SMM ready-to-lock; after it the S3 boot script
// takes no more entries from outside SMM.
#define SMM_READY_TO_LOCK_PROTOCOL_GUID \
  {0x60FF8964, 0xE906, 0x41D0, {0xAF, 0xED, 0xF2, 0x41, 0xE9, 0x74, 0xE0, 0x8E}}
// Configuration-table entry holding the BENCH_BOARD_RECORD.
#define BENCH_BOARD_RECORD_GUID {0xE104A213, 0x7725, 0x46B7, {0xB2, 0x1D, 0x6B, 0xB5, 0x74, 0x89, 0x2B, 0x5C}}

// The board's xHCI configuration dword page (PCIe ECAM 0xC0000000, device
// 0x14) and the registers the policy driver writes in the window BAR0 names.
#define XHCI_CONFIG_PAGE 0xC00A0000ULL
#define XHCI_BAR0_LOW_ADDRESS 0xC00A0010ULL
#define XHCI_BAR0_HIGH_ADDRESS 0xC00A0014ULL
#define XHCI_USB2_PORT_DISABLE_OFFSET 0x84F8
#define XHCI_USB3_PORT_DISABLE_OFFSET 0x84FC
#define BENCH_WINDOW_PAGES 16
#define PCI_BAR_TYPE_64BIT 0x4U

// Registers hold this until the policy driver writes them.
#define BENCH_REGISTER_SENTINEL 0xA5A5A5A5U
// What the registers hold before an S3 sleep, as a controller that lost its
// state: no port bit set (every port on), marks in the bits no port uses,
// so a replayed 16-bit boot-script entry shows in the low half alone.
#define BENCH_LOST_STATE 0xA5A5F000U
// BAR0's high dword is always 1: a 32-bit BAR must ignore it, a 64-bit BAR
// must use it, so either mistake moves the writes away from the window.
#define BENCH_BAR_HIGH_DWORD 1U
// A 64-bit BAR's window lies in a DIMM that QEMU places at 4 GiB.
#define BENCH_HIGH_RAM_BASE 0x100000000ULL
// The low window is allocated below this, so its 4 GiB alias stays inside
// that DIMM.
#define BENCH_HIGH_RAM_SIZE 0x10000000ULL

static inline volatile UINT32 *BenchRegister(UINT64 Address) { return (volatile UINT32 *)(UINTN)Address; }

static inline VOID BenchFillPortDisableRegisters(UINT64 Window) {
  *BenchRegister(Window + XHCI_USB2_PORT_DISABLE_OFFSET) = BENCH_REGISTER_SENTINEL;
  *BenchRegister(Window + XHCI_USB3_PORT_DISABLE_OFFSET) = BENCH_REGISTER_SENTINEL;
}

// An absent controller function reads all-ones in every configuration dword.
// Decoded without a check, that BAR would name a window at 0xFFFFFFF0, whose
// port-disable registers fall at 4 GiB + 0x84E8: in the DIMM there.
#define BENCH_ABSENT_BAR 0xFFFFFFFFU
#define BENCH_ABSENT_WINDOW 0xFFFFFFF0ULL

// Overrides the configuration variable when QEMU has it (see BenchBoardDxe).
#define BENCH_FW_CFG_CONFIG "opt/bench/board"
#define BENCH_FW_CFG_CONFIG_SIZE 64

// The id of the chipset's rate-matching hub, which the stand-in makes one
// chosen stick claim: "hub-id=<QEMU port>" in BENCH_FW_CFG_CONFIG, for
// example "hub-id=8" or "hub-id=1.2".
#define CHIPSET_HUB_VENDOR_ID 0x8087
#define CHIPSET_HUB_PRODUCT_ID 0x0024
#define BENCH_PORT_NAME_SIZE 16

struct BENCH_BOARD_CONFIG {
  UINT32 Bar64Bit;          // 0: 32-bit memory BAR; 1: 64-bit, the window above 4 GiB
  UINT32 BarAbsent;         // 1: both BAR dwords read all-ones
  UINT32 NoCalibrationHob;  // 1: the drivers run their calibration window
  // 1: the PM timer is moved to the board's port 0x1808 until a boot-cost
  // probe gives it back once both drivers under test have entered.
  UINT32 LendPmTimer;
};

struct BENCH_S3_WRITE {
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

struct BENCH_HUB_APPLY {
  UINT8 Usb3Port;
  UINT32 PassBit;
  UINT8 Usb2Port;
};

#define BENCH_MAX_S3_WRITES 32
#define BENCH_MAX_HUB_APPLIES 16
#define BENCH_MAX_USB_DEVICES 32

// A driver under test at its entry, seen when it first reads its variable:
// what was installed by then decides what it can do.
struct BENCH_DRIVER_ENTRY {
  UINT32 Order;  // 1 for the first driver under test to enter; 0: it never did
  bool ReadyToLock;
  bool S3SaveState;
  bool DevicePathToText;
};

// A USB device as the bus driver installed it, read before any other
// notification can take its USB I/O away.
struct BENCH_USB_DEVICE {
  EFI_HANDLE Handle;
  UINT16 VendorId;
  UINT16 ProductId;
  UINT8 InterfaceClass;
};

struct BENCH_BOARD_RECORD {
  UINT32 BootCount;  // this boot's number, counted in BENCH_BOOT_COUNT_NAME
  UINT32 SaSetupWrites;  // SetVariable calls for SaSetup, this boot and earlier ones
  UINT32 BarLow;
  UINT32 BarHigh;
  UINT64 WindowBase;   // where BAR0 points: the registers live here
  UINT64 WindowAlias;  // where the other reading of the dwords would point
  bool HighRamPresent;  // the DIMM at 4 GiB answered (64-bit BAR runs only)
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
  BENCH_S3_WRITE S3Writes[BENCH_MAX_S3_WRITES];
  UINT32 HubApplyCount;
  BENCH_HUB_APPLY HubApplies[BENCH_MAX_HUB_APPLIES];
  BENCH_DRIVER_ENTRY PolicyEntry;  // UsbConnectorPolicyDxe, reading Setup
  BENCH_DRIVER_ENTRY ResetEntry;   // SaSetupResetDxe, reading SaSetup
  UINT32 UsbDeviceCount;
  BENCH_USB_DEVICE UsbDevices[BENCH_MAX_USB_DEVICES];
  CHAR8 HubIdPort[BENCH_PORT_NAME_SIZE];  // QEMU port of the stick claiming the hub's id; empty for none
  bool HubIdClaimed;                      // that stick appeared and claims it
};
