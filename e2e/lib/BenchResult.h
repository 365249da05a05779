// The bench's verdict protocol on the console, read by e2e/run.py:
//   BENCH: BEGIN <scenario>
//   BENCH: <key> = <value>            what the scenario observed
//   BENCH: CHECK FAILED: <reason>     one per failed expectation
//   BENCH: PASS <scenario>  or  BENCH: FAIL <scenario>: <first reason>
// then QEMU is ended through isa-debug-exit with the matching code.
#pragma once

#include "Uefi/Base.h"

VOID BenchBegin(const CHAR8 *Scenario);
VOID Observe(const CHAR8 *Key, const CHAR8 *Format, ...) __attribute__((format(printf, 2, 3)));
// Returns Condition, so a scenario can skip checks that depend on it.
bool Expect(bool Condition, const CHAR8 *Format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] VOID BenchFinish();
