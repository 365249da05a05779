// UsbConnectorPolicyDxe started late: loaded by OVMF's boot manager as a
// Driver#### option, after End-of-DXE and ready-to-lock, with "USB2_1p"
// switched off. End-of-DXE never reaches it, so ready-to-boot falls back to
// recording the boot-script entries itself, which the firmware refuses from
// then on; it keeps trying at each signal until an entry is accepted, and
// writes the registers at every signal. The boot manager signals ready-to-boot
// once per boot option it tries; this application signals once more.
#include "Console.h"
#include "DriverOptions.h"
#include "Guids.h"
#include "Protocol/S3SaveState.h"
#include "Report.h"
#include "ScenarioSupport.h"
#include "Scenarios.h"

static const CHAR8 *const DisabledConnector = "USB2_1p";
// What switching it off writes: root port 8 is bit 7 of the USB2 register.
#define USB2_REGISTER 0x00000080U
#define USB3_REGISTER 0x00000000U

static VOID Prepare(const CHAR8 *const &Label) {
  if (WriteSetup(SETUP_VARIABLE_SIZE, ConnectorIndex(Label))) {
    RegisterDriversAndReset(POLICY_DRIVER_FILE);
  }
}

static VOID ExpectRegister(const CHAR8 *Name, UINT64 Address, UINT32 Wanted, const CHAR8 *When) {
  const UINT32 Value = *StandInRegister(Address);
  Expect(Value == Wanted, "%s: %s register at 0x%llx is 0x%08x, wanted 0x%08x", When, Name, Address, Value, Wanted);
}

// Every boot-script Write so far was made at ready-to-boot, with the right
// opcode, width, address, count and value; a refused pair is tried again at
// the next signal, an accepted entry never.
static VOID ExpectFallback(const STAND_IN_RECORD &Record, const CHAR8 *When) {
  Observe(When, "%u ready-to-boot signals, End-of-DXE seen %u times; registers 0x%08x / 0x%08x; %u boot-script Writes",
          Record.ReadyToBootSignals, Record.EndOfDxeSignals,
          *StandInRegister(Record.WindowBase + XHCI_USB2_PORT_DISABLE_OFFSET),
          *StandInRegister(Record.WindowBase + XHCI_USB3_PORT_DISABLE_OFFSET), Record.S3WriteCount);
  ExpectRegister("USB2", Record.WindowBase + XHCI_USB2_PORT_DISABLE_OFFSET, USB2_REGISTER, When);
  ExpectRegister("USB3", Record.WindowBase + XHCI_USB3_PORT_DISABLE_OFFSET, USB3_REGISTER, When);
  Expect(Record.EndOfDxeSignals == 0, "%s: End-of-DXE reached a driver loaded as Driver####", When);
  UINT32 Accepted[2] = {};
  for (UINT32 Index = 0; Index < Record.S3WriteCount && Index < STAND_IN_MAX_S3_WRITES; Index++) {
    const STAND_IN_S3_WRITE &Entry = Record.S3Writes[Index];
    const UINT32 Register = Index % 2;
    const UINT64 Address = Record.WindowBase + (Register == 0 ? XHCI_USB2_PORT_DISABLE_OFFSET
                                                              : XHCI_USB3_PORT_DISABLE_OFFSET);
    const UINT64 Value = Register == 0 ? USB2_REGISTER : USB3_REGISTER;
    CHAR8 Key[32];
    FormatString(Key, sizeof(Key), "boot-script Write %u", Index);
    Observe(Key, "at ready-to-boot %u: opcode %llu width %u address 0x%llx count %llu value 0x%llx -> %s",
            Entry.ReadyToBootSignals, Entry.OpCode, Entry.Width, Entry.Address, Entry.Count, Entry.Value,
            StatusName(Entry.Status));
    Expect(Entry.ReadyToBootSignals != 0 && Entry.OpCode == EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE &&
               Entry.Width == EfiBootScriptWidthUint16 && Entry.Address == Address && Entry.Count == 1 &&
               Entry.Value == Value,
           "%s: boot-script Write %u is not the 16-bit write of 0x%llx to 0x%llx at ready-to-boot", When, Index, Value,
           Address);
    Accepted[Register] += Entry.Status == EFI_SUCCESS ? 1 : 0;
  }
  Expect(Accepted[0] <= 1 && Accepted[1] <= 1, "%s: an accepted entry was recorded again", When);
  const UINT32 Wanted = Accepted[0] + Accepted[1] == 0 ? 2 * Record.ReadyToBootSignals : Record.S3WriteCount;
  Expect(Record.S3WriteCount == Wanted, "%s: %u boot-script Writes for %u refused signals, wanted %u", When,
         Record.S3WriteCount, Record.ReadyToBootSignals, Wanted);
}

static VOID EFIAPI IgnoreSignal(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
}

// The group's notify functions run before SignalEvent returns to this
// application's TPL.
static bool SignalReadyToBoot() {
  EFI_EVENT Event = nullptr;
  const EFI_STATUS Status = BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, IgnoreSignal, nullptr,
                                                        &ReadyToBootGroupGuid, &Event);
  if (!Expect(Status == EFI_SUCCESS, "CreateEventEx in the ready-to-boot group: %s", StatusName(Status))) {
    return false;
  }
  BootServices->SignalEvent(Event);
  BootServices->CloseEvent(Event);
  return true;
}

static VOID Check(const CHAR8 *const &Label) {
  (VOID) Label;
  const STAND_IN_RECORD *Record = StandInRecord();
  if (Record == nullptr ||
      !Expect(Record->XhciStandIn && Record->S3SaveStateWrapped, "the stand-in has no controller window (%u) or no "
              "S3 save-state protocol to watch (%u)", Record->XhciStandIn, Record->S3SaveStateWrapped) ||
      !Expect(Record->ReadyToBootSignals >= 1, "no ready-to-boot signal was seen")) {
    return;
  }
  ExpectCapabilitiesPublished();
  ExpectFallback(*Record, "after boot");
  const UINT32 Signals = Record->ReadyToBootSignals;
  FillPortDisableRegisters(Record->WindowBase);
  if (SignalReadyToBoot()) {
    Expect(Record->ReadyToBootSignals == Signals + 1, "%u ready-to-boot signals after one more, had %u",
           Record->ReadyToBootSignals, Signals);
    ExpectFallback(*Record, "after one more signal");
  }
}

VOID LateStartScenario() { RunTwoBoots(DisabledConnector, Prepare, Check); }
