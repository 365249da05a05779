// Host side of the hardware seam: every instruction the drivers would run is
// simulated on FakeHardware and checked against what this board allows.
#include "FakeHardware.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "DriverSupportLib.h"
#include "Hardware.h"

FAKE_HARDWARE FakeHardware;

// Far beyond any wait the drivers make; a loop that gets here never ends.
#define PM_TIMER_READ_LIMIT 10000000U
// The board's ACPI PM timer, written here again rather than taken from the
// chipset header: a wrong port there must fail these tests, not move the
// simulated timer along with it.
#define BOARD_PM_TIMER_PORT 0x1808

UINT32 IoRead32(UINT16 Port) {
  if (Port != BOARD_PM_TIMER_PORT) {
    // Once: a wait that polls the wrong port polls it many times.
    if (FakeHardware.UnexpectedPortReads++ == 0) {
      ADD_FAILURE() << "unexpected IoRead32 of port 0x" << std::hex << Port;
    }
    return 0xFFFFFFFFU;
  }
  if (++FakeHardware.PmTimerReads > PM_TIMER_READ_LIMIT) {
    std::fprintf(stderr, "PM timer read %u times: the wait never ends\n", PM_TIMER_READ_LIMIT);
    std::abort();
  }
  if (FakeHardware.InterruptsEnabled) {
    FakeHardware.PmTimerReadsWithInterruptsEnabled++;
  }
  const UINT32 Reading = (FakeHardware.PmTimerCount & PM_TIMER_MASK) | FakeHardware.PmTimerUpperBits;
  if (FakeHardware.PmTimerReads == 1) {
    FakeHardware.PmTimerFirstReading = Reading;
  }
  FakeHardware.PmTimerLastReading = Reading;
  if (FakeHardware.PmTimerReads % FakeHardware.PmTimerReadsPerTick == 0) {
    FakeHardware.PmTimerCount = (FakeHardware.PmTimerCount + FakeHardware.PmTimerStep) & PM_TIMER_MASK;
  }
  return Reading;
}

UINT64 ReadTimeStampCounter() {
  FakeHardware.TimeStampReads++;
  return FakeHardware.TimeStampCounter += 1000;
}

UINT64 ReadRflags() {
  FakeHardware.RflagsReads++;
  // Bit 1 of RFLAGS always reads as 1.
  return 0x2 | (FakeHardware.InterruptsEnabled ? RFLAGS_INTERRUPT_ENABLE : 0);
}

VOID EnableInterrupts() {
  FakeHardware.InterruptFlagWrites++;
  FakeHardware.InterruptsEnabled = true;
}

VOID DisableInterrupts() {
  FakeHardware.InterruptFlagWrites++;
  FakeHardware.InterruptsEnabled = false;
}

VOID CpuPause() { FakeHardware.Pauses++; }

UINT32 MmioRead32(UINTN Address) {
  const auto Register = FakeHardware.Mmio.find(Address);
  if (Register == FakeHardware.Mmio.end()) {
    ADD_FAILURE() << "unexpected MmioRead32 of 0x" << std::hex << Address;
    return 0;
  }
  FakeHardware.MmioLog.push_back({false, Address, 32, Register->second});
  return Register->second;
}

VOID MmioWrite32(UINTN Address, UINT32 Value) {
  FakeHardware.MmioLog.push_back({true, Address, 32, Value});
  FakeHardware.Mmio[Address] = Value;
}
