// The start-up calibration window of UsbConnectorPolicyDxe: skipped when the
// calibration HOB is present, run against a live PM timer otherwise.
#include "Console.h"
#include "QemuPlatform.h"
#include "Report.h"
#include "Scenarios.h"
#include "Hardware.h"
#include "HobListCopy.h"
#include "PortAccessTrace.h"
#include "ScenarioSupport.h"

#define CALIBRATION_TICKS 364U
#define RFLAGS_IF 0x200U

static bool ExpectFirmwareHasNoCalibrationHob() {
  const UINT8 *List = FirmwareHobList();
  return Expect(List != nullptr, "no HOB list in the configuration table") &&
         Expect(!HobListHasCalibrationHob(List), "OVMF's own HOB list already holds the calibration HOB");
}

// A Setup that enables everything, no calibration HOB from OVMF, and the
// drivers' timer port reading all-ones as a dead timer does.
static bool PrepareWithDeadTimer() {
  if (!ExpectFirmwareHasNoCalibrationHob() || !WriteSetup(SETUP_VARIABLE_SIZE, NO_CONNECTOR)) {
    return false;
  }
  const UINT32 DeadPort = IoRead32(PM_TIMER_PORT);
  Observe("port 0x1808 reads", "0x%08x", DeadPort);
  return Expect(DeadPort == 0xFFFFFFFFU, "port 0x1808 reads 0x%08x, not a dead timer", DeadPort);
}

// Port 0x1808 is dead on this machine: the I/O breakpoint shows that the
// driver never read it, so the HOB made it skip the window.
VOID CalibrationHobScenario() {
  if (!PrepareWithDeadTimer()) {
    return;
  }
  EFI_HANDLE Image = LoadFromBootVolume(POLICY_DRIVER_FILE);
  if (Image == nullptr) {
    return;
  }
  StartPortAccessTrace(PM_TIMER_PORT);
  const DRIVER_START Start = StartWithCalibrationHob(Image);
  const PORT_ACCESS_TRACE Trace = StopPortAccessTrace();
  ObserveStart(Start);
  Observe("driver accesses to port 0x1808", "%llu", Trace.Count);
  Expect(Start.Status == EFI_SUCCESS, "StartImage gave %s, wanted EFI_SUCCESS", StatusName(Start.Status));
  Expect(Trace.Count == 0, "the driver accessed port 0x1808 %llu times with the calibration HOB present", Trace.Count);
  ExpectCapabilitiesPublished();
}

static VOID MovePmBlock(UINT32 Pmba) {
  PciWrite32(PIIX4_PM_BUS, PIIX4_PM_DEVICE, PIIX4_PM_FUNCTION, PIIX4_PMBA_OFFSET, Pmba);
}

// The PM timer is moved to the board's port while the driver runs only:
// OVMF's own delay code keeps reading the old port.
static VOID RunCalibrationWindow(bool InterruptsMasked) {
  if (!ExpectFirmwareHasNoCalibrationHob() || !WriteSetup(SETUP_VARIABLE_SIZE, NO_CONNECTOR)) {
    return;
  }
  EFI_HANDLE Image = LoadFromBootVolume(POLICY_DRIVER_FILE);
  if (Image == nullptr) {
    return;
  }
  // With interrupts masked, the driver is entered directly: OVMF's StartImage
  // would turn them back on before the image's first instruction.
  EFI_IMAGE_ENTRY_POINT DirectEntry = nullptr;
  if (InterruptsMasked) {
    DirectEntry = ImageEntryPoint(Image);
    if (!Expect(DirectEntry != nullptr, "no entry point found in the loaded driver image")) {
      return;
    }
  }
  const UINT32 FirmwarePmba = PciRead32(PIIX4_PM_BUS, PIIX4_PM_DEVICE, PIIX4_PM_FUNCTION, PIIX4_PMBA_OFFSET);
  const UINT32 BoardPmba = (PM_TIMER_PORT - PM_TIMER_OFFSET) | PIIX4_PMBA_IO_SPACE;

  if (InterruptsMasked) {
    DisableInterrupts();
  }
  const UINT64 FlagsBefore = ReadRflags();
  MovePmBlock(BoardPmba);
  const UINT32 Before = IoRead32(PM_TIMER_PORT);
  StartPortAccessTrace(PM_TIMER_PORT);
  const DRIVER_START Start = StartCounted(Image, DirectEntry);
  const PORT_ACCESS_TRACE Trace = StopPortAccessTrace();
  const UINT32 After = IoRead32(PM_TIMER_PORT);
  const UINT64 FlagsAfter = ReadRflags();
  MovePmBlock(FirmwarePmba);
  if (InterruptsMasked) {
    EnableInterrupts();
  }

  const UINT32 Elapsed = (After - Before) & PM_TIMER_MASK;
  // The driver's own readings: the start value and the last two polls.
  const UINT32 WindowStart = Trace.First & PM_TIMER_MASK;
  const UINT32 WaitedLast = (Trace.Last - WindowStart) & PM_TIMER_MASK;
  const UINT32 WaitedPrevious = (Trace.Previous - WindowStart) & PM_TIMER_MASK;
  const UINT32 IfBefore = (FlagsBefore & RFLAGS_IF) != 0 ? 1 : 0;
  const UINT32 IfAtFirstCall = (Start.FirstServiceRflags & RFLAGS_IF) != 0 ? 1 : 0;
  const UINT32 IfAfter = (FlagsAfter & RFLAGS_IF) != 0 ? 1 : 0;
  Observe("driver entered through", "%s", InterruptsMasked ? "its PE entry point" : "StartImage");
  Observe("PIIX4 PMBA", "0x%08x while the driver ran, 0x%08x restored", BoardPmba, FirmwarePmba);
  Observe("PM timer at 0x1808", "%u ticks from the start to the driver's return", Elapsed);
  Observe("driver reads of 0x1808", "%llu: first 0x%06x, last two %u and %u ticks after it", Trace.Count, WindowStart,
          WaitedPrevious, WaitedLast);
  Observe("interrupt flag", "%u before the start, %u at the driver's first service call, %u after it returned",
          IfBefore, IfAtFirstCall, IfAfter);
  ObserveStart(Start);
  Expect((Before & ~PM_TIMER_MASK) == 0 && Before != After, "no live PM timer at 0x1808 after moving PMBA");
  Expect(Elapsed >= CALIBRATION_TICKS, "the driver returned %u PM timer ticks after its start, fewer than %u", Elapsed,
         CALIBRATION_TICKS);
  // Under TCG the firmware around the driver takes far longer than the
  // window itself, so only the driver's own readings show that it waited
  // for the timer and stopped at the first reading past the window.
  if (Expect(Trace.Count >= 2, "the driver read port 0x1808 %llu times, wanted a start reading and polls",
             Trace.Count)) {
    Expect(WaitedLast >= CALIBRATION_TICKS, "the driver stopped polling %u ticks after its start reading, before %u",
           WaitedLast, CALIBRATION_TICKS);
    Expect(WaitedPrevious < CALIBRATION_TICKS, "the driver went on polling %u ticks after its start reading",
           WaitedPrevious);
  }
  // The driver's first service call follows the window directly, before any
  // firmware code could touch the flag.
  Expect(Start.ServiceCalled && IfAtFirstCall == IfBefore,
         "interrupt flag %u at the driver's first service call, %u when it was started", IfAtFirstCall, IfBefore);
  // The driver's own later service calls (GetVariable, SetVariable) come back
  // with interrupts enabled, so only the enabled case can be held to the same
  // flag after the driver returns.
  if (!InterruptsMasked) {
    Expect(IfAfter == IfBefore, "interrupt flag %u after the driver returned, %u before", IfAfter, IfBefore);
  }
  Expect(Start.Status == EFI_SUCCESS, "driver returned %s, wanted EFI_SUCCESS", StatusName(Start.Status));
  ExpectCapabilitiesPublished();
}

VOID CalibrationWindowScenario() { RunCalibrationWindow(false); }

// Port 0x1808 reads all-ones on this machine, a timer that never ticks.
// Without the calibration HOB both drivers give up on it and go on: the
// policy driver publishes its capabilities, SaSetupResetDxe returns.
VOID CalibrationDeadTimerScenario() {
  if (!PrepareWithDeadTimer()) {
    return;
  }
  // OVMF's own PM timer, which ticks, measures how long each driver took.
  const UINT16 FirmwareTimer = (UINT16)((PciRead32(PIIX4_PM_BUS, PIIX4_PM_DEVICE, PIIX4_PM_FUNCTION,
                                                   PIIX4_PMBA_OFFSET) & ~PIIX4_PMBA_IO_SPACE) + PM_TIMER_OFFSET);
  static const CHAR16 *const Drivers[] = {POLICY_DRIVER_FILE, SA_SETUP_RESET_FILE};
  for (const CHAR16 *File : Drivers) {
    CHAR8 Name[48];
    AsciiFromText(File + 1, Name, sizeof(Name));
    EFI_HANDLE Image = LoadFromBootVolume(File);
    if (Image == nullptr) {
      return;
    }
    const UINT32 Before = IoRead32(FirmwareTimer);
    const DRIVER_START Start = StartCounted(Image);
    const UINT32 Ticks = (IoRead32(FirmwareTimer) - Before) & PM_TIMER_MASK;
    Observe(Name, "returned %s after %u PM timer ticks (%u ms); interrupt flag %u at its first service call",
            StatusName(Start.Status), Ticks, Ticks / 3580, (UINT32)((Start.FirstServiceRflags & RFLAGS_IF) != 0));
    Expect(Start.Status == EFI_SUCCESS, "%s returned %s, wanted EFI_SUCCESS", Name, StatusName(Start.Status));
    Expect(Start.ServiceCalled && (Start.FirstServiceRflags & RFLAGS_IF) != 0,
           "%s left interrupts masked after giving up on the timer", Name);
  }
  ExpectCapabilitiesPublished();
}

VOID CalibrationWindowMaskedScenario() { RunCalibrationWindow(true); }
