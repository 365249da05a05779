// SaSetupResetDxe's single pass: reading SaSetup, clearing and storing the
// request byte, and the cold reset that follows only a stored write-back.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "DriverTest.h"
#include "TestFacts.h"

// The driver's read buffer is file-static. Compiling the driver source into
// this file is the simplest way to reach it, so each test can zero it as a
// fresh image load does; the driver is built only here, not linked again.
#include "SaSetupResetDxe.cpp"

#define NV_BS (EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS)
#define NV_BS_RT (NV_BS | EFI_VARIABLE_RUNTIME_ACCESS)
#define NO_VARIABLE SIZE_MAX

static const std::string Read = "GetVariable(SaSetup)";
static const std::string Write = "SetVariable(SaSetup)";
static const std::string Reset = "ResetSystem";

class SaSetupResetTest : public DriverTest {
 protected:
  void LoadFreshImage() override {
    DriverTest::LoadFreshImage();
    std::memset(SaSetupBuffer, 0, sizeof(SaSetupBuffer));
  }

  EFI_STATUS RunEntry() { return DriverEntry(Fake->ImageHandle, &Fake->System); }

  // A SaSetup of Size patterned bytes, holding Request where it fits.
  std::vector<UINT8> PutSaSetup(size_t Size, UINT8 Request, UINT32 Attributes = NV_BS_RT) {
    std::vector<UINT8> Data(Size);
    for (size_t Index = 0; Index < Size; Index++) {
      Data[Index] = static_cast<UINT8>(Index * 37 + 11);
    }
    if (Size > TEST_SA_SETUP_REQUEST_OFFSET) {
      Data[TEST_SA_SETUP_REQUEST_OFFSET] = Request;
    }
    Fake->PutVariable(u"SaSetup", SaSetupGuid, Attributes, Data);
    return Data;
  }
};

struct SA_SETUP_CASE {
  const char *Name;
  size_t Size;  // NO_VARIABLE: no SaSetup variable
  UINT8 Request;
  UINT32 Attributes;
  EFI_STATUS SetVariableFault;  // injected into the write-back when nonzero
  std::vector<std::string> Calls;
};

static const SA_SETUP_CASE SaSetupCases[] = {
    {"request 1", 1400, 1, NV_BS_RT, 0, {Read, Write, Reset}},
    {"no request", 1400, 0, NV_BS_RT, 0, {Read}},
    {"request 0xFF", 1400, 0xFF, NV_BS, 0, {Read, Write, Reset}},
    {"600 bytes written back at 600", 600, 1, NV_BS, 0, {Read, Write, Reset}},
    {"191 bytes, request in the last byte", 191, 1, NV_BS_RT, 0, {Read, Write, Reset}},
    {"150 bytes, no room for the request", 150, 1, NV_BS_RT, 0, {Read}},
    {"SaSetup missing", NO_VARIABLE, 0, 0, 0, {Read}},
    {"SaSetup of 0 bytes", 0, 0, NV_BS_RT, 0, {Read}},
    {"1401 bytes, larger than the buffer", 1401, 1, NV_BS_RT, 0, {Read}},
    {"write-back fails", 1400, 1, NV_BS_RT, EFI_DEVICE_ERROR, {Read, Write}},
};

TEST_F(SaSetupResetTest, RequestIsClearedAndStoredBeforeOneColdReset) {
  // Guards against a reset before (or without) the stored clear, a write-back padded to the
  // buffer or with other bytes or attributes changed, and acting on a partial or failed read.
  for (const SA_SETUP_CASE &Case : SaSetupCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    std::vector<UINT8> Expected = Case.Size != NO_VARIABLE ? PutSaSetup(Case.Size, Case.Request, Case.Attributes)
                                                           : std::vector<UINT8>{};
    if (Case.SetVariableFault != 0) {
      Fake->FailCall("SetVariable", 1, Case.SetVariableFault);
    }

    EXPECT_EQ(RunEntry(), EFI_SUCCESS);
    EXPECT_EQ(Fake->CallLog, Case.Calls);
    const bool Resets = Case.Calls.back() == Reset;
    ASSERT_EQ(Fake->Resets.size(), Resets ? 1U : 0U);
    if (Resets) {
      EXPECT_EQ(Fake->Resets[0].Type, EfiResetCold);
      EXPECT_EQ(Fake->Resets[0].Status, EFI_SUCCESS);
      EXPECT_EQ(Fake->Resets[0].DataSize, 0U);
      EXPECT_EQ(Fake->Resets[0].Data, nullptr);
      Expected[TEST_SA_SETUP_REQUEST_OFFSET] = 0;
    }
    const FAKE_VARIABLE *Stored = Fake->FindVariable(u"SaSetup", SaSetupGuid);
    if (Case.Size == NO_VARIABLE) {
      EXPECT_EQ(Stored, nullptr);
      continue;
    }
    ASSERT_NE(Stored, nullptr);
    EXPECT_EQ(Stored->Attributes, Case.Attributes);
    EXPECT_EQ(Stored->Data, Expected);
  }
}

TEST_F(SaSetupResetTest, FailedReadIsNotActedOn) {
  // Guards against trusting the buffer of a read that returned an error.
  Fake->OnCall<&EFI_RUNTIME_SERVICES::GetVariable>(
      [](const CHAR16 *, const EFI_GUID *, UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
        std::memset(Data, 1, *DataSize);
        *Attributes = NV_BS_RT;
        return EFI_DEVICE_ERROR;
      });
  EXPECT_EQ(RunEntry(), EFI_SUCCESS);
  EXPECT_EQ(Fake->CallLog, std::vector<std::string>{Read});
  EXPECT_TRUE(Fake->Resets.empty());
}

struct REVISION_CASE {
  UINT32 Revision;
  EFI_STATUS Expected;
  std::vector<std::string> Calls;
};

TEST_F(SaSetupResetTest, RevisionGateComesBeforeAnyFirmwareCall) {
  // Guards against an off-by-one gate, and reading SaSetup or running the start-up frame first.
  static const REVISION_CASE RevisionCases[] = {
      {0x00010000, EFI_INCOMPATIBLE_VERSION, {}},
      {0x0002001D, EFI_INCOMPATIBLE_VERSION, {}},
      {0x0002001E, EFI_SUCCESS, {Read, Write, Reset}},
  };
  for (const REVISION_CASE &Case : RevisionCases) {
    SCOPED_TRACE(testing::Message() << std::hex << Case.Revision);
    LoadFreshImage();
    PutSaSetup(1400, 1);
    Fake->System.Hdr.Revision = Case.Revision;
    EXPECT_EQ(RunEntry(), Case.Expected);
    EXPECT_EQ(Fake->CallLog, Case.Calls);
    if (Case.Expected == EFI_INCOMPATIBLE_VERSION) {
      EXPECT_EQ(FakeHardware.PmTimerReads + FakeHardware.RflagsReads, 0U);
      EXPECT_EQ(SystemTable, nullptr);
    }
  }
}

TEST_F(SaSetupResetTest, CalibrationHobDecidesTheTimerWindow) {
  // Guards against the entry skipping the start-up frame, or running the window the platform
  // already did.
  for (const bool HobPresent : {false, true}) {
    SCOPED_TRACE(HobPresent ? "calibration HOB present" : "calibration HOB absent");
    LoadFreshImage();
    FakeHobList List;
    List.Handoff();
    if (HobPresent) {
      List.GuidHob(CalibrationGuid);
    }
    List.End();
    Fake->InstallHobList(std::move(List));
    PutSaSetup(1400, 0);
    EXPECT_EQ(RunEntry(), EFI_SUCCESS);
    EXPECT_EQ(FakeHardware.PmTimerReads == 0, HobPresent);
    EXPECT_EQ(Fake->CallLog, std::vector<std::string>{Read});
  }
}
