// libFuzzer's entry points and what every target shares. A violation is
// printed with its sequence in words and the smallest part of it that still
// breaks the same rule, then the process aborts so that libFuzzer keeps the
// input. With FUZZ_REPLAY set (scripts/fuzz.sh --replay) the sequence is
// printed before it runs, so that a sanitizer report comes with it too, and a
// violation ends the process with status 1.
#include "FuzzTarget.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "Uefi/Base.h"

// Bounds of the sections DriverImage.h puts the driver's globals in; weak,
// as a driver may have nothing initialised.
extern "C" {
extern char __start_fuzz_image_data[] __attribute__((weak));
extern char __stop_fuzz_image_data[] __attribute__((weak));
extern char __start_fuzz_image_bss[] __attribute__((weak));
extern char __stop_fuzz_image_bss[] __attribute__((weak));
}

static std::vector<char> ImageData;
static bool Replaying;
static std::string FirstInvariant;
static std::string FirstDetail;

// The sections hold AddressSanitizer's red zones between the globals, which
// no instrumented or intercepted copy may touch.
__attribute__((no_sanitize("address"))) static void CopyBytes(volatile char *To, const volatile char *From,
                                                              size_t Size) {
  for (size_t Index = 0; Index < Size; Index++) {
    To[Index] = From != nullptr ? From[Index] : 0;
  }
}

void LoadFreshImage() {
  CopyBytes(__start_fuzz_image_data, ImageData.data(), ImageData.size());
  if (__start_fuzz_image_bss != nullptr) {
    CopyBytes(__start_fuzz_image_bss, nullptr, __stop_fuzz_image_bss - __start_fuzz_image_bss);
  }
}

void Violation(const std::string &Invariant, const std::string &Detail) {
  if (FirstInvariant.empty()) {
    FirstInvariant = Invariant;
    FirstDetail = Detail;
  }
}

bool Violated() { return !FirstInvariant.empty(); }

std::string StatusName(unsigned long long Status) {
  static const std::pair<unsigned long long, const char *> Names[] = {
      {EFI_SUCCESS, "EFI_SUCCESS"},
      {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
      {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
      {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
      {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
      {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
      {EFI_INCOMPATIBLE_VERSION, "EFI_INCOMPATIBLE_VERSION"},
  };
  for (const auto &[Value, Name] : Names) {
    if (Value == Status) {
      return Name;
    }
  }
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llX", Status);
  return Text;
}

// A complaint of the fake firmware (a call it does not allow, a buffer freed
// twice, an unexpected register read) breaks the rules like any other.
class FirmwareComplaints : public testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult &Result) override {
    if (Result.failed()) {
      Violation("the firmware takes every call the driver makes", Result.message());
    }
  }
};

static std::string Judge(const std::vector<OPERATION> &Sequence) {
  FirstInvariant.clear();
  FirstDetail.clear();
  RunSequence(Sequence);
  return FirstInvariant;
}

// Drops one operation at a time, then sets one field at a time to its plain
// value 0, while the same rule still breaks.
static std::vector<OPERATION> Smallest(std::vector<OPERATION> Sequence, const std::string &Invariant) {
  for (bool Shrunk = true; Shrunk;) {
    Shrunk = false;
    for (size_t Index = Sequence.size(); Index-- > 0;) {
      std::vector<OPERATION> Shorter = Sequence;
      Shorter.erase(Shorter.begin() + static_cast<std::ptrdiff_t>(Index));
      if (Judge(Shorter) == Invariant) {
        Sequence = std::move(Shorter);
        Shrunk = true;
      }
    }
  }
  for (OPERATION &Operation : Sequence) {
    for (const FIELD &Field : Operation.Form().Fields) {
      const uint64_t Bits = Operation.Bits;
      Operation.Bits &= ~(((1ULL << Field.Bits) - 1) << Field.Shift);
      if (Operation.Bits != Bits && Judge(Sequence) != Invariant) {
        Operation.Bits = Bits;
      }
    }
  }
  return Sequence;
}

static void PrintSequence(const std::vector<OPERATION> &Sequence) {
  for (size_t Index = 0; Index < Sequence.size(); Index++) {
    std::fprintf(stderr, "  %3zu  %s\n", Index + 1, Describe(Sequence[Index]).c_str());
  }
}

static void Report(const std::vector<OPERATION> &Sequence) {
  const std::string Invariant = FirstInvariant;
  const std::string Detail = FirstDetail;
  std::fprintf(stderr, "\nfuzz: VIOLATION: %s\n  %s\nsequence (%zu operations) on %s:\n", Invariant.c_str(),
               Detail.c_str(), Sequence.size(), TargetName);
  PrintSequence(Sequence);
  const std::vector<OPERATION> Minimal = Smallest(Sequence, Invariant);
  std::fprintf(stderr, "smallest sequence that breaks it (%zu operations), as a corpus file:\n%s\n", Minimal.size(),
               DescribeSequence(Minimal, TargetName).c_str());
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (__start_fuzz_image_data != nullptr) {
    ImageData.resize(__stop_fuzz_image_data - __start_fuzz_image_data);
    CopyBytes(ImageData.data(), __start_fuzz_image_data, ImageData.size());
  }
  testing::TestEventListeners &Listeners = testing::UnitTest::GetInstance()->listeners();
  delete Listeners.Release(Listeners.default_result_printer());
  Listeners.Append(new FirmwareComplaints);
  Replaying = std::getenv("FUZZ_REPLAY") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  std::string Error;
  const std::vector<OPERATION> Sequence = DecodeSequence(TargetGrammar, Data, Size, Error);
  if (!Error.empty()) {
    std::fprintf(stderr, "fuzz: %s: the input does not read as a %s sequence: %s\n", TargetName, TargetGrammar.Kind,
                 Error.c_str());
    std::_Exit(2);
  }
  if (Replaying) {
    std::fprintf(stderr, "replaying %zu operations on %s:\n", Sequence.size(), TargetName);
    PrintSequence(Sequence);
  }
  if (Judge(Sequence).empty()) {
    if (Replaying) {
      std::fprintf(stderr, "fuzz: no violation\n");
    }
    return 0;
  }
  Report(Sequence);
  if (Replaying) {
    std::_Exit(1);
  }
  std::abort();
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *Data, size_t Size, size_t MaxSize, unsigned Seed) {
  return MutateSequence(TargetGrammar, Data, Size, MaxSize, Seed);
}

extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t *First, size_t FirstSize, const uint8_t *Second,
                                            size_t SecondSize, uint8_t *Out, size_t MaxOutSize, unsigned Seed) {
  return CrossOverSequences(TargetGrammar, First, FirstSize, Second, SecondSize, Out, MaxOutSize, Seed);
}
