// UsbConnectorPolicyDxe loaded by OVMF's boot manager as a Driver#### option,
// after BenchBoardDxe: what its ready-to-boot notification did to the xHCI
// port-disable registers, the S3 boot script and the hub protocol, for the
// signals the boot manager sent and one more sent by this application.
#include "BenchBoard.h"
#include "BenchConsole.h"
#include "BenchResult.h"
#include "BenchScenarios.h"
#include "DriverOptions.h"
#include "Guid/EventGroup.h"
#include "ScenarioSupport.h"

#define BOOT_SCRIPT_MEM_WRITE 2
#define BOOT_SCRIPT_WIDTH_UINT16 1

struct READY_TO_BOOT_CASE {
  INTN DisabledConnector;  // NO_CONNECTOR: nothing disabled
  bool Bar64Bit;
  bool BarAbsent;  // BAR0 reads all-ones: nothing may be written or recorded
  UINT32 Usb2Register;  // wanted values when a connector is disabled
  UINT32 Usb3Register;
};

static const READY_TO_BOOT_CASE Usb2OnePortCase = {10, false, false, 0x00000080, 0x00000000};  // "USB2_1p", port 8
static const READY_TO_BOOT_CASE A1Case = {6, true, false, 0x00000004, 0x00000001};  // "A1", ports 3 and 13
static const READY_TO_BOOT_CASE NothingDisabledCase = {NO_CONNECTOR, false, false, 0, 0};
static const READY_TO_BOOT_CASE AbsentControllerCase = {10, false, true, 0, 0};


static VOID Prepare(const READY_TO_BOOT_CASE &Case) {
  const BENCH_BOARD_CONFIG Config = {Case.Bar64Bit ? 1U : 0U, Case.BarAbsent ? 1U : 0U, 0, 0};
  const EFI_STATUS Status =
      gRT->SetVariable(BENCH_BOARD_CONFIG_NAME, &BenchVariableGuid, NV_BS_RT_ATTRIBUTES, sizeof(Config), &Config);
  if (!Expect(Status == EFI_SUCCESS, "storing the bench board configuration: %s", StatusName(Status)) ||
      !WriteSetup(SETUP_SIZE, SETUP_MODE_PER_CONNECTOR, Case.DisabledConnector)) {
    return;
  }
  RegisterDriversAndReset(POLICY_DRIVER_FILE);
}

// Entries from FirstEntry on are the ones this stage added.
static VOID ObserveRecord(const BENCH_BOARD_RECORD &Record, const CHAR8 *When, UINT32 FirstEntry) {
  Observe(When,
          "%u ready-to-boot signals so far; USB2 register 0x%08x, USB3 register 0x%08x; %u boot-script entries; "
          "hub protocol looked up %u times, Apply called %u times",
          Record.ReadyToBootSignals, *BenchRegister(Record.WindowBase + XHCI_USB2_PORT_DISABLE_OFFSET),
          *BenchRegister(Record.WindowBase + XHCI_USB3_PORT_DISABLE_OFFSET), Record.S3WriteCount, Record.HubLookups,
          Record.HubApplyCount);
  for (UINT32 Index = FirstEntry; Index < Record.S3WriteCount && Index < BENCH_MAX_S3_WRITES; Index++) {
    const BENCH_S3_WRITE &Entry = Record.S3Writes[Index];
    CHAR8 Key[32];
    FormatString(Key, sizeof(Key), "boot-script entry %u", Index);
    Observe(Key, "opcode %llu width %u address 0x%llx count %llu value 0x%04llx (firmware answered %s)", Entry.OpCode,
            Entry.Width, Entry.Address, Entry.Count, Entry.Value, StatusName(Entry.Status));
  }
}

static VOID ExpectRegister(const CHAR8 *Name, UINT64 Address, UINT32 Wanted, const CHAR8 *When) {
  const UINT32 Value = *BenchRegister(Address);
  Expect(Value == Wanted, "%s: %s register at 0x%llx is 0x%08x, wanted 0x%08x", When, Name, Address, Value, Wanted);
}

static VOID ExpectPortDisabling(const READY_TO_BOOT_CASE &Case, const BENCH_BOARD_RECORD &Record, const CHAR8 *When,
                                UINT32 FirstNewEntry) {
  ObserveRecord(Record, When, FirstNewEntry);
  // With no controller the ports are still collected and the hub protocol
  // is still asked, but nothing is written or recorded.
  const bool Disables = Case.DisabledConnector != NO_CONNECTOR;
  const bool Writes = Disables && !Case.BarAbsent;
  const UINT64 Usb2 = Record.WindowBase + XHCI_USB2_PORT_DISABLE_OFFSET;
  const UINT64 Usb3 = Record.WindowBase + XHCI_USB3_PORT_DISABLE_OFFSET;
  ExpectRegister("USB2", Usb2, Writes ? Case.Usb2Register : BENCH_REGISTER_SENTINEL, When);
  ExpectRegister("USB3", Usb3, Writes ? Case.Usb3Register : BENCH_REGISTER_SENTINEL, When);
  if (Case.Bar64Bit) {
    // The low dword alone names RAM too: a driver ignoring the high dword
    // would have written there.
    ExpectRegister("USB2 (low-dword alias)", Record.WindowAlias + XHCI_USB2_PORT_DISABLE_OFFSET,
                   BENCH_REGISTER_SENTINEL, When);
    ExpectRegister("USB3 (low-dword alias)", Record.WindowAlias + XHCI_USB3_PORT_DISABLE_OFFSET,
                   BENCH_REGISTER_SENTINEL, When);
  }

  Expect(Record.ReadyToBootSignals >= 1, "%s: no ready-to-boot signal was seen", When);
  const UINT32 WantedEntries = Writes ? 2 * Record.ReadyToBootSignals : 0;
  if (Expect(Record.S3WriteCount == WantedEntries, "%s: %u boot-script entries for %u ready-to-boot signals, wanted %u",
             When, Record.S3WriteCount, Record.ReadyToBootSignals, WantedEntries)) {
    for (UINT32 Index = 0; Index < Record.S3WriteCount && Index < BENCH_MAX_S3_WRITES; Index++) {
      const BENCH_S3_WRITE &Entry = Record.S3Writes[Index];
      const bool SecondOfPair = Index % 2 == 1;
      const UINT64 Address = SecondOfPair ? Usb3 : Usb2;
      const UINT64 Value = SecondOfPair ? Case.Usb3Register : Case.Usb2Register;
      Expect(Entry.OpCode == BOOT_SCRIPT_MEM_WRITE && Entry.Width == BOOT_SCRIPT_WIDTH_UINT16 &&
                 Entry.Address == Address && Entry.Count == 1 && Entry.Value == Value,
             "%s: boot-script entry %u is opcode %llu width %u address 0x%llx count %llu value 0x%llx, wanted "
             "2 1 0x%llx 1 0x%llx",
             When, Index, Entry.OpCode, Entry.Width, Entry.Address, Entry.Count, Entry.Value, Address, Value);
    }
  }
  // Hub masks stay 0 with this board's table: the protocol is looked up on
  // every signal that disables something, and never called.
  const UINT32 WantedLookups = Disables ? Record.ReadyToBootSignals : 0;
  Expect(Record.HubLookups == WantedLookups, "%s: %u hub protocol lookups, wanted %u", When, Record.HubLookups,
         WantedLookups);
  Expect(Record.HubApplyCount == 0, "%s: %u hub Apply calls, wanted none", When, Record.HubApplyCount);
}

static VOID EFIAPI IgnoreSignal(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
}

// The group's notify functions run before SignalEvent returns to this
// application's TPL.
static bool SignalReadyToBoot() {
  EFI_EVENT Event = nullptr;
  const EFI_STATUS Status =
      gBS->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, IgnoreSignal, nullptr, &ReadyToBootGroupGuid, &Event);
  if (!Expect(Status == EFI_SUCCESS, "CreateEventEx in the ready-to-boot group: %s", StatusName(Status))) {
    return false;
  }
  gBS->SignalEvent(Event);
  gBS->CloseEvent(Event);
  return true;
}

static VOID Check(const READY_TO_BOOT_CASE &Case) {
  const BENCH_BOARD_RECORD *Record = BenchBoardRecord();
  if (Record == nullptr) {
    return;
  }
  Observe("BAR0", "low 0x%08x, high 0x%08x: window at 0x%llx", Record->BarLow, Record->BarHigh, Record->WindowBase);
  if (!Expect(Record->XhciStandIn && Record->CalibrationHobInstalled && Record->HubProtocolInstalled,
              "the bench board is incomplete: xHCI stand-in %u, calibration HOB %u, hub protocol %u",
              Record->XhciStandIn, Record->CalibrationHobInstalled, Record->HubProtocolInstalled) ||
      !Expect(!(Case.Bar64Bit || Case.BarAbsent) || Record->HighRamPresent, "no RAM at 4 GiB for the window") ||
      !Expect(Record->S3SaveStateWrapped, "OVMF has no S3 save-state protocol to record boot-script entries")) {
    return;
  }
  // The capability block shows that the boot manager loaded and started the
  // policy driver.
  ExpectCapabilitiesPublished();
  ExpectPortDisabling(Case, *Record, "after boot", 0);

  const UINT32 SignalsAtBoot = Record->ReadyToBootSignals;
  const UINT32 EntriesAtBoot = Record->S3WriteCount;
  BenchFillPortDisableRegisters(Record->WindowBase);
  if (!SignalReadyToBoot()) {
    return;
  }
  Expect(Record->ReadyToBootSignals == SignalsAtBoot + 1,
         "the bench saw %u ready-to-boot signals after one more, had %u", Record->ReadyToBootSignals, SignalsAtBoot);
  ExpectPortDisabling(Case, *Record, "after one more signal", EntriesAtBoot);
}

VOID ReadyToBootUsb2OnePortScenario() { RunTwoBoots(Usb2OnePortCase, Prepare, Check); }

VOID ReadyToBootA1Bar64Scenario() { RunTwoBoots(A1Case, Prepare, Check); }

VOID ReadyToBootNothingDisabledScenario() { RunTwoBoots(NothingDisabledCase, Prepare, Check); }

VOID ReadyToBootAbsentControllerScenario() { RunTwoBoots(AbsentControllerCase, Prepare, Check); }
