// SaSetupResetDxe's fuzz target: SaSetup of any size, attributes and
// content, boots one after another on the same variable store, failing
// variable and reset services, and the rule the driver keeps, written again:
// one cold reset exactly when the request byte read is nonzero and its
// clearing was stored, every other byte, the size and the attributes kept.
#include "FakeFirmware.h"
#include "FakeHardware.h"
#include "FuzzTarget.h"
#include "TestFacts.h"

extern "C" EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

#define READ_SIZE 1400

static const std::vector<const char *> Services = {"GetVariable", "SetVariable", "ResetSystem"};
static const UINT32 Attributes[] = {
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS,
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, EFI_VARIABLE_BOOTSERVICE_ACCESS,
    EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS};

const GRAMMAR TargetGrammar = {
    "reset",
    {
        // SaSetup as another component stores it: byte i is i * 37 + fill,
        // but byte 190, the request.
        {"sasetup",
         {{"size", 0, 11},
          {"attributes", 11, 2, {"nv-bs-rt", "nv-bs", "bs", "bs-rt"}},
          {"request", 13, 8, {}, true},
          {"fill", 21, 8, {}, true},
          {"present", 29, 1, {"yes", "no"}}}},
        // The driver starts on a freshly loaded image.
        {"boot", {{"timer", 0, 1, {"hob", "live"}}, {"revision", 1, 1, {"2.70", "2.29"}}}},
        {"fail", {{"service", 0, 2, Services}, {"nth", 2, 4}, {"status", 6, 8, {}, true}}, 2},
    }};

const char TargetName[] = FUZZ_TARGET;

static std::string Bytes(const std::vector<UINT8> &Data) { return std::to_string(Data.size()) + " bytes"; }

// One boot, judged.
static void Boot(FakeFirmware &Fake, const OPERATION &Operation) {
  LoadFreshImage();
  FakeHardware = FAKE_HARDWARE{};
  FakeHobList Hobs;
  Hobs.Handoff();
  if (Operation["timer"] == 0) {
    Hobs.GuidHob(CalibrationGuid);
  }
  Fake.ConfigurationTables.clear();
  Fake.InstallHobList(std::move(Hobs.End()));
  const bool Old = Operation["revision"] != 0;
  const UINT32 Revision = Fake.System.Hdr.Revision;
  if (Old) {
    Fake.System.Hdr.Revision = OLD_REVISION;
  }

  const FAKE_VARIABLE *Current = Fake.FindVariable(u"SaSetup", SaSetupGuid);
  const std::optional<FAKE_VARIABLE> Before = Current != nullptr ? std::optional<FAKE_VARIABLE>(*Current) : std::nullopt;
  const size_t CallStart = Fake.Calls.size();
  const size_t ResetStart = Fake.Resets.size();
  const EFI_STATUS Status = DriverEntry(Fake.ImageHandle, &Fake.System);
  Fake.System.Hdr.Revision = Revision;

  if (Status != (Old ? EFI_INCOMPATIBLE_VERSION : EFI_SUCCESS)) {
    Violation("the reset driver returns EFI_SUCCESS, or fails at the revision gate", StatusName(Status));
  }
  size_t Reads = 0;
  bool ReadRefused = false;
  std::vector<const FAKE_CALL *> Writes;
  std::vector<const FAKE_CALL *> Resets;
  for (size_t Index = CallStart; Index < Fake.Calls.size(); Index++) {
    const FAKE_CALL &Call = Fake.Calls[Index];
    const std::string Name = Fake.CallLog[Index];
    Reads += Name == "GetVariable(SaSetup)";
    ReadRefused = ReadRefused || (Name == "GetVariable(SaSetup)" && Call.Refused);
    if (Name == "SetVariable(SaSetup)") {
      Writes.push_back(&Call);
    } else if (Name == "ResetSystem") {
      Resets.push_back(&Call);
    } else if (Name != "GetVariable(SaSetup)") {
      Violation("the reset driver calls nothing but GetVariable, SetVariable and ResetSystem", Name);
    }
  }
  const bool ReadOk = !Old && Before.has_value() && Before->Data.size() <= READ_SIZE && !ReadRefused;
  const bool Request =
      ReadOk && Before->Data.size() > TEST_SA_SETUP_REQUEST_OFFSET && Before->Data[TEST_SA_SETUP_REQUEST_OFFSET] != 0;
  const bool Cleared = Request && Writes.size() == 1 && !Writes[0]->Refused && Writes[0]->Status == EFI_SUCCESS;
  if (Reads != (Old ? 0U : 1U) || Writes.size() != (Request ? 1U : 0U)) {
    Violation("SaSetup is read once, and written back once exactly when its request byte is set",
              std::to_string(Reads) + " reads, " + std::to_string(Writes.size()) + " writes");
  }
  if (Resets.size() != (Cleared ? 1U : 0U)) {
    Violation("one cold reset exactly when the request byte was set and its clearing stored",
              std::to_string(Resets.size()) + " resets");
  }
  for (size_t Index = ResetStart; Index < Fake.Resets.size(); Index++) {
    const FAKE_RESET &Reset = Fake.Resets[Index];
    if (Reset.Type != EfiResetCold || Reset.Status != EFI_SUCCESS || Reset.DataSize != 0 || Reset.Data != nullptr) {
      Violation("the reset is cold, with EFI_SUCCESS and no data", "");
    }
  }
  std::optional<FAKE_VARIABLE> Expected = Before;
  if (Cleared) {
    Expected->Data[TEST_SA_SETUP_REQUEST_OFFSET] = 0;
  }
  const FAKE_VARIABLE *After = Fake.FindVariable(u"SaSetup", SaSetupGuid);
  if (Expected.has_value() != (After != nullptr) ||
      (After != nullptr && (After->Attributes != Expected->Attributes || After->Data != Expected->Data))) {
    Violation("SaSetup keeps every byte, its size and attributes; only a stored request byte becomes 0",
              After == nullptr ? "gone" : Bytes(After->Data) + ", attributes " + std::to_string(After->Attributes));
  }
}

static void StoreSaSetup(FakeFirmware &Fake, const OPERATION &Operation) {
  if (Operation["present"] != 0) {
    Fake.Variables.erase({u"SaSetup", GuidName(SaSetupGuid)});
    return;
  }
  std::vector<UINT8> Data(Operation["size"]);
  for (size_t Index = 0; Index < Data.size(); Index++) {
    Data[Index] = static_cast<UINT8>(Index * 37 + Operation["fill"]);
  }
  if (Data.size() > TEST_SA_SETUP_REQUEST_OFFSET) {
    Data[TEST_SA_SETUP_REQUEST_OFFSET] = static_cast<UINT8>(Operation["request"]);
  }
  Fake.PutVariable(u"SaSetup", SaSetupGuid, Attributes[Operation["attributes"]], Data);
}

void RunSequence(const std::vector<OPERATION> &Sequence) {
  {
    FakeFirmware Fake;
    for (size_t Index = 0; Index < Sequence.size() && !Violated(); Index++) {
      const OPERATION &Operation = Sequence[Index];
      if (Operation.Is("sasetup")) {
        StoreSaSetup(Fake, Operation);
      } else if (Operation.Is("boot")) {
        Boot(Fake, Operation);
      } else {
        const char *Service = Services[Operation["service"]];
        Fake.FailCall(Service, Fake.CallCount(Service) + Operation["nth"] + 1, EFI_ERROR_BIT | Operation["status"]);
      }
    }
  }
  // Nothing of the run stays allocated, or libFuzzer would look for leaks.
  FakeHardware = FAKE_HARDWARE{};
}
