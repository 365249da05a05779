// Cost of one device-arrival notification once every listed USB I/O handle
// has been seen and examined: the passes over the seen-handle table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "DriverSupportLib.h"
#include "Protocol/UsbIo.h"
#include "UsbConnectorPolicy.h"

// The firmware side answers at once (a copy of the handle list, nothing
// installed since the last look), so the figures are the driver's own passes.
static std::vector<EFI_HANDLE> ListedHandles;
static std::vector<EFI_HANDLE> HandleBuffer(SEEN_HANDLE_TABLE_SIZE);

static EFI_STATUS EFIAPI ListHandles(EFI_LOCATE_SEARCH_TYPE, const EFI_GUID *, VOID *, UINTN *NoHandles,
                                     EFI_HANDLE **Buffer) {
  std::copy(ListedHandles.begin(), ListedHandles.end(), HandleBuffer.begin());
  *NoHandles = ListedHandles.size();
  *Buffer = HandleBuffer.data();
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FreeNothing(VOID *) { return EFI_SUCCESS; }

// No device path installed since the last look.
static EFI_STATUS EFIAPI NoNewHandle(EFI_LOCATE_SEARCH_TYPE, const EFI_GUID *, VOID *, UINTN *, EFI_HANDLE *) {
  return EFI_NOT_FOUND;
}

// Every handle is a keyboard, which no connector blocks, so its examination
// is short and complete; used only while the table is filled.
static EFI_STATUS EFIAPI KeyboardDevice(EFI_USB_IO_PROTOCOL *, EFI_USB_DEVICE_DESCRIPTOR *Descriptor) {
  *Descriptor = {};
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI KeyboardInterface(EFI_USB_IO_PROTOCOL *, EFI_USB_INTERFACE_DESCRIPTOR *Descriptor) {
  *Descriptor = {};
  Descriptor->InterfaceClass = 3;
  return EFI_SUCCESS;
}

static EFI_USB_IO_PROTOCOL Keyboard = [] {
  EFI_USB_IO_PROTOCOL UsbIo{};
  UsbIo.UsbGetDeviceDescriptor = KeyboardDevice;
  UsbIo.UsbGetInterfaceDescriptor = KeyboardInterface;
  return UsbIo;
}();

static EFI_STATUS EFIAPI AnyProtocol(EFI_HANDLE, const EFI_GUID *, VOID **Interface) {
  *Interface = &Keyboard;
  return EFI_SUCCESS;
}

static CHAR16 *EFIAPI OneText(const EFI_DEVICE_PATH_PROTOCOL *, BOOLEAN, BOOLEAN) {
  static CHAR16 Text[] = u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x7,0x0)";
  return Text;
}

static EFI_DEVICE_PATH_TO_TEXT_PROTOCOL BenchDevicePathToText = {nullptr, OneText};

static EFI_BOOT_SERVICES BenchBootServices = [] {
  EFI_BOOT_SERVICES Services{};
  Services.LocateHandleBuffer = ListHandles;
  Services.LocateHandle = NoNewHandle;
  Services.FreePool = FreeNothing;
  Services.HandleProtocol = AnyProtocol;
  return Services;
}();

static EFI_HANDLE HandleNumber(size_t Number) { return reinterpret_cast<EFI_HANDLE>(0x10000 + Number * 0x40); }

// The driver itself registers and examines Count handles; later
// notifications list the same ones.
static bool PrepareTable(size_t Count) {
  BootServices = &BenchBootServices;
  DevicePathToText = &BenchDevicePathToText;
  std::fill(std::begin(SeenHandleTable), std::end(SeenHandleTable), SEEN_HANDLE_SLOT{0, nullptr});
  SeenHandleCount = 0;
  ListedHandles.clear();
  for (size_t Number = 0; Number < Count; Number++) {
    ListedHandles.push_back(HandleNumber(Number));
  }
  DeviceArrivalNotify(nullptr, nullptr);
  return SeenHandleCount == Count && std::all_of(std::begin(SeenHandleTable), std::begin(SeenHandleTable) + Count,
                                                 [](const SEEN_HANDLE_SLOT &Slot) { return Slot.Processed == 1; });
}

static void KnownHandles(benchmark::State &State) {
  if (!PrepareTable(static_cast<size_t>(State.range(0)))) {
    State.SkipWithError("the driver did not register and examine every handle");
    return;
  }
  for (auto _ : State) {
    DeviceArrivalNotify(nullptr, nullptr);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(KnownHandles)->Arg(8)->Arg(64)->Arg(512);

BENCHMARK_MAIN();
