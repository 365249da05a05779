#include "DriverOptions.h"

#include "Console.h"
#include "Guid/GlobalVariable.h"
#include "Guids.h"
#include "Report.h"
#include "ScenarioSupport.h"

#define LOAD_OPTION_SIZE 512

// EFI_LOAD_OPTION: attributes, path length, description, device path.
static bool StoreDriverOption(UINTN Number, const CHAR16 *File) {
  static const CHAR16 Description[] = u"Driver under test";
  UINTN PathSize = 0;
  EFI_DEVICE_PATH_PROTOCOL *Path = BootVolumeFilePath(File, &PathSize);
  if (!Expect(Path != nullptr, "no device path for the boot volume")) {
    return false;
  }
  static UINT8 Option[LOAD_OPTION_SIZE];
  const EFI_LOAD_OPTION_HEADER Header = {LOAD_OPTION_ACTIVE, (UINT16)PathSize};
  const UINTN Size = sizeof(Header) + sizeof(Description) + PathSize;
  if (!Expect(Size <= sizeof(Option), "load option of %llu bytes", Size)) {
    return false;
  }
  __builtin_memcpy(Option, &Header, sizeof(Header));
  __builtin_memcpy(Option + sizeof(Header), Description, sizeof(Description));
  __builtin_memcpy(Option + sizeof(Header) + sizeof(Description), Path, PathSize);
  BootServices->FreePool(Path);

  CHAR16 Name[] = u"Driver0000";
  Name[9] = (CHAR16)(u'0' + Number);
  const EFI_STATUS Status = RuntimeServices->SetVariable(Name, &GlobalVariableGuid, NV_BS_RT_ATTRIBUTES, Size, Option);
  CHAR8 FileName[48];
  AsciiFromText(File, FileName, sizeof(FileName));
  Observe("load option", "Driver%04llu = %s", (UINT64)Number, FileName);
  return Expect(Status == EFI_SUCCESS, "storing Driver%04llu: %s", (UINT64)Number, StatusName(Status));
}

VOID RegisterDriversAndReset(const CHAR16 *DriverFile) {
  if (!StoreDriverOption(0, STAND_IN_FILE) || !StoreDriverOption(1, DriverFile)) {
    return;
  }
  static const UINT16 Order[] = {0, 1};
  const EFI_STATUS Status =
      RuntimeServices->SetVariable(u"DriverOrder", &GlobalVariableGuid, NV_BS_RT_ATTRIBUTES, sizeof(Order), Order);
  if (!Expect(Status == EFI_SUCCESS, "storing DriverOrder: %s", StatusName(Status))) {
    return;
  }
  MarkCheckStageAndReset("Driver#### options stored");
}
