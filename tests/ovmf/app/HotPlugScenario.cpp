// UsbConnectorPolicyDxe loaded by OVMF's boot manager as a Driver#### option,
// before USB is enumerated, while the host plugs and unplugs sticks through
// QEMU's monitor and this application watches.
#include "Console.h"
#include "DevicePaths.h"
#include "DriverOptions.h"
#include "Guids.h"
#include "Report.h"
#include "ScenarioSupport.h"
#include "Scenarios.h"

// The connector on root port 8, which setup switches off.
static const CHAR8 *const DisabledConnector = "USB2_1p";

static VOID Prepare(const CHAR8 *const &Label) {
  if (WriteSetup(SETUP_VARIABLE_SIZE, ConnectorIndex(Label))) {
    RegisterDriversAndReset(POLICY_DRIVER_FILE);
  }
}

// Hot-plug: sticks are plugged and unplugged through QEMU's monitor while the
// application waits; the host runner carries out the "BOARD: HOTPLUG"
// requests. Each cycle plugs a stick on root port 4 (connector "A2",
// enabled), unplugs it, then plugs one on connector "USB2_1p" (root port 8,
// disabled). The firmware frees the handle of an unplugged device and hands
// its value to a later one, so the second stick may inherit the handle of a
// device the policy already examined; it must be blocked all the same.
// A blocked stick may leave its handle behind when unplugged, and the
// firmware then never enumerates that port again, so each cycle's stick on
// the disabled connector goes to a port of its own, behind hubs on root
// port 8 (the hubs themselves are not mass storage and keep USB I/O).
#define HOTPLUG_POLL_US 50000
#define MAX_HANDLES 512
#define HOTPLUG_TIMEOUT_POLLS 200  // 10 s
#define ENABLED_PORT "4"

// Each cycle's stick on the disabled connector gets a port of its own: hubs
// on ports 1-4 of a hub on root port 8, as tests/ovmf/run.py attaches them.
#define HOTPLUG_CYCLES 32
#define HUB_PORTS 8

static VOID DisabledPort(UINTN Cycle, CHAR8 *Port, UINTN Size) {
  FormatString(Port, Size, "8.%llu.%llu", (UINT64)(Cycle / HUB_PORTS + 1), (UINT64)(Cycle % HUB_PORTS + 1));
}

// Sticks are found by their port's device path in binary form
// (QemuPortPath), compared without the firmware's text conversion, so
// watching a port allocates no pool memory that would shuffle the handle
// values the firmware hands out.
static bool StartsWith(const EFI_DEVICE_PATH_PROTOCOL *Candidate, const DEVICE_PATH_BUFFER &Path) {
  const UINT8 *Bytes = (const UINT8 *)Candidate;
  if (DevicePathSize(Candidate) < Path.Size) {
    return false;
  }
  for (UINTN Index = 0; Index < Path.Size; Index++) {
    if (Bytes[Index] != Path.Bytes[Index]) {
      return false;
    }
  }
  return true;
}

struct STICK_VIEW {
  EFI_HANDLE Handle;  // null while nothing has that path
  bool UsbIo;
  UINTN BlockIo;
  UINTN FileSystems;
};

static EFI_HANDLE PathHandles[MAX_HANDLES];

static STICK_VIEW ViewStick(const DEVICE_PATH_BUFFER &Path) {
  STICK_VIEW Stick = {};
  UINTN Size = sizeof(PathHandles);
  if (BootServices->LocateHandle(ByProtocol, &DevicePathProtocolGuid, nullptr, &Size, PathHandles) != EFI_SUCCESS) {
    return Stick;
  }
  for (UINTN Index = 0; Index < Size / sizeof(EFI_HANDLE); Index++) {
    EFI_DEVICE_PATH_PROTOCOL *Candidate = nullptr;
    if (BootServices->HandleProtocol(PathHandles[Index], &DevicePathProtocolGuid, (VOID **)&Candidate) != EFI_SUCCESS) {
      continue;
    }
    if (!StartsWith(Candidate, Path)) {
      continue;
    }
    if (DevicePathSize(Candidate) == Path.Size) {
      Stick.Handle = PathHandles[Index];
      Stick.UsbIo = HasProtocol(PathHandles[Index], &UsbIoProtocolGuid);
    }
    Stick.BlockIo += HasProtocol(PathHandles[Index], &BlockIoProtocolGuid) ? 1 : 0;
    Stick.FileSystems += HasProtocol(PathHandles[Index], &SimpleFileSystemProtocolGuid) ? 1 : 0;
  }
  return Stick;
}

// Waits until the policy and the storage stack are done with the stick at
// Port: it lost USB I/O, or it carries a file system.
static STICK_VIEW SettledStick(const CHAR8 *Id, const CHAR8 *Port) {
  const DEVICE_PATH_BUFFER Path = QemuPortPath(Port);
  STICK_VIEW Stick = {};
  for (UINTN Poll = 0; Poll < HOTPLUG_TIMEOUT_POLLS; Poll++) {
    BootServices->Stall(HOTPLUG_POLL_US);
    Stick = ViewStick(Path);
    if (Stick.Handle != nullptr && (!Stick.UsbIo || Stick.FileSystems != 0)) {
      // A moment longer, for whatever the storage stack would still bind.
      BootServices->Stall(4 * HOTPLUG_POLL_US);
      return ViewStick(Path);
    }
  }
  Expect(false, "stick %s on port %s %s within 10 s", Id, Port,
         Stick.Handle == nullptr ? "did not appear" : "undecided");
  return Stick;
}

// The runner unplugs Gone and then plugs New while this application only
// waits, so that the firmware's own allocations alone decide which handle
// value the new stick gets, at times one it has just freed.
static STICK_VIEW ReplaceStick(const CHAR8 *Gone, const CHAR8 *New, const CHAR8 *Port) {
  Print("BOARD: HOTPLUG REPLACE %s %s %s\n", Gone, New, Port);
  BootServices->Stall(20 * HOTPLUG_POLL_US);
  return SettledStick(New, Port);
}

static VOID CheckHotPlug(const CHAR8 *const &Label) {
  (VOID) Label;
  if (StandInRecord() == nullptr) {
    return;
  }
  ExpectCapabilitiesPublished();
  EFI_HANDLE Earlier[2 * HOTPLUG_CYCLES] = {};
  UINTN Blocked = 0;
  UINTN Usable = 0;
  UINTN Inherited = 0;
  for (UINTN Cycle = 0; Cycle < HOTPLUG_CYCLES; Cycle++) {
    CHAR8 On[16];
    CHAR8 Off[16];
    FormatString(On, sizeof(On), "on%llu", (UINT64)Cycle + 1);
    FormatString(Off, sizeof(Off), "off%llu", (UINT64)Cycle + 1);
    CHAR8 Port[16];
    DisabledPort(Cycle, Port, sizeof(Port));
    Print("BOARD: HOTPLUG PLUG %s %s\n", On, ENABLED_PORT);
    const STICK_VIEW Enabled = SettledStick(On, ENABLED_PORT);
    const STICK_VIEW Disabled = ReplaceStick(On, Off, Port);

    // Whether the stick on the disabled connector got the handle value of a
    // stick this run saw before.
    INTN InheritedFrom = -1;
    for (UINTN Index = 0; Index < 2 * Cycle + 1; Index++) {
      InheritedFrom = Earlier[Index] == Disabled.Handle ? (INTN)Index : InheritedFrom;
    }
    Earlier[2 * Cycle] = Enabled.Handle;
    Earlier[2 * Cycle + 1] = Disabled.Handle;
    const bool EnabledWorks = Enabled.UsbIo && Enabled.FileSystems != 0;
    const bool DisabledBlocked = Disabled.Handle != nullptr && !Disabled.UsbIo && Disabled.BlockIo == 0;
    Inherited += InheritedFrom >= 0 ? 1 : 0;
    Usable += EnabledWorks ? 1 : 0;
    Blocked += DisabledBlocked ? 1 : 0;
    CHAR8 Key[16];
    CHAR8 Origin[40] = "";
    FormatString(Key, sizeof(Key), "cycle %llu", (UINT64)Cycle + 1);
    if (InheritedFrom >= 0) {
      FormatString(Origin, sizeof(Origin), " (handle of %s%llu)", InheritedFrom % 2 == 0 ? "on" : "off",
                   (UINT64)InheritedFrom / 2 + 1);
    }
    Observe(Key, "%s on port 4: 0x%llx %s, %llu file systems; %s on port %s: 0x%llx%s %s, %llu BlockIo", On,
            (UINT64)(UINTN)Enabled.Handle, Enabled.UsbIo ? "USB I/O" : "no USB I/O", (UINT64)Enabled.FileSystems,
            Off, Port, (UINT64)(UINTN)Disabled.Handle, Origin,
            Disabled.UsbIo ? "USB I/O" : "no USB I/O", (UINT64)Disabled.BlockIo);
    Expect(EnabledWorks, "cycle %llu: the stick on enabled root port 4 is not usable", (UINT64)Cycle + 1);
    if (DisabledBlocked) {
      Print("BOARD: HOTPLUG UNPLUG %s\n", Off);
    }
    // A usable stick is mounted, and OVMF hangs when a mounted stick behind
    // a hub is unplugged: the verdict is known, so stop here.
    if (!Expect(DisabledBlocked, "cycle %llu: the stick on disabled connector USB2_1p (port %s) is usable%s",
                (UINT64)Cycle + 1, Port, Origin)) {
      break;
    }
  }
  Observe("summary", "%llu sticks on USB2_1p blocked (%llu with an earlier stick's handle), %llu on port 4 usable",
          (UINT64)Blocked, (UINT64)Inherited, (UINT64)Usable);
  // The firmware hands out the same handle values from boot to boot; on this
  // one the cycles reuse some. Without a reuse the scenario proves nothing
  // about handles.
  Expect(Inherited != 0, "no stick on USB2_1p received an earlier stick's handle in %llu cycles", (UINT64)Blocked);
}

VOID HotPlugCyclesScenario() { RunTwoBoots(DisabledConnector, Prepare, CheckHotPlug); }
