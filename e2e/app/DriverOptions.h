// Two-boot flows: the first boot stores Driver#### load options for
// BenchBoardDxe and the driver under test and resets; OVMF's boot manager
// loads them in the next boot, before it starts this application again.
#pragma once

#include "BenchBoard.h"

#define BENCH_BOARD_FILE u"\\BenchBoardDxe.efi"

extern const EFI_GUID BenchVariableGuid;

// True in the boot that follows RegisterDriversAndReset; the mark is
// consumed, so a further boot starts over.
bool EnterCheckStage();

// Stores Driver0000 for BenchBoardDxe and Driver0001 for DriverFile,
// DriverOrder, and the check-stage mark, then asks for a cold reset. Returns
// only when storing failed.
VOID RegisterDriversAndReset(const CHAR16 *DriverFile);
// The same without load options, for drivers the flash image starts.
VOID MarkCheckStageAndReset(const CHAR8 *Why);

// Prepare in the first boot (it ends in RegisterDriversAndReset), Check in the
// next.
template <typename CASE>
VOID RunTwoBoots(const CASE &Case, VOID (*Prepare)(const CASE &), VOID (*Check)(const CASE &)) {
  if (EnterCheckStage()) {
    Check(Case);
  } else {
    Prepare(Case);
  }
}

// What BenchBoardDxe recorded in this boot; null (and a failed check) when
// the boot manager did not load it.
BENCH_BOARD_RECORD *BenchBoardRecord();
