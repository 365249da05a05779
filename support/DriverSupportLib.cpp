// Start-up sequence shared by both drivers.
#include "DriverSupportLib.h"

#include "Hardware.h"

EFI_SYSTEM_TABLE *SystemTable;
EFI_BOOT_SERVICES *BootServices;
EFI_RUNTIME_SERVICES *RuntimeServices;
VOID *HobListCache;

const EFI_GUID HobListGuid = EFI_HOB_LIST_GUID;
const EFI_GUID TimerCalibrationHobGuid = TIMER_CALIBRATION_HOB_GUID;

VOID *FindHobList() {
  if (HobListCache != nullptr) {
    return HobListCache;
  }
  for (UINTN Index = 0; Index < SystemTable->NumberOfTableEntries; Index++) {
    if (CompareGuid(&SystemTable->ConfigurationTable[Index].VendorGuid, &HobListGuid)) {
      HobListCache = SystemTable->ConfigurationTable[Index].VendorTable;
      return HobListCache;
    }
  }
  // Not cached, so a later call searches again.
  return nullptr;
}

EFI_HOB_GUID_TYPE *FindGuidHob(const EFI_GUID *Guid) {
  UINT8 *Hob = static_cast<UINT8 *>(FindHobList());
  if (Hob == nullptr) {
    return nullptr;
  }
  for (;;) {
    EFI_HOB_GENERIC_HEADER *Header = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(Hob);
    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return nullptr;
    }
    if (Header->HobType == EFI_HOB_TYPE_GUID_EXTENSION) {
      EFI_HOB_GUID_TYPE *GuidHob = reinterpret_cast<EFI_HOB_GUID_TYPE *>(Hob);
      if (CompareGuid(&GuidHob->Name, Guid)) {
        return GuidHob;
      }
    }
    // A zero length would never advance; a list that broken has no
    // trustworthy entries, so end the walk as not found instead of hanging
    // the boot.
    if (Header->HobLength == 0) {
      return nullptr;
    }
    Hob += Header->HobLength;
  }
}

// Waits CALIBRATION_WINDOW_TICKS of the PM timer with interrupts masked and
// puts the interrupt flag back as it was. A timer that does not tick (ACPI
// timer off, I/O base moved, a port reading all-ones) ends the wait after
// CALIBRATION_POLL_LIMIT polls instead of hanging the boot.
static VOID RunCalibrationWindow() {
  const bool InterruptsWereEnabled = (ReadRflags() & RFLAGS_INTERRUPT_ENABLE) != 0;
  DisableInterrupts();

  const UINT32 Start = IoRead32(PM_TIMER_PORT) & PM_TIMER_MASK;
  (VOID) ReadTimeStampCounter();
  // Bit 23 of the 32-bit difference turns on once the timer has passed
  // Start + 363, also across the wrap of the 24-bit counter.
  for (UINT32 Polls = 1;
       ((Start + (CALIBRATION_WINDOW_TICKS - 1) - IoRead32(PM_TIMER_PORT)) & PM_TIMER_MSB_MASK) == 0 &&
       Polls < CALIBRATION_POLL_LIMIT;
       Polls++) {
    CpuPause();
  }
  (VOID) ReadTimeStampCounter();

  if (InterruptsWereEnabled) {
    EnableInterrupts();
  } else {
    DisableInterrupts();
  }
}

VOID DriverSupportInit(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  (VOID) ImageHandle;
  SystemTable = Table;
  BootServices = Table->BootServices;
  RuntimeServices = Table->RuntimeServices;

  (VOID) FindHobList();
  if (FindGuidHob(&TimerCalibrationHobGuid) == nullptr) {
    RunCalibrationWindow();
  }
}
