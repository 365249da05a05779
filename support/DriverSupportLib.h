// Start-up frame shared by both driver images: the firmware tables every
// later routine calls through, the HOB list lookup and the timer
// calibration window.
#pragma once

#include "Chipset.h"
#include "Pi/Hob.h"
#include "Uefi/SystemTable.h"

// Oldest firmware the drivers run on: UEFI 2.30.
#define DRIVER_SUPPORT_MIN_REVISION 0x0002001EU

// GUID HOB whose presence means the platform already calibrated the timer.
#define TIMER_CALIBRATION_HOB_GUID {0x3FCA54F6, 0xE1A2, 0x4B20, {0xBE, 0x76, 0x92, 0x6B, 0x4B, 0x48, 0xBF, 0xAA}}

// The ACPI PM timer (PM_TIMER_PORT) is 24 bits wide.
#define PM_TIMER_MSB_MASK 0x00800000U
// Ticks the calibration window waits, about 101.7 us.
#define CALIBRATION_WINDOW_TICKS 364U
// Polls after which the window gives up on a timer that does not tick. A
// PM timer read is an I/O cycle to the chipset, about 1 us on hardware, so a
// working timer ends the window within a few hundred polls; even at one
// poll per 8 ns (an emulator that counts each instruction as 1 ns) it takes
// under 12,800. The limit is 20 times that, and a dead timer costs about a
// quarter of a second on hardware.
#define CALIBRATION_POLL_LIMIT 0x40000U

#define RFLAGS_INTERRUPT_ENABLE 0x200U

extern EFI_SYSTEM_TABLE *SystemTable;
extern EFI_BOOT_SERVICES *BootServices;
extern EFI_RUNTIME_SERVICES *RuntimeServices;
// Start of the HOB list once found; null until then.
extern VOID *HobListCache;

extern const EFI_GUID HobListGuid;
extern const EFI_GUID TimerCalibrationHobGuid;

// The revision gate each entry point applies before anything else.
inline bool DriverSupportRevisionTooOld(const EFI_SYSTEM_TABLE *Table) {
  return Table->Hdr.Revision < DRIVER_SUPPORT_MIN_REVISION;
}

VOID DriverSupportInit(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table);
VOID *FindHobList();
EFI_HOB_GUID_TYPE *FindGuidHob(const EFI_GUID *Guid);
