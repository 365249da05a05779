// The bench's verdict protocol on the console, read by e2e/run.py:
//   BENCH: BEGIN <scenario>
//   BENCH: <key> = <value>            what the scenario observed
//   BENCH: CHECK FAILED: <reason>     one per failed expectation
//   BENCH: PASS <scenario>  or  BENCH: FAIL <scenario>: <first reason>
// then QEMU is ended through isa-debug-exit with the matching code. A stage
// that needs another boot ends with
//   BENCH: REBOOT <scenario>: <why>
// and a cold reset, which ends QEMU under -no-reboot; the runner boots again
// on the same variable store.
#pragma once

#include "Uefi/Base.h"

VOID BenchBegin(const CHAR8 *Scenario);
VOID Observe(const CHAR8 *Key, const CHAR8 *Format, ...) __attribute__((format(printf, 2, 3)));
// Returns Condition, so a scenario can skip checks that depend on it.
bool Expect(bool Condition, const CHAR8 *Format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] VOID BenchFinish();
// Ends the boot with a cold reset, or with the failure when a check failed.
[[noreturn]] VOID BenchReboot(const CHAR8 *Why);
