// The line protocol on the console that the host reads (tools/road.py,
// tools/boot_cost.py and the runner of the OVMF scenarios):
//   BOARD: BEGIN <scenario>
//   BOARD: <key> = <value>            what the scenario observed
//   BOARD: CHECK FAILED: <reason>     one per failed expectation
//   BOARD: PASS <scenario>  or  BOARD: FAIL <scenario>: <first reason>
// then QEMU is ended through isa-debug-exit with the matching code. A stage
// that needs another boot ends with
//   BOARD: REBOOT <scenario>: <why>
// and a cold reset, which ends QEMU under -no-reboot; the runner boots again
// on the same variable store.
#pragma once

#include "Uefi/Base.h"

VOID ReportBegin(const CHAR8 *Scenario);
VOID Observe(const CHAR8 *Key, const CHAR8 *Format, ...) __attribute__((format(printf, 2, 3)));
// Returns Condition, so a scenario can skip checks that depend on it.
bool Expect(bool Condition, const CHAR8 *Format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] VOID ReportFinish();
// Ends the boot with a cold reset, or with the failure when a check failed.
[[noreturn]] VOID ReportReboot(const CHAR8 *Why);

// One of the runs a boot application offers, chosen by name.
struct NAMED_RUN {
  const CHAR8 *Name;
  VOID (*Run)();
};

// Runs the entry of Runs that the fw_cfg file FwCfgFile names, between
// ReportBegin and ReportFinish; an unknown or missing name fails the boot.
[[noreturn]] VOID RunNamed(const CHAR8 *FwCfgFile, const NAMED_RUN *Runs, UINTN Count);
