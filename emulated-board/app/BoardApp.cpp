// Boot application of the emulated board: started by OVMF as
// \EFI\BOOT\BOOTX64.EFI, it runs the job the host named in fw_cfg and ends
// QEMU with the outcome (see Report.h).
#include "BoardApp.h"

#include "Console.h"
#include "QemuPlatform.h"
#include "Report.h"

#define JOB_FW_CFG_FILE "opt/board/job"
#define JOB_NAME_SIZE 16

struct JOB {
  const CHAR8 *Name;
  VOID (*Run)();
};

static const JOB Jobs[] = {
    {"road", RunRoad},
    {"boot-cost", MeasureBootCost},
};

extern "C" EFI_STATUS EFIAPI BoardAppMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  FirmwareTablesInit(ImageHandle, SystemTable);
  // The host's timeout bounds the run; the firmware's five-minute watchdog
  // would only add a second, slower one.
  (VOID) gBS->SetWatchdogTimer(0, 0, 0, nullptr);

  static CHAR8 Name[JOB_NAME_SIZE];
  if (!FwCfgReadFile(JOB_FW_CFG_FILE, Name, sizeof(Name))) {
    ReportBegin("none");
    Expect(false, "QEMU gave no fw_cfg file %s", JOB_FW_CFG_FILE);
    ReportFinish();
  }
  ReportBegin(Name);
  for (const JOB &Job : Jobs) {
    if (AsciiEqual(Job.Name, Name)) {
      Job.Run();
      ReportFinish();
    }
  }
  Expect(false, "no job named %s", Name);
  ReportFinish();
}
