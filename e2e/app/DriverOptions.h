// Two-boot flows: the first boot stores Driver#### load options for bench
// and driver images on the boot volume and resets; OVMF's boot manager loads
// them in the next boot, before it starts this application again.
#pragma once

#include "BenchBoard.h"

#define BENCH_BOARD_FILE u"\\BenchBoardDxe.efi"

// True in the boot that follows RegisterDriversAndReset; the mark is
// consumed, so a further boot starts over.
bool EnterCheckStage();

// Stores Driver0000.. for Files in order, DriverOrder, and the check-stage
// mark, then asks for a cold reset. Returns only when storing failed.
VOID RegisterDriversAndReset(const CHAR16 *const *Files, UINTN Count);

// What BenchBoardDxe recorded in this boot; null (and a failed check) when
// the boot manager did not load it.
BENCH_BOARD_RECORD *BenchBoardRecord();
