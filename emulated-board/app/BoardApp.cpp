// Boot application of the emulated board: started by OVMF as
// \EFI\BOOT\BOOTX64.EFI, it runs the job the host named in fw_cfg and ends
// QEMU with the outcome (see Report.h).
#include "BoardApp.h"

#include "FirmwareTables.h"
#include "Report.h"

static const NAMED_RUN Jobs[] = {
    {"road", RunRoad},
    {"boot-cost", MeasureBootCost},
};

extern "C" EFI_STATUS EFIAPI BoardAppMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  FirmwareTablesInit(ImageHandle, SystemTable);
  RunNamed("opt/board/job", Jobs, sizeof(Jobs) / sizeof(Jobs[0]));
}
