// Simulated processor and chipset behind support/Hardware.h: a PM timer that
// advances on every read, the interrupt flag, the time-stamp counter and an
// MMIO space that records every access.
#pragma once

#include <map>
#include <vector>

#include "Chipset.h"

struct FAKE_MMIO_ACCESS {
  bool Write;
  UINTN Address;
  UINT32 WidthBits;
  UINT32 Value;
  bool operator==(const FAKE_MMIO_ACCESS &Other) const {
    return Write == Other.Write && Address == Other.Address && WidthBits == Other.WidthBits && Value == Other.Value;
  }
};

struct FAKE_HARDWARE {
  // PM timer: each read returns the 24-bit count ORed with UpperBits; every
  // ReadsPerTick reads the count advances by Step (wrapping at 24 bits).
  UINT32 PmTimerCount = 0;
  UINT32 PmTimerUpperBits = 0;
  UINT32 PmTimerStep = 1;
  UINT32 PmTimerReadsPerTick = 1;
  UINTN PmTimerReads = 0;
  UINT32 PmTimerFirstReading = 0;
  UINT32 PmTimerLastReading = 0;
  UINTN PmTimerReadsWithInterruptsEnabled = 0;
  // Reads of any other port, which float high as on the board.
  UINTN UnexpectedPortReads = 0;

  bool InterruptsEnabled = true;
  UINTN InterruptFlagWrites = 0;  // EnableInterrupts and DisableInterrupts calls
  UINTN RflagsReads = 0;

  UINT64 TimeStampCounter = 0x1000;
  UINTN TimeStampReads = 0;
  UINTN Pauses = 0;

  // Reads of an address not preloaded here fail the test.
  std::map<UINTN, UINT32> Mmio;
  std::vector<FAKE_MMIO_ACCESS> MmioLog;
};

extern FAKE_HARDWARE FakeHardware;
