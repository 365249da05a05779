// Cost of one device-arrival notification once every listed USB I/O handle
// has been seen and examined: the registration and examination passes over
// the seen-handle table. For comparison, the same number of handles sitting
// in the last slots of a full table, so every lookup walks (nearly) all 512
// slots, as a lookup that always scans the whole table would.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "DriverSupportLib.h"
#include "UsbConnectorPolicy.h"

// The firmware side is a copy of the handle list and nothing else, so the
// figures are the driver's own passes.
static std::vector<EFI_HANDLE> ListedHandles;
static std::vector<EFI_HANDLE> HandleBuffer(SEEN_HANDLE_TABLE_SIZE);

static EFI_STATUS EFIAPI ListHandles(EFI_LOCATE_SEARCH_TYPE, const EFI_GUID *, VOID *, UINTN *NoHandles,
                                     EFI_HANDLE **Buffer) {
  std::copy(ListedHandles.begin(), ListedHandles.end(), HandleBuffer.begin());
  *NoHandles = ListedHandles.size();
  *Buffer = HandleBuffer.data();
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FreeHandleBuffer(VOID *) { return EFI_SUCCESS; }

// Ends each examination at once; used only while the table is filled.
static EFI_STATUS EFIAPI NoProtocol(EFI_HANDLE, const EFI_GUID *, VOID **) { return EFI_UNSUPPORTED; }

static EFI_BOOT_SERVICES BenchBootServices = [] {
  EFI_BOOT_SERVICES Services{};
  Services.LocateHandleBuffer = ListHandles;
  Services.FreePool = FreeHandleBuffer;
  Services.HandleProtocol = NoProtocol;
  return Services;
}();

static EFI_HANDLE HandleNumber(size_t Number) { return reinterpret_cast<EFI_HANDLE>(0x10000 + Number * 0x40); }

// The driver itself registers and examines Taken handles; later
// notifications then list the last Listed of them.
static bool PrepareTable(size_t Taken, size_t Listed) {
  BootServices = &BenchBootServices;
  std::fill(std::begin(SeenHandleTable), std::end(SeenHandleTable), SEEN_HANDLE_SLOT{0, nullptr});
  SeenHandleCount = 0;
  ListedHandles.clear();
  for (size_t Number = 0; Number < Taken; Number++) {
    ListedHandles.push_back(HandleNumber(Number));
  }
  DeviceArrivalNotify(nullptr, nullptr);
  ListedHandles.erase(ListedHandles.begin(), ListedHandles.end() - static_cast<std::ptrdiff_t>(Listed));
  return SeenHandleCount == Taken && std::all_of(std::begin(SeenHandleTable), std::begin(SeenHandleTable) + Taken,
                                                 [](const SEEN_HANDLE_SLOT &Slot) { return Slot.Processed == 1; });
}

static void RunNotifications(benchmark::State &State, size_t Taken) {
  const size_t Listed = static_cast<size_t>(State.range(0));
  if (!PrepareTable(Taken, Listed)) {
    State.SkipWithError("the driver did not register and examine every handle");
    return;
  }
  for (auto _ : State) {
    DeviceArrivalNotify(nullptr, nullptr);
    benchmark::ClobberMemory();
  }
}

// The handles in the first slots, as they are after they arrive.
static void KnownHandles(benchmark::State &State) { RunNotifications(State, static_cast<size_t>(State.range(0))); }
BENCHMARK(KnownHandles)->Arg(8)->Arg(64)->Arg(512);

static void KnownHandlesAtEndOfFullTable(benchmark::State &State) { RunNotifications(State, SEEN_HANDLE_TABLE_SIZE); }
BENCHMARK(KnownHandlesAtEndOfFullTable)->Arg(8)->Arg(64);

// Keeps each run's time so the two at 8 handles can be compared at the end.
// Plain text: the figures usually end up in a log.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run> &Runs) override {
    for (const Run &Result : Runs) {
      Times[Result.benchmark_name()] = Result.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(Runs);
  }
  std::map<std::string, double> Times;
};

int main(int Argc, char **Argv) {
  benchmark::Initialize(&Argc, Argv);
  if (benchmark::ReportUnrecognizedArguments(Argc, Argv)) {
    return 1;
  }
  RatioReporter Reporter;
  benchmark::RunSpecifiedBenchmarks(&Reporter);
  const auto Known = Reporter.Times.find("KnownHandles/8");
  const auto FullScan = Reporter.Times.find("KnownHandlesAtEndOfFullTable/8");
  if (Known != Reporter.Times.end() && FullScan != Reporter.Times.end() && Known->second > 0) {
    std::printf("8 handles: a notification costs %.1fx less than with full-table scans\n",
                FullScan->second / Known->second);
  }
  benchmark::Shutdown();
  return 0;
}
