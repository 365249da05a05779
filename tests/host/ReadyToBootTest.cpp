// UsbConnectorPolicyDxe at End-of-DXE and ready-to-boot: which connectors
// reach the S3 boot script, the xHCI port-disable registers and the hub
// protocol, how the controller's BAR is read, ready-to-boot recording what
// End-of-DXE could not, repeated signals and failing firmware. Every case is
// driven by signalling the two event groups.
#include <cstdarg>
#include <cstdio>
#include <optional>

#include "UsbConnectorPolicyTest.h"

// A 32-bit prefetchable memory BAR: its next dword is not preloaded, so
// reading it fails the test.
#define DEFAULT_BAR 0xFEB40008U
#define DEFAULT_BASE 0xFEB40000ULL
#define CONNECTOR_USB2_1P 10

static std::string Format(const char *Pattern, ...) __attribute__((format(printf, 1, 2)));
static std::string Format(const char *Pattern, ...) {
  char Text[128];
  va_list List;
  va_start(List, Pattern);
  std::vsnprintf(Text, sizeof(Text), Pattern, List);
  va_end(List);
  return Text;
}

// What the hardware, the boot script and the hub saw, as lines that print
// readably when a test fails. The hardware seam has only 32-bit accesses.
static std::string Access(bool Write, UINT64 Address, UINT32 Value) {
  return Format("%s 0x%llX 0x%X", Write ? "W32" : "R32", static_cast<unsigned long long>(Address), Value);
}

static std::string ScriptEntry(UINTN OpCode, UINT32 Width, UINT64 Address, UINTN Count, UINT64 Value) {
  return Format("Write(%llu, %u, 0x%llX, %llu, 0x%llX)", static_cast<unsigned long long>(OpCode), Width,
                static_cast<unsigned long long>(Address), static_cast<unsigned long long>(Count),
                static_cast<unsigned long long>(Value));
}

static std::vector<std::string> MmioAccesses() {
  std::vector<std::string> Lines;
  for (const FAKE_MMIO_ACCESS &Entry : FakeHardware.MmioLog) {
    Lines.push_back(Access(Entry.Write, Entry.Address, Entry.Value));
  }
  return Lines;
}

// Each entry's value is what its buffer held at the call, read little-endian.
static std::vector<std::string> BootScriptEntries() {
  std::vector<std::string> Lines;
  for (const FAKE_BOOT_SCRIPT_WRITE &Entry : FakeFirmware::Current->BootScript) {
    UINT64 Value = 0;
    for (size_t Index = Entry.Bytes.size(); Index-- > 0;) {
      Value = Value << 8 | Entry.Bytes[Index];
    }
    Lines.push_back(ScriptEntry(Entry.OpCode, Entry.Width, Entry.Address, Entry.Count, Value));
  }
  return Lines;
}

// The call's arguments, then the protocol's members as they were during it.
static std::vector<std::string> HubApplies() {
  std::vector<std::string> Lines;
  for (const FAKE_HUB_APPLY &Apply : FakeFirmware::Current->HubApplies) {
    Lines.push_back(Format("Apply(%u, 0x%X, %u) Usb2Port=%u Usb3Port=%u", Apply.Usb3Port, Apply.PassBit, Apply.Usb2Port,
                           Apply.MemberUsb2Port, Apply.MemberUsb3Port));
  }
  return Lines;
}

// One notify that writes, at the default BAR.
static std::vector<std::string> DefaultBarWrites(UINT32 Usb2, UINT32 Usb3) {
  return {Access(false, XHCI_BAR0_LOW, DEFAULT_BAR), Access(true, DEFAULT_BASE + USB2_PORT_DISABLE, Usb2),
          Access(true, DEFAULT_BASE + USB3_PORT_DISABLE, Usb3)};
}

// 16-bit memory writes, unlike the 32-bit ones done at boot.
static std::vector<std::string> ScriptPair(UINT64 Base, UINT16 Usb2, UINT16 Usb3) {
  return {ScriptEntry(EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE, EfiBootScriptWidthUint16, Base + USB2_PORT_DISABLE, 1, Usb2),
          ScriptEntry(EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE, EfiBootScriptWidthUint16, Base + USB3_PORT_DISABLE, 1, Usb3)};
}

static const std::vector<std::string> NoLines;

class ReadyToBootTest : public UsbConnectorPolicyTest {
 protected:
  // Loads the driver with Setup in per-connector mode, connector k off when
  // bit k of DisabledConnectors is set, and the controller's BAR at
  // DEFAULT_BAR. Afterwards the call log holds only what ready-to-boot does.
  void Load(UINT32 DisabledConnectors, bool S3Present = true, bool HubPresent = true) {
    if (S3Present) {
      Fake->InstallProtocol(nullptr, Guids::S3SaveState, &Fake->S3SaveStateProtocol);
    }
    Fake->InstallProtocol(nullptr, Guids::DevicePathToText, &Fake->DevicePathToTextProtocol);
    if (HubPresent) {
      Fake->InstallProtocol(nullptr, Guids::HubPortDisable, &Fake->HubPortDisableProtocol);
    }
    std::array<UINT8, CONNECTOR_COUNT> Enable = AllEnabled;
    for (UINTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
      Enable[Connector] = (DisabledConnectors >> Connector & 1) != 0 ? 0 : 1;
    }
    PutSetup(USB_CONNECTOR_CONTROL_PER_CONNECTOR, Enable);
    FakeHardware.Mmio[XHCI_BAR0_LOW] = DEFAULT_BAR;
    EXPECT_EQ(RunEntry(), EFI_SUCCESS);
    Fake->CallLog.clear();
  }

  // The board names no hub port; these tests point a record at some.
  void SetPorts(UINTN Connector, const std::array<UINTN, PORTS_PER_CONNECTOR> &Ports) {
    std::copy(Ports.begin(), Ports.end(), ConnectorRecords[Connector].PortNumber);
  }

  void SignalReadyToBoot() { Fake->SignalEventGroup(Guids::ReadyToBoot); }
  void SignalEndOfDxe() { Fake->SignalEventGroup(Guids::EndOfDxe); }
};

static std::string BarRead() { return Access(false, XHCI_BAR0_LOW, DEFAULT_BAR); }

struct CONNECTOR_CASE {
  const char *Name;
  UINT32 DisabledConnectors;  // bit k: Setup switches connector k off
  INT32 NotAllowed;           // connector whose DisableAllowed is cleared, or -1
  bool Writes;
  UINT16 Usb2;
  UINT16 Usb3;
  // USB2_1p's record rewired to these ports, for wiring the board lacks.
  std::optional<std::array<UINTN, PORTS_PER_CONNECTOR>> Usb2_1pPorts = std::nullopt;
};

static const CONNECTOR_CASE ConnectorCases[] = {
    {"nothing disabled", 0, -1, false, 0, 0},
    {"connector 10 (root port 8)", 1U << 10, -1, true, 0x0080, 0x0000},
    {"connector 6 (root ports 3 and 13)", 1U << 6, -1, true, 0x0004, 0x0001},
    {"connector 0 (port 15 has no action)", 1U << 0, -1, true, 0x0001, 0x0000},
    {"connectors 1-4 (hub ports without action)", 0x1E, -1, false, 0, 0},
    {"every connector", 0x7FF, -1, true, 0x00BF, 0x0003},
    {"connector 10 off but not allowed", 1U << 10, 10, false, 0, 0},
    {"a connector on USB3 root port 14 alone", 1U << 10, -1, true, 0x0000, 0x0002, {{14, PORT_NONE, PORT_NONE}}},
};

TEST_F(ReadyToBootTest, DisabledConnectorsReachBootScriptThenRegisters) {
  // Guards against wrong bits or registers, a skipped USB3 write, 32-bit or unordered boot-script
  // entries, a register write at End-of-DXE or an entry recorded again at ready-to-boot, ignoring
  // DisableAllowed, touching anything when there is nothing to disable, and taking a USB3 root
  // port alone for nothing to record.
  for (const CONNECTOR_CASE &Case : ConnectorCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    Load(Case.DisabledConnectors);
    if (Case.NotAllowed >= 0) {
      ConnectorRecords[Case.NotAllowed].DisableAllowed = 0;
    }
    if (Case.Usb2_1pPorts.has_value()) {
      SetPorts(CONNECTOR_USB2_1P, *Case.Usb2_1pPorts);
    }
    // Signalled twice, it records once.
    SignalEndOfDxe();
    SignalEndOfDxe();
    const std::vector<std::string> BarReads = {BarRead(), BarRead()};
    EXPECT_EQ(MmioAccesses(), Case.Writes ? BarReads : NoLines) << "no write at End-of-DXE";
    EXPECT_EQ(BootScriptEntries(), Case.Writes ? ScriptPair(DEFAULT_BASE, Case.Usb2, Case.Usb3) : NoLines);
    const std::vector<std::string> TwoWrites = {"Write", "Write"};
    EXPECT_EQ(Fake->CallLog, Case.Writes ? TwoWrites : NoLines);
    FakeHardware.MmioLog.clear();
    Fake->CallLog.clear();

    SignalReadyToBoot();
    if (!Case.Writes) {
      EXPECT_EQ(MmioAccesses(), NoLines);
      EXPECT_EQ(BootScriptEntries(), NoLines);
      EXPECT_EQ(Fake->CallLog, NoLines) << "no boot-script entry and no hub protocol lookup";
      continue;
    }
    EXPECT_EQ(MmioAccesses(), DefaultBarWrites(Case.Usb2, Case.Usb3));
    EXPECT_EQ(BootScriptEntries(), ScriptPair(DEFAULT_BASE, Case.Usb2, Case.Usb3)) << "recorded once";
    EXPECT_EQ(Fake->CallLog, std::vector<std::string>{"LocateProtocol(HubPortDisable)"})
        << "the hub is looked up; with no hub port disabled it is not called";
    EXPECT_EQ(HubApplies(), NoLines);
  }
}

struct BAR_CASE {
  const char *Name;
  UINT32 Low;
  std::optional<UINT32> High;  // preloaded, and expected to be read, only for a 64-bit BAR
  UINT64 Base;                 // 0: no register window, so nothing is written or recorded
  std::optional<UINT32> LowAtEndOfDxe = std::nullopt;  // BAR0 then, when not yet Low: 32 bits naming no window
};

static const BAR_CASE BarCases[] = {
    {"64-bit, non-prefetchable", 0xFE100004, 0x00000040, 0x40FE100000ULL},
    {"64-bit, prefetchable, upper half 0", 0xFE10000C, 0, 0xFE100000ULL},
    {"32-bit", 0xFEB40000, std::nullopt, 0xFEB40000ULL},
    {"below 1 MiB (type 01b)", 0x000E0002, std::nullopt, 0x000E0000ULL},
    {"reserved type 11b", 0xFEB4000E, std::nullopt, 0xFEB40000ULL},
    {"absent function reads all-ones", 0xFFFFFFFF, std::nullopt, 0},
    {"unassigned 32-bit BAR", 0x00000000, std::nullopt, 0},
    {"unassigned 64-bit BAR", 0x0000000C, 0, 0},
    {"I/O BAR", 0x0000E001, std::nullopt, 0},
    // Nothing to record through at End-of-DXE: ready-to-boot records, through the BAR it reads.
    {"unassigned at End-of-DXE, assigned by ready-to-boot", 0xFEB40000, std::nullopt, 0xFEB40000ULL, 0x00000000},
    {"all-ones at End-of-DXE, a 64-bit BAR by ready-to-boot", 0xFE100004, 0x00000040, 0x40FE100000ULL, 0xFFFFFFFF},
};

TEST_F(ReadyToBootTest, MmioBaseComesFromBar0) {
  // Guards against ignoring the upper dword of a 64-bit BAR, reading it for any other BAR type,
  // keeping the BAR's flag bits in the base, writing through, or recording for every resume, a
  // BAR that names no register window, at End-of-DXE or at ready-to-boot, and taking entries that
  // End-of-DXE could not record for recorded. The hub step runs either way.
  for (const BAR_CASE &Case : BarCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    Load(1U << CONNECTOR_USB2_1P);
    const UINT32 LowAtEndOfDxe = Case.LowAtEndOfDxe.value_or(Case.Low);
    std::vector<std::string> Reads = {Access(false, XHCI_BAR0_LOW, Case.Low)};
    if (Case.High.has_value()) {
      FakeHardware.Mmio[XHCI_BAR0_HIGH] = *Case.High;
      Reads.push_back(Access(false, XHCI_BAR0_HIGH, *Case.High));
    }
    std::vector<std::string> Expected =
        Case.LowAtEndOfDxe.has_value() ? std::vector<std::string>{Access(false, XHCI_BAR0_LOW, LowAtEndOfDxe)} : Reads;
    Expected.insert(Expected.end(), Reads.begin(), Reads.end());
    if (Case.Base != 0) {
      Expected.push_back(Access(true, Case.Base + USB2_PORT_DISABLE, 0x80));
      Expected.push_back(Access(true, Case.Base + USB3_PORT_DISABLE, 0));
    }
    FakeHardware.Mmio[XHCI_BAR0_LOW] = LowAtEndOfDxe;
    SignalEndOfDxe();
    FakeHardware.Mmio[XHCI_BAR0_LOW] = Case.Low;
    SignalReadyToBoot();
    EXPECT_EQ(MmioAccesses(), Expected);
    EXPECT_EQ(BootScriptEntries(), Case.Base != 0 ? ScriptPair(Case.Base, 0x80, 0) : NoLines);
    EXPECT_EQ(Fake->CallLog.back(), "LocateProtocol(HubPortDisable)");
  }
}

struct HUB_CASE {
  const char *Name;
  std::array<UINTN, PORTS_PER_CONNECTOR> Ports;
  std::vector<std::string> Applies;
};

// The protocol's members start at 3, as an earlier user may have left them.
static const HUB_CASE HubCases[] = {
    {"ports 38 and 43",
     {38, 43, PORT_NONE},
     {"Apply(0, 0x1, 1) Usb2Port=1 Usb3Port=3", "Apply(2, 0x2, 0) Usb2Port=1 Usb3Port=2"}},
    {"ports 41 and 45 share pass 4", {41, 45, PORT_NONE}, {"Apply(4, 0x8, 4) Usb2Port=4 Usb3Port=4"}},
    {"ports 39, 40 and 42",
     {39, 40, 42},
     {"Apply(1, 0x1, 0) Usb2Port=3 Usb3Port=1", "Apply(0, 0x2, 2) Usb2Port=2 Usb3Port=1",
      "Apply(0, 0x4, 3) Usb2Port=3 Usb3Port=1"}},
};

TEST_F(ReadyToBootTest, HubPortsAreAppliedPassByPass) {
  // Guards against swapped Apply arguments, a wrong pass bit, calls for empty passes, clearing a
  // port member whose bit is clear in the current pass, and recording zero-valued boot-script
  // entries, at End-of-DXE or at ready-to-boot, when only hub ports are off.
  for (const HUB_CASE &Case : HubCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    Load(1U << CONNECTOR_USB2_1P);
    SetPorts(CONNECTOR_USB2_1P, Case.Ports);
    Fake->HubPortDisableProtocol.Usb2Port = 3;
    Fake->HubPortDisableProtocol.Usb3Port = 3;
    SignalEndOfDxe();
    SignalReadyToBoot();
    EXPECT_EQ(HubApplies(), Case.Applies);
    // Hub masks alone still rewrite both registers, with zeros, but the boot script holds only
    // root-port writes.
    EXPECT_EQ(MmioAccesses(), DefaultBarWrites(0, 0));
    EXPECT_EQ(BootScriptEntries(), NoLines);
  }
}

TEST_F(ReadyToBootTest, EachSignalRepeatsTheSameWorkButRecordsOnce) {
  // Guards against clearing or shifting the masks after a boot attempt, doing nothing on the next
  // one, and adding the same boot-script entries again on every attempt.
  Load(1U << 6);
  SetPorts(6, {3, 13, 43});
  SignalReadyToBoot();
  const std::vector<std::string> FirstAccesses = MmioAccesses();
  const std::vector<std::string> FirstApplies = HubApplies();
  ASSERT_EQ(FirstAccesses, DefaultBarWrites(0x4, 0x1));
  ASSERT_EQ(FirstApplies, std::vector<std::string>{"Apply(2, 0x2, 0) Usb2Port=0 Usb3Port=2"});

  SignalReadyToBoot();
  const auto Twice = [](const std::vector<std::string> &Once) {
    std::vector<std::string> Lines = Once;
    Lines.insert(Lines.end(), Once.begin(), Once.end());
    return Lines;
  };
  EXPECT_EQ(MmioAccesses(), Twice(FirstAccesses));
  EXPECT_EQ(BootScriptEntries(), ScriptPair(DEFAULT_BASE, 0x4, 0x1));
  EXPECT_EQ(HubApplies(), Twice(FirstApplies));
  EXPECT_EQ(PortDisableMasks[Usb2PortMask], 0x4);
  EXPECT_EQ(PortDisableMasks[Usb3PortMask], 0x1);
  EXPECT_EQ(PortDisableMasks[HubUsb2PortMask], 0);
  EXPECT_EQ(PortDisableMasks[HubUsb3PortMask], 0x2);
}

enum HUB_STATE { HubAbsent, HubInstalled, HubNullInterface, HubNullApply };
enum S3_STATE { S3AtLoad, S3Absent, S3AfterLoad, S3AfterEndOfDxe };

struct FAULT_CASE {
  const char *Name;
  bool EndOfDxe;  // signalled before ready-to-boot; false: the driver started after it
  S3_STATE S3;
  HUB_STATE Hub;
  const char *FailingService;  // its Nth call fails; null for none
  unsigned Nth;
  bool Writes;                     // registers written at ready-to-boot
  std::vector<std::string> Calls;  // End-of-DXE's calls, then ReadyToBootMark and ready-to-boot's
  std::vector<std::string> Script;
  std::vector<std::string> Applies;
};

static const std::string ReadyToBootMark = "-- ready-to-boot --";
static const std::string HubLookup = "LocateProtocol(HubPortDisable)";
static const std::string S3Lookup = "LocateProtocol(S3SaveState)";
static const std::string HubApply = "Apply(0, 0x1, 1) Usb2Port=1 Usb3Port=0";
static const std::vector<std::string> Usb10Script = ScriptPair(DEFAULT_BASE, 0x80, 0);

// Connector 10 off, with hub USB2 port 1 added to it.
static const FAULT_CASE FaultCases[] = {
    {"End-of-DXE records, ready-to-boot writes", true, S3AtLoad, HubInstalled, nullptr, 0, true,
     {"Write", "Write", ReadyToBootMark, HubLookup, "Apply"}, Usb10Script, {HubApply}},
    {"started after End-of-DXE: ready-to-boot records", false, S3AtLoad, HubInstalled, nullptr, 0, true,
     {ReadyToBootMark, "Write", "Write", HubLookup, "Apply"}, Usb10Script, {HubApply}},
    {"no S3 save-state protocol", true, S3Absent, HubInstalled, nullptr, 0, true,
     {S3Lookup, ReadyToBootMark, S3Lookup, HubLookup, "Apply"}, {}, {HubApply}},
    {"S3 save-state installed after load", true, S3AfterLoad, HubInstalled, nullptr, 0, true,
     {S3Lookup, "Write", "Write", ReadyToBootMark, HubLookup, "Apply"}, Usb10Script, {HubApply}},
    {"S3 save-state installed after End-of-DXE: ready-to-boot records", true, S3AfterEndOfDxe, HubInstalled, nullptr,
     0, true, {S3Lookup, ReadyToBootMark, S3Lookup, "Write", "Write", HubLookup, "Apply"}, Usb10Script, {HubApply}},
    {"End-of-DXE's first Write refused: ready-to-boot records it", true, S3AtLoad, HubInstalled, "Write", 1, true,
     {"Write", "Write", ReadyToBootMark, "Write", HubLookup, "Apply"}, {Usb10Script[1], Usb10Script[0]}, {HubApply}},
    {"started after End-of-DXE, first Write refused", false, S3AtLoad, HubInstalled, "Write", 1, true,
     {ReadyToBootMark, "Write", "Write", HubLookup, "Apply"}, {Usb10Script[1]}, {HubApply}},
    {"no hub protocol", true, S3AtLoad, HubAbsent, nullptr, 0, true,
     {"Write", "Write", ReadyToBootMark, HubLookup}, Usb10Script, {}},
    {"hub protocol with a null interface", true, S3AtLoad, HubNullInterface, nullptr, 0, true,
     {"Write", "Write", ReadyToBootMark, HubLookup}, Usb10Script, {}},
    {"hub protocol with a null Apply", true, S3AtLoad, HubNullApply, nullptr, 0, true,
     {"Write", "Write", ReadyToBootMark, HubLookup}, Usb10Script, {}},
    {"ready-to-boot event not created", true, S3AtLoad, HubInstalled, "CreateEventEx", 1, false,
     {"Write", "Write", ReadyToBootMark}, Usb10Script, {}},
    {"End-of-DXE event not created: ready-to-boot records", true, S3AtLoad, HubInstalled, "CreateEventEx", 2, true,
     {ReadyToBootMark, "Write", "Write", HubLookup, "Apply"}, Usb10Script, {HubApply}},
};

TEST_F(ReadyToBootTest, FirmwareFailuresAreAbsorbed) {
  // Guards against a Write through a missing save-state protocol or not looking for it again,
  // ready-to-boot not recording what End-of-DXE could not (a late start, no save-state protocol
  // yet, a refused Write, no event) or recording again what it did, using the hub output of a
  // failed lookup or calling through a null one, and an entry that fails with its event.
  for (const FAULT_CASE &Case : FaultCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    if (Case.FailingService != nullptr) {
      Fake->FailCall(Case.FailingService, Case.Nth, EFI_DEVICE_ERROR);
    }
    if (Case.Hub == HubNullInterface) {
      Fake->InstallProtocol(nullptr, Guids::HubPortDisable, nullptr);
    }
    if (Case.Hub == HubNullApply) {
      Fake->HubPortDisableProtocol.Apply = nullptr;
    }
    Load(1U << CONNECTOR_USB2_1P, Case.S3 == S3AtLoad, Case.Hub == HubInstalled || Case.Hub == HubNullApply);
    if (Case.S3 == S3AfterLoad) {
      Fake->InstallProtocol(nullptr, Guids::S3SaveState, &Fake->S3SaveStateProtocol);
    }
    SetPorts(CONNECTOR_USB2_1P, {8, 38, PORT_NONE});
    if (Case.EndOfDxe) {
      SignalEndOfDxe();
    }
    if (Case.S3 == S3AfterEndOfDxe) {
      Fake->InstallProtocol(nullptr, Guids::S3SaveState, &Fake->S3SaveStateProtocol);
    }
    Fake->CallLog.push_back(ReadyToBootMark);
    SignalReadyToBoot();
    std::vector<std::string> Writes;
    for (const std::string &Line : MmioAccesses()) {
      if (Line.rfind("W32", 0) == 0) {
        Writes.push_back(Line);
      }
    }
    const std::vector<std::string> Registers = DefaultBarWrites(0x80, 0);
    EXPECT_EQ(Writes, Case.Writes ? std::vector<std::string>(Registers.begin() + 1, Registers.end()) : NoLines);
    EXPECT_EQ(Fake->CallLog, Case.Calls);
    EXPECT_EQ(BootScriptEntries(), Case.Script);
    EXPECT_EQ(HubApplies(), Case.Applies);
  }
}
