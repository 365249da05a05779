// BootCostProbeDxe: copies of it sit in the flash image around the drivers
// whose start-up cost is measured. Each reads the time-stamp counter first
// thing at its entry and adds the reading to the boot-cost table, so that the
// difference between two probes is what the DXE dispatcher spent loading and
// starting the driver between them. A probe that finds both drivers under
// test entered gives the PM timer back to OVMF if BoardStandInDxe lent it.
#include "BootCost.h"
#include "FirmwareTables.h"
#include "Guids.h"
#include "Hardware.h"
#include "QemuPlatform.h"
#include "StandIn.h"

static VOID ReturnPmTimer() {
  STAND_IN_RECORD *Record = (STAND_IN_RECORD *)FindConfigurationTable(&StandInRecordGuid);
  if (Record != nullptr && Record->FirmwarePmba != 0 && Record->PolicyEntry.Order != 0 &&
      Record->ResetEntry.Order != 0) {
    PciWrite32(PIIX4_PM_BUS, PIIX4_PM_DEVICE, PIIX4_PM_FUNCTION, PIIX4_PMBA_OFFSET, Record->FirmwarePmba);
    Record->FirmwarePmba = 0;
  }
}

extern "C" EFI_STATUS EFIAPI BootCostProbeEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  const UINT64 Now = ReadTimeStampCounter();
  FirmwareTablesInit(ImageHandle, SystemTable);
  BOOT_COST_TABLE *Table = (BOOT_COST_TABLE *)FindConfigurationTable(&BootCostTableGuid);
  if (Table == nullptr) {
    if (EFI_ERROR(BootServices->AllocatePool(EfiBootServicesData, sizeof(*Table), (VOID **)&Table))) {
      return EFI_SUCCESS;
    }
    *Table = {};
    (VOID) BootServices->InstallConfigurationTable(&BootCostTableGuid, Table);
  }
  if (Table->Count < BOOT_COST_MAX_STAMPS) {
    Table->Stamps[Table->Count++] = Now;
  }
  ReturnPmTimer();
  return EFI_SUCCESS;
}
