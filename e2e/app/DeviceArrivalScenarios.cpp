// UsbConnectorPolicyDxe loaded by OVMF's boot manager as a Driver#### option,
// before USB is enumerated, on a QEMU xHCI with memory sticks, a hub and a
// keyboard: which devices kept USB I/O and which sticks OVMF's storage stack
// bound, seen from their device paths.
#include "BenchConsole.h"
#include "BenchResult.h"
#include "BenchScenarios.h"
#include "DriverOptions.h"
#include "Protocol/DevicePathToText.h"
#include "Protocol/Storage.h"
#include "Protocol/UsbIo.h"
#include "ScenarioSupport.h"

#define XHCI_PATH "PciRoot(0x0)/Pci(0x14,0x0)/"
#define PATH_TEXT_SIZE 160
#define MAX_HANDLES 512

// The devices e2e/run.py attaches: root ports are QEMU's USB2 port numbers
// (p3=0), whose device-path port field is one less.
struct USB_DEVICE {
  const CHAR8 *Name;
  const CHAR8 *Path;
  bool IsStick;
};

enum USB_DEVICE_BIT : UINT32 {
  StickOnPort8 = 1U << 0,     // connector 10 "USB2_1p"
  StickOnPort13 = 1U << 1,    // connector 6 "A1", second port
  StickBehindHub = 1U << 2,   // hub on port 1, its port 1: connector 1 "B1" (and 0 "Hub 1")
  KeyboardOnPort3 = 1U << 3,  // connector 6 "A1", first port
};

static const USB_DEVICE Devices[] = {
    {"stick on root port 8", XHCI_PATH "USB(0x7,0x0)", true},
    {"stick on root port 13", XHCI_PATH "USB(0xC,0x0)", true},
    {"stick behind the hub on root port 1", XHCI_PATH "USB(0x0,0x0)/USB(0x0,0x0)", true},
    {"keyboard on root port 3", XHCI_PATH "USB(0x2,0x0)", false},
};

struct ARRIVAL_CASE {
  UINT8 Mode;
  INTN DisabledConnector;
  UINT32 Blocked;  // USB_DEVICE_BITs that must lose USB I/O and storage
};

static const ARRIVAL_CASE Usb2OnePortCase = {SETUP_MODE_PER_CONNECTOR, 10, StickOnPort8};
static const ARRIVAL_CASE A1Case = {SETUP_MODE_PER_CONNECTOR, 6, StickOnPort13};
static const ARRIVAL_CASE B1Case = {SETUP_MODE_PER_CONNECTOR, 1, StickBehindHub};
// Mode 0 with every enable byte 0: the mode alone keeps everything on.
static const ARRIVAL_CASE Mode0Case = {0, ALL_CONNECTORS, 0};

struct HANDLE_VIEW {
  CHAR8 Path[PATH_TEXT_SIZE];
  bool UsbIo;
  bool BlockIo;
  bool FileSystem;
};

static HANDLE_VIEW Views[MAX_HANDLES];
static UINTN ViewCount;

static const EFI_GUID DevicePathToTextProtocolGuid = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
static const EFI_GUID UsbIoProtocolGuid = EFI_USB_IO_PROTOCOL_GUID;
static const EFI_GUID BlockIoProtocolGuid = EFI_BLOCK_IO_PROTOCOL_GUID;
static const EFI_GUID SimpleFileSystemProtocolGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;

static bool HasProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol) {
  VOID *Interface = nullptr;
  return gBS->HandleProtocol(Handle, Protocol, &Interface) == EFI_SUCCESS;
}

// Every handle with a device path, as text with the protocols of interest.
static bool CollectHandles() {
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *ToText = nullptr;
  EFI_HANDLE *Handles = nullptr;
  UINTN Count = 0;
  if (!Expect(gBS->LocateProtocol(&DevicePathToTextProtocolGuid, nullptr, (VOID **)&ToText) == EFI_SUCCESS,
              "no device-path-to-text protocol") ||
      !Expect(gBS->LocateHandleBuffer(ByProtocol, &DevicePathProtocolGuid, nullptr, &Count, &Handles) == EFI_SUCCESS,
              "no handles with a device path")) {
    return false;
  }
  ViewCount = 0;
  for (UINTN Index = 0; Index < Count && ViewCount < MAX_HANDLES; Index++) {
    EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
    if (gBS->HandleProtocol(Handles[Index], &DevicePathProtocolGuid, (VOID **)&Path) != EFI_SUCCESS) {
      continue;
    }
    CHAR16 *Text = ToText->ConvertDevicePathToText(Path, FALSE, FALSE);
    if (Text == nullptr) {
      continue;
    }
    HANDLE_VIEW &View = Views[ViewCount++];
    AsciiFromText(Text, View.Path, sizeof(View.Path));
    gBS->FreePool(Text);
    View.UsbIo = HasProtocol(Handles[Index], &UsbIoProtocolGuid);
    View.BlockIo = HasProtocol(Handles[Index], &BlockIoProtocolGuid);
    View.FileSystem = HasProtocol(Handles[Index], &SimpleFileSystemProtocolGuid);
  }
  gBS->FreePool(Handles);
  return true;
}

// Path is Device's own path or one below it.
static bool IsUnder(const CHAR8 *Path, const CHAR8 *Device) {
  for (; *Device != '\0'; Path++, Device++) {
    if (*Path != *Device) {
      return false;
    }
  }
  return *Path == '\0' || *Path == '/';
}

struct DEVICE_STATE {
  bool Present;
  bool UsbIo;
  UINTN BlockIo;
  UINTN FileSystems;
};

static DEVICE_STATE StateOf(const USB_DEVICE &Device) {
  DEVICE_STATE State = {};
  for (UINTN Index = 0; Index < ViewCount; Index++) {
    const HANDLE_VIEW &View = Views[Index];
    if (AsciiEqual(View.Path, Device.Path)) {
      State.Present = true;
      State.UsbIo = View.UsbIo;
    }
    if (IsUnder(View.Path, Device.Path)) {
      State.BlockIo += View.BlockIo ? 1 : 0;
      State.FileSystems += View.FileSystem ? 1 : 0;
    }
  }
  return State;
}

static VOID Prepare(const ARRIVAL_CASE &Case) {
  if (!WriteSetup(SETUP_SIZE, Case.Mode, Case.DisabledConnector)) {
    return;
  }
  RegisterDriversAndReset(POLICY_DRIVER_FILE);
}

static VOID Check(const ARRIVAL_CASE &Case) {
  if (BenchBoardRecord() == nullptr || !CollectHandles()) {
    return;
  }
  // The capability block shows that the boot manager started the policy
  // driver.
  ExpectCapabilitiesPublished();
  for (UINTN Index = 0; Index < sizeof(Devices) / sizeof(Devices[0]); Index++) {
    const USB_DEVICE &Device = Devices[Index];
    const DEVICE_STATE State = StateOf(Device);
    const bool Blocked = (Case.Blocked & (1U << Index)) != 0;
    Observe(Device.Name, "%s: %s, %llu BlockIo, %llu file systems", Device.Path,
            !State.Present ? "not found"
            : State.UsbIo  ? "USB I/O"
                           : "no USB I/O",
            (UINT64)State.BlockIo, (UINT64)State.FileSystems);
    if (!Expect(State.Present, "%s (%s) not enumerated", Device.Name, Device.Path)) {
      continue;
    }
    if (Blocked) {
      Expect(!State.UsbIo && State.BlockIo == 0, "%s still usable: USB I/O %u, %llu BlockIo", Device.Name, State.UsbIo,
             (UINT64)State.BlockIo);
    } else {
      Expect(State.UsbIo, "%s lost its USB I/O", Device.Name);
      Expect(!Device.IsStick || (State.BlockIo != 0 && State.FileSystems != 0),
             "%s not bound by the storage stack: %llu BlockIo, %llu file systems", Device.Name, (UINT64)State.BlockIo,
             (UINT64)State.FileSystems);
    }
  }
}

VOID ArrivalUsb2OnePortScenario() { RunTwoBoots(Usb2OnePortCase, Prepare, Check); }

VOID ArrivalA1Scenario() { RunTwoBoots(A1Case, Prepare, Check); }

VOID ArrivalB1Scenario() { RunTwoBoots(B1Case, Prepare, Check); }

VOID ArrivalMode0Scenario() { RunTwoBoots(Mode0Case, Prepare, Check); }
