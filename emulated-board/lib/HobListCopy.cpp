#include "HobListCopy.h"

#include "FirmwareTables.h"

UINT8 *FirmwareHobList() { return (UINT8 *)FindConfigurationTable(&HobListGuid); }

// Offset of the end HOB; *HasCalibrationHob tells whether one was passed.
static UINTN EndOfHobList(const UINT8 *List, bool *HasCalibrationHob) {
  UINTN Offset = 0;
  *HasCalibrationHob = false;
  for (;;) {
    const EFI_HOB_GENERIC_HEADER *Header = (const EFI_HOB_GENERIC_HEADER *)(List + Offset);
    if (Header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return Offset;
    }
    if (Header->HobType == EFI_HOB_TYPE_GUID_EXTENSION &&
        CompareGuid(&((const EFI_HOB_GUID_TYPE *)Header)->Name, &TimerCalibrationHobGuid)) {
      *HasCalibrationHob = true;
    }
    Offset += Header->HobLength;
  }
}

bool HobListHasCalibrationHob(const UINT8 *List) {
  bool HasCalibrationHob = false;
  (VOID) EndOfHobList(List, &HasCalibrationHob);
  return HasCalibrationHob;
}

UINT8 *HobListWithCalibrationHob(const UINT8 *List) {
  bool HasCalibrationHob = false;
  const UINTN EndOffset = EndOfHobList(List, &HasCalibrationHob);
  const UINTN Size = EndOffset + sizeof(EFI_HOB_GUID_TYPE) + sizeof(EFI_HOB_GENERIC_HEADER);
  UINT8 *Copy = nullptr;
  if (EFI_ERROR(BootServices->AllocatePool(EfiBootServicesData, Size, (VOID **)&Copy))) {
    return nullptr;
  }
  __builtin_memcpy(Copy, List, EndOffset);
  EFI_HOB_GUID_TYPE *Calibration = (EFI_HOB_GUID_TYPE *)(Copy + EndOffset);
  Calibration->Header = {EFI_HOB_TYPE_GUID_EXTENSION, sizeof(EFI_HOB_GUID_TYPE), 0};
  Calibration->Name = TimerCalibrationHobGuid;
  EFI_HOB_GENERIC_HEADER *End = (EFI_HOB_GENERIC_HEADER *)(Calibration + 1);
  *End = {EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), 0};
  // The PHIT keeps pointing at the copy's own end HOB.
  if (((EFI_HOB_GENERIC_HEADER *)Copy)->HobType == EFI_HOB_TYPE_HANDOFF) {
    ((EFI_HOB_HANDOFF_INFO_TABLE *)Copy)->EfiEndOfHobList = (EFI_PHYSICAL_ADDRESS)(UINTN)End;
  }
  return Copy;
}
