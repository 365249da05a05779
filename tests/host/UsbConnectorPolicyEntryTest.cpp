// UsbConnectorPolicyDxe's entry point: the revision gate, reading Setup,
// the connector records, the published capability block, the order of the
// entry steps and how each firmware failure is absorbed.
#include "UsbConnectorPolicyTest.h"

using UsbConnectorPolicyEntryTest = UsbConnectorPolicyTest;

#define CAPABILITIES_SIZE 160

static const std::vector<std::string> EntrySteps = {
    "LocateProtocol(S3SaveState)",
    "GetVariable(Setup)",
    "LocateProtocol(DevicePathToText)",
    "SetVariable(UsbConnectorCapabilities)",
    "CreateEvent",
    "RegisterProtocolNotify(DevicePath)",
    "CreateEventEx(ReadyToBoot)",
    "CreateEventEx(EndOfDxe)",
};

// 1 at bytes 0-10 (present), 33-36 (group members) and 64-74 (disableable).
static std::vector<UINT8> ExpectedCapabilities() {
  std::vector<UINT8> Block(CAPABILITIES_SIZE, 0);
  std::fill(Block.begin() + 0, Block.begin() + 11, 1);
  std::fill(Block.begin() + 33, Block.begin() + 37, 1);
  std::fill(Block.begin() + 64, Block.begin() + 75, 1);
  return Block;
}

static UINT32 DisabledBySetupMask() {
  UINT32 Mask = 0;
  for (UINTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    Mask |= static_cast<UINT32>(ConnectorRecords[Connector].DisabledBySetup) << Connector;
  }
  return Mask;
}

struct REVISION_CASE {
  UINT32 Revision;
  EFI_STATUS Expected;
};

static const REVISION_CASE RevisionCases[] = {
    {0x00010000, EFI_INCOMPATIBLE_VERSION},
    {0x0002001D, EFI_INCOMPATIBLE_VERSION},
    {0x0002001E, EFI_SUCCESS},
    {0x00020046, EFI_SUCCESS},
    {0x80000000, EFI_SUCCESS},
};

TEST_F(UsbConnectorPolicyEntryTest, RevisionGateStopsOldFirmwareBeforeAnything) {
  // Guards against an off-by-one or signed revision compare, and any work done before the gate.
  for (const REVISION_CASE &Case : RevisionCases) {
    SCOPED_TRACE(testing::Message() << std::hex << Case.Revision);
    LoadFreshImage();
    InstallLoadTimeProtocols();
    PutSetup(0, AllEnabled);
    Fake->System.Hdr.Revision = Case.Revision;
    EXPECT_EQ(RunEntry(), Case.Expected);
    if (Case.Expected == EFI_INCOMPATIBLE_VERSION) {
      EXPECT_TRUE(Fake->CallLog.empty());
      EXPECT_EQ(FakeHardware.PmTimerReads + FakeHardware.RflagsReads, 0U);
      EXPECT_EQ(SystemTable, nullptr);
    } else {
      EXPECT_EQ(Fake->CallLog, EntrySteps);
    }
  }
}

struct SETUP_FAILURE_CASE {
  const char *Name;
  size_t SetupSize;  // 0: no Setup variable
  EFI_STATUS GetVariableFault;  // injected into the read when nonzero
  EFI_STATUS Expected;
};

static const SETUP_FAILURE_CASE SetupFailureCases[] = {
    {"Setup absent", 0, 0, EFI_NOT_FOUND},
    {"Setup one byte over 3612", TEST_SETUP_SIZE + 1, 0, EFI_BUFFER_TOO_SMALL},
    {"GetVariable device error", TEST_SETUP_SIZE, EFI_DEVICE_ERROR, EFI_DEVICE_ERROR},
};

TEST_F(UsbConnectorPolicyEntryTest, UnreadableSetupPublishesAndArmsNothing) {
  // Guards against going on after a failed Setup read: no capability variable, no event.
  for (const SETUP_FAILURE_CASE &Case : SetupFailureCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    InstallLoadTimeProtocols();
    if (Case.SetupSize != 0) {
      PutSetup(0, AllEnabled, Case.SetupSize);
    }
    if (Case.GetVariableFault != 0) {
      Fake->FailCall("GetVariable", 1, Case.GetVariableFault);
    }
    EXPECT_EQ(RunEntry(), Case.Expected);
    EXPECT_EQ(Fake->CallLog, std::vector<std::string>(EntrySteps.begin(), EntrySteps.begin() + 2));
    EXPECT_EQ(Fake->FindVariable(u"UsbConnectorCapabilities", CapabilitiesGuid), nullptr);
    EXPECT_TRUE(Fake->Events().empty());
  }
}

struct SETUP_CASE {
  const char *Name;
  UINT8 Mode;
  std::array<UINT8, CONNECTOR_COUNT> Enable;
  size_t Size;
  UINT8 Fill;  // every other Setup byte
  UINT32 Disabled;  // bit k: connector k DisabledBySetup
};

static const SETUP_CASE SetupCases[] = {
    {"mode 0 ignores enable bytes", 0, {}, TEST_SETUP_SIZE, 0, 0},
    {"mode 7 all enabled", 7, AllEnabled, TEST_SETUP_SIZE, 0, 0},
    {"mode 7 connector 5 off", 7, {1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1}, TEST_SETUP_SIZE, 0, 1U << 5},
    {"mode 7 first and last off", 7, {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0}, TEST_SETUP_SIZE, 0xFF, 0x401},
    {"mode 7 any nonzero byte enables", 7, {2, 0x80, 0xFE, 2, 2, 2, 2, 2, 2, 2, 0xFF}, TEST_SETUP_SIZE, 0, 0},
    {"mode 7 all off", 7, {}, TEST_SETUP_SIZE, 0, 0x7FF},
    {"mode 3 disables nothing", 3, {}, TEST_SETUP_SIZE, 0, 0},
    {"mode 8 disables nothing", 8, {}, TEST_SETUP_SIZE, 0, 0},
    {"short Setup without the mode byte", 7, {}, TEST_SETUP_MODE_OFFSET, 7, 0},
    {"Setup ending before the enable bytes", 7, AllEnabled, TEST_SETUP_MODE_OFFSET + 1, 1, 0x7FF},
};

TEST_F(UsbConnectorPolicyEntryTest, SetupDecidesOnlyDisabledBySetup) {
  // Guards against a wrong mode or enable offset, stale bytes past a short Setup, and Setup
  // leaking into the published block.
  for (const SETUP_CASE &Case : SetupCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    InstallLoadTimeProtocols();
    PutSetup(Case.Mode, Case.Enable, Case.Size, Case.Fill);
    ASSERT_EQ(RunEntry(), EFI_SUCCESS);
    EXPECT_EQ(DisabledBySetupMask(), Case.Disabled);

    const FAKE_VARIABLE *Published = Fake->FindVariable(u"UsbConnectorCapabilities", CapabilitiesGuid);
    ASSERT_NE(Published, nullptr);
    EXPECT_EQ(Published->Attributes, EFI_VARIABLE_BOOTSERVICE_ACCESS);
    EXPECT_EQ(Published->Data, ExpectedCapabilities());
  }
}

TEST_F(UsbConnectorPolicyEntryTest, RecordsFollowTheConnectorTable) {
  // Guards against records built from the wrong row, port or map entry, and a wrong count.
  static const UINTN ExpectedPorts[CONNECTOR_COUNT][PORTS_PER_CONNECTOR] = {
      {1, 15, 0xFF}, {30, 34, 0xFF}, {31, 35, 0xFF},  {32, 36, 0xFF},   {33, 37, 0xFF},  {2, 0xFF, 0xFF},
      {3, 13, 0xFF}, {4, 14, 0xFF},  {5, 0xFF, 0xFF}, {6, 0xFF, 0xFF}, {8, 0xFF, 0xFF},
  };
  InstallLoadTimeProtocols();
  PutSetup(0, AllEnabled);
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(ConnectorRecordCount, 11U);
  for (UINTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    SCOPED_TRACE("connector " + std::to_string(Connector));
    const CONNECTOR_RECORD &Record = ConnectorRecords[Connector];
    EXPECT_EQ(Record.DisableAllowed, 1);
    for (UINTN Slot = 0; Slot < PORTS_PER_CONNECTOR; Slot++) {
      const UINTN Port = ExpectedPorts[Connector][Slot];
      EXPECT_EQ(Record.PortNumber[Slot], Port);
      ASSERT_NE(Record.PortPath[Slot], nullptr);
      if (Port == 0xFF || Port == 15) {
        EXPECT_EQ(Record.PortPath[Slot][0], 0) << "a port without a path has the empty prefix";
      } else {
        EXPECT_EQ(Record.PortPath[Slot], GetPortPath(Port));
      }
    }
  }
}

struct PROTOCOL_CASE {
  bool S3SaveStatePresent;
  bool DevicePathToTextPresent;
};

TEST_F(UsbConnectorPolicyEntryTest, MissingLoadTimeProtocolsAreStoredAsNull) {
  // Guards against keeping whatever LocateProtocol left in its output on failure.
  for (const PROTOCOL_CASE Case : {PROTOCOL_CASE{false, false}, PROTOCOL_CASE{true, false},
                                   PROTOCOL_CASE{false, true}, PROTOCOL_CASE{true, true}}) {
    SCOPED_TRACE(testing::Message() << "S3 " << Case.S3SaveStatePresent << " text " << Case.DevicePathToTextPresent);
    LoadFreshImage();
    if (Case.S3SaveStatePresent) {
      Fake->InstallProtocol(nullptr, Guids::S3SaveState, &Fake->S3SaveStateProtocol);
    }
    if (Case.DevicePathToTextPresent) {
      Fake->InstallProtocol(nullptr, Guids::DevicePathToText, &Fake->DevicePathToTextProtocol);
    }
    PutSetup(0, AllEnabled);
    EXPECT_EQ(RunEntry(), EFI_SUCCESS);
    EXPECT_EQ(S3SaveState, Case.S3SaveStatePresent ? &Fake->S3SaveStateProtocol : nullptr);
    EXPECT_EQ(DevicePathToText, Case.DevicePathToTextPresent ? &Fake->DevicePathToTextProtocol : nullptr);
  }
}

TEST_F(UsbConnectorPolicyEntryTest, EventsAreArmedForDevicePathsReadyToBootAndEndOfDxe) {
  // Guards against arming the wrong kind of event, level, notify function or group.
  InstallLoadTimeProtocols();
  PutSetup(0, AllEnabled);
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  const std::vector<FAKE_EVENT *> Events = Fake->Events();
  ASSERT_EQ(Events.size(), 3U);
  for (const FAKE_EVENT *Event : Events) {
    EXPECT_EQ(Event->Type, EVT_NOTIFY_SIGNAL);
    EXPECT_EQ(Event->NotifyTpl, TPL_CALLBACK);
    EXPECT_EQ(Event->NotifyContext, nullptr);
  }
  EXPECT_EQ(Events[0]->NotifyFunction, &DeviceArrivalNotify);
  EXPECT_FALSE(Events[0]->Group.has_value());
  const std::vector<FAKE_REGISTRATION *> Registrations = Fake->Registrations();
  ASSERT_EQ(Registrations.size(), 1U);
  EXPECT_EQ(Registrations[0]->Protocol, Guids::DevicePath);
  EXPECT_EQ(Registrations[0]->Event, reinterpret_cast<EFI_EVENT>(Events[0]));
  EXPECT_EQ(Events[1]->NotifyFunction, &ReadyToBootNotify);
  ASSERT_TRUE(Events[1]->Group.has_value());
  EXPECT_EQ(*Events[1]->Group, Guids::ReadyToBoot);
  EXPECT_EQ(Events[2]->NotifyFunction, &EndOfDxeNotify);
  ASSERT_TRUE(Events[2]->Group.has_value());
  EXPECT_EQ(*Events[2]->Group, Guids::EndOfDxe);
}

TEST_F(UsbConnectorPolicyEntryTest, EachFailingServiceIsAbsorbed) {
  // Guards against any firmware failure but the Setup read stopping or crashing the entry.
  InstallLoadTimeProtocols();
  PutSetup(7, {1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1});
  ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  const std::vector<std::string> Baseline = Fake->CallLog;
  ASSERT_EQ(Baseline, EntrySteps);

  for (size_t Failing = 0; Failing < Baseline.size(); Failing++) {
    const std::string Service = Baseline[Failing].substr(0, Baseline[Failing].find('('));
    const unsigned Nth = static_cast<unsigned>(
        std::count_if(Baseline.begin(), Baseline.begin() + Failing + 1,
                      [&](const std::string &Call) { return Call.rfind(Service, 0) == 0; }));
    SCOPED_TRACE(Baseline[Failing]);
    LoadFreshImage();
    InstallLoadTimeProtocols();
    PutSetup(7, {1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 1});
    Fake->FailCall(Service, Nth, EFI_DEVICE_ERROR);

    const EFI_STATUS Status = RunEntry();
    if (Service == "GetVariable") {
      EXPECT_EQ(Status, EFI_DEVICE_ERROR);
      continue;
    }
    EXPECT_EQ(Status, EFI_SUCCESS);
    EXPECT_EQ(Fake->CallLog, Baseline);
    EXPECT_EQ(DisabledBySetupMask(), 1U << 5);
    EXPECT_EQ(ConnectorRecordCount, 11U);
    EXPECT_EQ(S3SaveState, Failing == 0 ? nullptr : &Fake->S3SaveStateProtocol);
    EXPECT_EQ(DevicePathToText, Failing == 2 ? nullptr : &Fake->DevicePathToTextProtocol);
    EXPECT_EQ(Fake->FindVariable(u"UsbConnectorCapabilities", CapabilitiesGuid) == nullptr, Service == "SetVariable");
  }
}
