// Guest time that the drivers add to a boot, for tools/boot_cost.py, which
// boots the flash image under QEMU's -icount: the time-stamp counter then
// reads guest nanoseconds counted from executed instructions. The host names
// the step in the fw_cfg setting opt/board/boot-cost/step: "prepare" stores
// Setup (mode 7, "USB2_1p" off) and resets; "measure" reports the probes'
// readings around each driver's start and times one device-arrival
// notification with 1, 8 and 64 USB I/O handles present and one ready-to-boot
// signal. Lines read "BOARD: COST <what> key=value ...".
#include "BoardApp.h"
#include "BootCost.h"
#include "BootStages.h"
#include "Console.h"
#include "DevicePaths.h"
#include "FwCfgSettings.h"
#include "Guids.h"
#include "Hardware.h"
#include "Protocol/UsbIo.h"
#include "Report.h"
#include "Variables.h"

#define COST_STEP_SETTING "opt/board/boot-cost/step"
#define COST_STEP_SIZE 16
// The connector setup switches off while the costs are measured.
#define DISABLED_CONNECTOR "USB2_1p"
// Each notification is timed this often; the least is reported, the others
// carry one-time work such as pool growth.
#define COST_REPEATS 3
#define MAX_FAKE_DEVICES 64

static VOID PrintStamps() {
  const BOOT_COST_TABLE *Table = (const BOOT_COST_TABLE *)FindConfigurationTable(&BootCostTableGuid);
  if (!Expect(Table != nullptr, "no boot-cost probe ran")) {
    return;
  }
  CHAR8 Stamps[BOOT_COST_MAX_STAMPS * 21] = "";
  UINTN Length = 0;
  for (UINT32 Index = 0; Index < Table->Count; Index++) {
    FormatString(Stamps + Length, sizeof(Stamps) - Length, Index == 0 ? "%llu" : ",%llu", Table->Stamps[Index]);
    while (Stamps[Length] != '\0') {
      Length++;
    }
  }
  Print("BOARD: COST probes stamps=%s\n", Stamps);
}

// Devices that look like USB keyboards on a controller the board does not
// have, so the policy examines them and leaves them alone.
static DEVICE_PATH_BUFFER FakePaths[MAX_FAKE_DEVICES + 1];
static EFI_USB_IO_PROTOCOL FakeUsbIo;
static UINTN FakeDevices;

static EFI_STATUS EFIAPI FakeDeviceDescriptor(EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_DESCRIPTOR *Descriptor) {
  (VOID) This;
  *Descriptor = {};
  Descriptor->IdVendor = 0x1234;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeInterfaceDescriptor(EFI_USB_IO_PROTOCOL *This,
                                                 EFI_USB_INTERFACE_DESCRIPTOR *Descriptor) {
  (VOID) This;
  *Descriptor = {};
  Descriptor->InterfaceClass = 3;
  return EFI_SUCCESS;
}

// PciRoot(0x0)/Pci(0x1D,0x0)/USB(Number,0x0).
static EFI_DEVICE_PATH_PROTOCOL *FakePath(UINTN Number) {
  DEVICE_PATH_BUFFER &Path = FakePaths[Number];
  Path.Size = 0;
  AppendPciDevice(Path, 0x1D, 0);
  AppendUsbNode(Path, (UINT8)Number);
  AppendEndNode(Path);
  return (EFI_DEVICE_PATH_PROTOCOL *)Path.Bytes;
}

static bool AddFakeDevices(UINTN Count) {
  FakeUsbIo.UsbGetDeviceDescriptor = FakeDeviceDescriptor;
  FakeUsbIo.UsbGetInterfaceDescriptor = FakeInterfaceDescriptor;
  for (; FakeDevices < Count; FakeDevices++) {
    EFI_HANDLE Handle = nullptr;
    EFI_STATUS Status =
        BootServices->InstallProtocolInterface(&Handle, &UsbIoProtocolGuid, EFI_NATIVE_INTERFACE, &FakeUsbIo);
    if (Status == EFI_SUCCESS) {
      Status = BootServices->InstallProtocolInterface(&Handle, &DevicePathProtocolGuid, EFI_NATIVE_INTERFACE,
                                                      FakePath(FakeDevices));
    }
    if (!Expect(Status == EFI_SUCCESS, "installing fake USB device %llu: %s", (UINT64)FakeDevices,
                StatusName(Status))) {
      return false;
    }
  }
  return true;
}

// One notification: a device path installed on a new handle, with every
// notification armed for it run before the install returns.
static UINT64 TimeDevicePathInstall() {
  UINT64 Least = ~0ULL;
  for (UINTN Repeat = 0; Repeat < COST_REPEATS; Repeat++) {
    EFI_HANDLE Handle = nullptr;
    EFI_DEVICE_PATH_PROTOCOL *Path = FakePath(MAX_FAKE_DEVICES);
    const UINT64 Start = ReadTimeStampCounter();
    const EFI_STATUS Status =
        BootServices->InstallProtocolInterface(&Handle, &DevicePathProtocolGuid, EFI_NATIVE_INTERFACE, Path);
    const UINT64 Time = ReadTimeStampCounter() - Start;
    if (!Expect(Status == EFI_SUCCESS, "installing a device path: %s", StatusName(Status))) {
      return 0;
    }
    (VOID) BootServices->UninstallProtocolInterface(Handle, &DevicePathProtocolGuid, Path);
    Least = Time < Least ? Time : Least;
  }
  return Least;
}

static VOID EFIAPI Nothing(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;
}

static UINT64 TimeReadyToBoot() {
  EFI_EVENT Event = nullptr;
  if (!Expect(BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, Nothing, nullptr, &ReadyToBootGroupGuid,
                                          &Event) == EFI_SUCCESS,
              "no event in the ready-to-boot group")) {
    return 0;
  }
  UINT64 Least = ~0ULL;
  for (UINTN Repeat = 0; Repeat < COST_REPEATS; Repeat++) {
    const UINT64 Start = ReadTimeStampCounter();
    BootServices->SignalEvent(Event);
    const UINT64 Time = ReadTimeStampCounter() - Start;
    Least = Time < Least ? Time : Least;
  }
  BootServices->CloseEvent(Event);
  return Least;
}

static VOID PrintNotifications() {
  static const UINTN Counts[] = {1, 8, MAX_FAKE_DEVICES};
  for (UINTN Count : Counts) {
    if (!AddFakeDevices(Count)) {
      return;
    }
    Print("BOARD: COST arrival handles=%llu ns=%llu\n", (UINT64)Count, TimeDevicePathInstall());
  }
  Print("BOARD: COST ready_to_boot ns=%llu\n", TimeReadyToBoot());
}

VOID MeasureBootCost() {
  CHAR8 Step[COST_STEP_SIZE] = "";
  const bool Read = FwCfgReadText(COST_STEP_SETTING, Step, sizeof(Step));
  if (!Expect(Read && (AsciiEqual(Step, "prepare") || AsciiEqual(Step, "measure")),
              "fw_cfg setting %s is missing or not prepare or measure", COST_STEP_SETTING) ||
      StandInRecord() == nullptr) {
    return;
  }
  if (AsciiEqual(Step, "prepare")) {
    UINT8 Enable[CONNECTOR_COUNT];
    for (UINTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
      Enable[Connector] = AsciiEqual(ConnectorTable[Connector].Label, DISABLED_CONNECTOR) ? 0 : 1;
    }
    if (WriteSetupBytes(SETUP_VARIABLE_SIZE, USB_CONNECTOR_CONTROL_PER_CONNECTOR, Enable)) {
      ReportReboot("setup stored");
    }
    return;
  }
  PrintStamps();
  PrintNotifications();
}
