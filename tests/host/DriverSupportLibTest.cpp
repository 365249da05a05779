// Start-up frame: HOB list lookup and cache, GUID HOB walk, and the timer
// calibration window with its interrupt handling.
#include <functional>

#include "DriverTest.h"
#include "TestFacts.h"

// The calibration GUID with only its last byte changed, and a stranger.
static constexpr EFI_GUID CalibrationLastByteOff = {0x3FCA54F6, 0xE1A2, 0x4B20,
                                                    {0xBE, 0x76, 0x92, 0x6B, 0x4B, 0x48, 0xBF, 0xAB}};
static constexpr EFI_GUID OtherGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
static constexpr EFI_GUID HobListLastByteOff = {0x7739F24C, 0x93D7, 0x11D4,
                                                {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4E}};
static constexpr EFI_GUID HobListFirstByteOff = {0x7739F24D, 0x93D7, 0x11D4,
                                                 {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};

#define WINDOW_TICKS 364U

using DriverSupportLibTest = DriverTest;

struct CONFIGURATION_CASE {
  const char *Name;
  std::vector<EFI_GUID> Entries;
  int Expected;  // index of the entry whose table is the HOB list, or -1
};

static const CONFIGURATION_CASE ConfigurationCases[] = {
    {"no entries", {}, -1},
    {"other GUIDs only", {OtherGuid, CalibrationGuid}, -1},
    {"last byte differs (half compared)", {HobListLastByteOff}, -1},
    {"first byte differs (half compared)", {HobListFirstByteOff}, -1},
    {"after another entry", {OtherGuid, Guids::HobList}, 1},
    {"first of two matches", {Guids::HobList, Guids::HobList}, 0},
};

TEST_F(DriverSupportLibTest, FindHobListPicksTheHobListEntry) {
  // Guards against a partial GUID compare, a last-match walk and caching a miss.
  for (const CONFIGURATION_CASE &Case : ConfigurationCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    UINT64 Tables[4];
    for (size_t Index = 0; Index < Case.Entries.size(); Index++) {
      Fake->AddConfigurationTable(Case.Entries[Index], &Tables[Index]);
    }
    SystemTable = &Fake->System;
    VOID *Expected = Case.Expected < 0 ? nullptr : &Tables[Case.Expected];
    EXPECT_EQ(FindHobList(), Expected);
    EXPECT_EQ(HobListCache, Expected);
    EXPECT_TRUE(Fake->CallLog.empty());
  }
}

TEST_F(DriverSupportLibTest, FindHobListKeepsTheFirstFind) {
  // Guards against searching again once found: a later table change must not move the list.
  UINT64 First = 0;
  UINT64 Second = 0;
  Fake->AddConfigurationTable(Guids::HobList, &First);
  SystemTable = &Fake->System;
  ASSERT_EQ(FindHobList(), &First);
  Fake->ConfigurationTables[0].VendorTable = &Second;
  EXPECT_EQ(FindHobList(), &First);
}

TEST_F(DriverSupportLibTest, FindHobListSearchesAgainAfterAMiss) {
  // Guards against caching "not found": a list installed later is still found.
  SystemTable = &Fake->System;
  EXPECT_EQ(FindHobList(), nullptr);
  EXPECT_EQ(FindGuidHob(&CalibrationGuid), nullptr);
  FakeHobList &List = Fake->InstallHobList(FakeHobList().Handoff().GuidHob(CalibrationGuid).End());
  EXPECT_EQ(FindHobList(), List.Start());
  EXPECT_EQ(FindGuidHob(&CalibrationGuid), List.At(1));
}

struct GUID_HOB_CASE {
  const char *Name;
  std::function<void(FakeHobList &)> Build;
  int Expected;  // index of the HOB found, or -1
};

static const GUID_HOB_CASE GuidHobCases[] = {
    {"first of two matching GUID HOBs",
     [](FakeHobList &List) {
       List.Handoff().GuidHob(OtherGuid).GuidHob(CalibrationGuid).GuidHob(CalibrationGuid).End();
     },
     2},
    {"non-GUID HOB with the same bytes skipped",
     [](FakeHobList &List) {
       List.Handoff().Hob(EFI_HOB_TYPE_HANDOFF, 24, &CalibrationGuid).GuidHob(CalibrationGuid).End();
     },
     2},
    {"end-only list", [](FakeHobList &List) { List.End(); }, -1},
    {"last byte differs", [](FakeHobList &List) { List.Handoff().GuidHob(CalibrationLastByteOff).End(); }, -1},
    {"match after the end marker not reached",
     [](FakeHobList &List) { List.Handoff().GuidHob(OtherGuid).End().GuidHob(CalibrationGuid).End(); }, -1},
    {"zero HobLength ends the walk",
     [](FakeHobList &List) {
       List.Handoff().Hob(EFI_HOB_TYPE_GUID_EXTENSION, 0, &OtherGuid).GuidHob(CalibrationGuid).End();
     },
     -1},
};

TEST_F(DriverSupportLibTest, FindGuidHobWalksToTheFirstMatch) {
  // Guards against matching by bytes alone, walking past the end and hanging on a zero length.
  for (const GUID_HOB_CASE &Case : GuidHobCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    FakeHobList Builder;
    Case.Build(Builder);
    FakeHobList &List = Fake->InstallHobList(std::move(Builder));
    SystemTable = &Fake->System;
    EXPECT_EQ(FindGuidHob(&CalibrationGuid), Case.Expected < 0 ? nullptr : List.At(Case.Expected));
  }
}

TEST_F(DriverSupportLibTest, CalibrationHobSkipsTheWindow) {
  // Guards against touching the timer or the interrupt flag when the platform already calibrated.
  Fake->InstallHobList(FakeHobList().Handoff().GuidHob(OtherGuid).GuidHob(CalibrationGuid).End());
  DriverSupportInit(Fake->ImageHandle, &Fake->System);
  EXPECT_EQ(SystemTable, &Fake->System);
  EXPECT_EQ(BootServices, &Fake->Boot);
  EXPECT_EQ(RuntimeServices, &Fake->Runtime);
  EXPECT_EQ(FakeHardware.PmTimerReads, 0U);
  EXPECT_EQ(FakeHardware.TimeStampReads, 0U);
  EXPECT_EQ(FakeHardware.InterruptFlagWrites, 0U);
  EXPECT_TRUE(FakeHardware.InterruptsEnabled);
  EXPECT_TRUE(Fake->CallLog.empty());
}

struct WINDOW_CASE {
  const char *Name;
  UINT32 Start;
  UINT32 UpperBits;
  UINT32 Step;
  bool InterruptsEnabled;
  bool EndOnlyHobList;
  UINT32 ReadsPerTick = 1;
};

static const WINDOW_CASE WindowCases[] = {
    {"start at 0", 0, 0, 1, true, false},
    {"256 ticks before the wrap", 0xFFFF00, 0, 1, true, false},
    {"256 ticks before the wrap, upper bits set", 0xFFFF00, 0xFF000000, 1, false, false},
    {"one tick before the wrap", 0xFFFFFE, 0, 1, false, false},
    {"upper bits set", 0x123456, 0x5A000000, 1, true, false},
    {"coarse steps across the wrap", 0xFFFF00, 0, 100, true, false},
    {"end-only HOB list", 0x000100, 0, 1, false, true},
    // A tick lasts 279 ns: an emulator counting 1 ns per instruction polls about 35 times per tick,
    // so the window needs some 12,700 polls and a give-up limit must allow them.
    {"a tick every 35 polls", 0x000100, 0, 1, true, false, 35},
};

TEST_F(DriverSupportLibTest, CalibrationWindowWaits364TicksWithInterruptsMasked) {
  // Guards against a short or endless wait at the 24-bit wrap, upper reading bits leaking into
  // the compare, giving up on a slow but live timer, and an interrupt flag left changed.
  for (const WINDOW_CASE &Case : WindowCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    if (Case.EndOnlyHobList) {
      Fake->InstallHobList(FakeHobList().End());
    }
    FakeHardware.PmTimerCount = Case.Start;
    FakeHardware.PmTimerUpperBits = Case.UpperBits;
    FakeHardware.PmTimerStep = Case.Step;
    FakeHardware.PmTimerReadsPerTick = Case.ReadsPerTick;
    FakeHardware.InterruptsEnabled = Case.InterruptsEnabled;

    DriverSupportInit(Fake->ImageHandle, &Fake->System);

    const UINT32 Elapsed = (FakeHardware.PmTimerLastReading - FakeHardware.PmTimerFirstReading) & PM_TIMER_MASK;
    EXPECT_EQ(FakeHardware.PmTimerFirstReading, Case.Start | Case.UpperBits);
    EXPECT_GE(Elapsed, WINDOW_TICKS);
    EXPECT_LT(Elapsed - Case.Step, WINDOW_TICKS) << "kept waiting after the window had passed";
    EXPECT_EQ(FakeHardware.PmTimerReadsWithInterruptsEnabled, 0U);
    EXPECT_EQ(FakeHardware.InterruptsEnabled, Case.InterruptsEnabled);
    EXPECT_EQ(FakeHardware.TimeStampReads, 2U);
    EXPECT_EQ(FakeHardware.Pauses, FakeHardware.PmTimerReads - 2) << "one pause per unfinished spin";
    EXPECT_TRUE(Fake->CallLog.empty());
  }
}

struct DEAD_TIMER_CASE {
  const char *Name;
  UINT32 Reading;
  UINT32 UpperBits;
  bool InterruptsEnabled;
};

static const DEAD_TIMER_CASE DeadTimerCases[] = {
    {"port reads all-ones", 0xFFFFFF, 0xFF000000, true},
    {"timer stopped", 0x000100, 0, false},
};

TEST_F(DriverSupportLibTest, CalibrationWindowGivesUpOnATimerThatDoesNotTick) {
  // Guards against hanging the boot with interrupts masked when the PM timer is dead, or for long,
  // and against leaving the interrupt flag changed after giving up.
  for (const DEAD_TIMER_CASE &Case : DeadTimerCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    FakeHardware.PmTimerCount = Case.Reading;
    FakeHardware.PmTimerUpperBits = Case.UpperBits;
    FakeHardware.PmTimerStep = 0;
    FakeHardware.InterruptsEnabled = Case.InterruptsEnabled;

    DriverSupportInit(Fake->ImageHandle, &Fake->System);

    // A dead timer may cost about a quarter of a second on hardware, where a read takes 1 us.
    EXPECT_LE(FakeHardware.PmTimerReads, 262145U);
    EXPECT_EQ(FakeHardware.PmTimerReadsWithInterruptsEnabled, 0U);
    EXPECT_EQ(FakeHardware.InterruptsEnabled, Case.InterruptsEnabled);
    EXPECT_EQ(FakeHardware.TimeStampReads, 2U);
  }
}
