// Each rule is one function, judged at the moment it speaks of: the arrival
// rules when an arrival notification returns, the port rules when End-of-DXE
// or ready-to-boot returns, the load rules when the entry point returns.
#include "PolicyOracle.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>

// The board's wiring, as facts: port ranges and connector rows.
#include <Board.h>

#include "FuzzTarget.h"
#include "TestFacts.h"

// The controller's place, Setup's per-connector mode, the published block's
// size and the chipset hub's id, as the hardware and the producing
// components define them.
#define XHCI_PATH_TEXT "PciRoot(0x0)/Pci(0x14,0x0)/"
#define MODE_PER_CONNECTOR 7
#define CAPABILITIES_SIZE 160
#define HUB_VENDOR 0x8087
#define HUB_PRODUCT 0x0024
// Devices the driver keeps a mark for; beyond them it examines at every notification.
#define SEEN_TABLE_SIZE 512
#define HUB_PORTS 4

static std::string Format(const char *Pattern, unsigned long long A = 0, unsigned long long B = 0,
                          unsigned long long C = 0) {
  char Text[160];
  std::snprintf(Text, sizeof(Text), Pattern, A, B, C);
  return Text;
}

// ---------------------------------------------------------------------------
// The board's facts, worked out here

static const PORT_RANGE *RangeOf(UINTN Port) {
  for (const PORT_RANGE &Range : PortRanges) {
    if (Port >= Range.FirstPort && Port < static_cast<UINTN>(Range.FirstPort + Range.Count)) {
      return &Range;
    }
  }
  return nullptr;
}

// What a device's path text begins with when it sits at or behind the port:
// a root port's field is its number - 1, a hub port's its place in its range.
static std::string PortPath(UINTN Port) {
  const PORT_RANGE *Range = RangeOf(Port);
  if (Range == nullptr) {
    return "";
  }
  if (Range->HubRootPort == 0) {
    return Format(XHCI_PATH_TEXT "USB(0x%llX,", Port - 1);
  }
  return Format(XHCI_PATH_TEXT "USB(0x%llX,0x0)/USB(0x%llX,", Range->HubRootPort - 1, Port - Range->FirstPort);
}

static char16_t FoldAscii(char16_t Char) { return Char >= u'a' && Char <= u'z' ? Char - 0x20 : Char; }

static bool LiesUnder(const std::u16string &Text, const std::string &Path) {
  if (Path.empty() || Text.size() < Path.size()) {
    return false;
  }
  for (size_t Index = 0; Index < Path.size(); Index++) {
    if (FoldAscii(Text[Index]) != FoldAscii(static_cast<char16_t>(Path[Index]))) {
      return false;
    }
  }
  return true;
}

static bool Grouped(const CONNECTOR_DESCRIPTOR &Row) { return (Row.Flags & CONNECTOR_FLAG_GROUPED) != 0; }
// Only a grouped row may forbid it.
static bool MayBeSwitchedOff(const CONNECTOR_DESCRIPTOR &Row) {
  return !Grouped(Row) || (Row.Flags & CONNECTOR_FLAG_DISABLE_ALLOWED) != 0;
}

// The published block, from the rows alone.
static std::vector<UINT8> BoardCapabilityBlock() {
  std::vector<UINT8> Block(CAPABILITIES_SIZE, 0);
  UINT8 Leader[8] = {};
  for (size_t Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    const CONNECTOR_DESCRIPTOR &Row = ConnectorTable[Connector];
    bool Present = Grouped(Row);
    for (UINT8 Port : Row.PortNumber) {
      Present = Present || Port != PORT_NONE;
    }
    Block[Connector] = Present;
    Block[64 + Connector] = 1;
    if (Grouped(Row)) {
      const unsigned Group = Row.Flags >> 5;
      if ((Row.Flags & CONNECTOR_FLAG_GROUP_LEADER) != 0) {
        Leader[Group] = static_cast<UINT8>(Connector);
      } else {
        Block[32 + Connector] = 1;
      }
      Block[64 + Connector] = (Row.Flags & CONNECTOR_FLAG_DISABLE_ALLOWED) != 0;
      Block[96 + Connector] = Leader[Group];
    }
  }
  return Block;
}

static std::string DeviceName(const FAKE_USB_DEVICE &Device, size_t Index) {
  return Format("device %llu (", Index + 1) + Narrow(Device.Text.c_str()) +
         Format(", class %llu, id %04llX:%04llX)", Device.InterfaceDescriptor.InterfaceClass,
                Device.DeviceDescriptor.IdVendor, Device.DeviceDescriptor.IdProduct);
}

// ---------------------------------------------------------------------------

PolicyOracle::PolicyOracle(POLICY_WORLD &World) : World(World) {}

size_t PolicyOracle::DeviceAbout(const VOID *Subject) const {
  const FakeFirmware &Fake = *World.Fake;
  const FAKE_USB_DEVICE *Device = Fake.FindUsbDevice(Subject);
  if (Device == nullptr) {
    const EFI_HANDLE Handle = reinterpret_cast<EFI_HANDLE>(const_cast<VOID *>(Subject));
    Device = Fake.FindUsbDevice(Fake.FindProtocol(Handle, Guids::DevicePath));
    Device = Device != nullptr ? Device : Fake.FindUsbDevice(Fake.FindProtocol(Handle, Guids::UsbIo));
  }
  const auto Index = IndexOf.find(Device);
  return Index != IndexOf.end() && Index->second < Start.Devices.size() ? Index->second : Start.Devices.size();
}

bool PolicyOracle::CarriesUsbIo(size_t Index) const {
  const FAKE_USB_DEVICE &Device = *World.Fake->UsbDevices[Index];
  if (World.Unplugged[Index] || Device.Handle == nullptr) {
    return false;
  }
  const VOID *UsbIo = World.Fake->FindProtocol(Device.Handle, Guids::UsbIo);
  return UsbIo == &Device.UsbIo || UsbIo == &Device.UsbIoAgain;
}

bool PolicyOracle::HasPath(size_t Index) const {
  const FAKE_USB_DEVICE &Device = *World.Fake->UsbDevices[Index];
  if (World.Unplugged[Index] || Device.Handle == nullptr) {
    return false;
  }
  const VOID *Path = World.Fake->FindProtocol(Device.Handle, Guids::DevicePath);
  return Path == &Device.DevicePath || Path == &Device.DevicePathAgain;
}

// Per-connector mode, and the connector's enable byte 0; bytes past the end
// of a short Setup read as 0.
bool PolicyOracle::SwitchedOff(size_t Connector) const {
  const std::vector<UINT8> &Setup = *World.Setup;
  const auto Byte = [&](size_t Offset) { return Offset < Setup.size() ? Setup[Offset] : 0; };
  return Byte(TEST_SETUP_MODE_OFFSET) == MODE_PER_CONNECTOR && Byte(TEST_SETUP_ENABLE_OFFSET + Connector) == 0;
}

bool PolicyOracle::ReachesSwitchedOff(const std::u16string &Text) const {
  for (size_t Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    if (!SwitchedOff(Connector)) {
      continue;
    }
    for (UINT8 Port : ConnectorTable[Connector].PortNumber) {
      if (Port != PORT_NONE && LiesUnder(Text, PortPath(Port))) {
        return true;
      }
    }
  }
  return false;
}

// Whether an injected fault answered a call since From; Call is as the call
// log names it ("LocateProtocol(S3SaveState)").
bool PolicyOracle::Refused(size_t From, const char *Call) const {
  for (size_t Index = From; Index < World.Fake->Calls.size(); Index++) {
    if (World.Fake->Calls[Index].Refused && World.Fake->CallLog[Index] == Call) {
      return true;
    }
  }
  return false;
}

void PolicyOracle::Unsettle(size_t Device) {
  if (Device < Settled.size()) {
    Settled[Device] = false;
  }
}

void PolicyOracle::HubInstalled(UINT8 Usb2Port, UINT8 Usb3Port) {
  HubUsb2Member = Usb2Port;
  HubUsb3Member = Usb3Port;
}

// Every buffer a service handed out is back before the driver returns, but
// one whose FreePool was refused.
void PolicyOracle::CheckPool() {
  const std::vector<FAKE_CALL> &Calls = World.Fake->Calls;
  for (; CountedCalls < Calls.size(); CountedCalls++) {
    RefusedFrees += Calls[CountedCalls].Refused && std::strcmp(Calls[CountedCalls].Service, "FreePool") == 0;
  }
  if (World.Fake->OutstandingPoolBuffers() != RefusedFrees) {
    Violation("every buffer the firmware hands the driver is freed before it returns",
              Format("%llu buffers outstanding, %llu of them kept by a refused FreePool",
                     World.Fake->OutstandingPoolBuffers(), RefusedFrees));
  }
}

// ---------------------------------------------------------------------------
// Load

void PolicyOracle::Entered(size_t CallStart) {
  const std::vector<FAKE_CALL> &Calls = World.Fake->Calls;
  EFI_STATUS Expected = EFI_SUCCESS;
  if (World.OldRevision) {
    Expected = EFI_INCOMPATIBLE_VERSION;
  } else if (Refused(CallStart, "GetVariable(Setup)")) {
    for (size_t Index = CallStart; Index < Calls.size(); Index++) {
      if (World.Fake->CallLog[Index] == "GetVariable(Setup)") {
        Expected = Calls[Index].Status;
      }
    }
  } else if (!World.Setup.has_value()) {
    Expected = EFI_NOT_FOUND;
  } else if (World.Setup->size() > TEST_SETUP_SIZE) {
    Expected = EFI_BUFFER_TOO_SMALL;
  }
  if (World.EntryStatus != Expected) {
    Violation("the entry point fails only at the revision gate or when Setup cannot be read",
              "returned " + StatusName(World.EntryStatus) + ", expected " + StatusName(Expected));
  }
  if (World.OldRevision && Calls.size() != CallStart) {
    Violation("an old firmware gets no call", World.Fake->CallLog[CallStart]);
  }
  LoadedOk = Expected == EFI_SUCCESS;

  const FAKE_VARIABLE *Published = World.Fake->FindVariable(u"UsbConnectorCapabilities", CapabilitiesGuid);
  const bool Publishes = LoadedOk && !Refused(CallStart, "SetVariable(UsbConnectorCapabilities)");
  if (Publishes != (Published != nullptr)) {
    Violation("UsbConnectorCapabilities is published exactly when the driver loads",
              Published != nullptr ? "published" : "not published");
  } else if (Published != nullptr &&
             (Published->Attributes != EFI_VARIABLE_BOOTSERVICE_ACCESS || Published->Data != BoardCapabilityBlock())) {
    std::string Bytes;
    for (UINT8 Byte : Published->Data) {
      Bytes += Format("%02llX", Byte);
    }
    Violation("UsbConnectorCapabilities holds the board's 160 bytes, boot-time only",
              Format("attributes 0x%llX, bytes ", Published->Attributes) + Bytes);
  }

  if (LoadedOk) {
    for (size_t Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
      const CONNECTOR_DESCRIPTOR &Row = ConnectorTable[Connector];
      if (!SwitchedOff(Connector) || !MayBeSwitchedOff(Row)) {
        continue;
      }
      for (UINT8 Port : Row.PortNumber) {
        const PORT_RANGE *Range = Port == PORT_NONE ? nullptr : RangeOf(Port);
        if (Range != nullptr && Range->Mask != NoPortMask) {
          Masks[Range->Mask] |= static_cast<UINT16>(1U << (Port - Range->FirstPort));
        }
      }
    }
  }
  CheckPool();
}

// ---------------------------------------------------------------------------
// Notifications

void PolicyOracle::Notify(const FAKE_EVENT &Event, bool Returned) {
  FakeFirmware &Fake = *World.Fake;
  if (!Returned) {
    Start = {Fake.Calls.size(), FakeHardware.MmioLog.size(), Fake.BootScript.size(), Fake.HubApplies.size(), 0, {}, {}};
    for (FAKE_REGISTRATION *Registration : Fake.Registrations()) {
      if (Registration->Protocol == Guids::DevicePath) {
        Start.Pending.assign(Registration->Pending.begin(), Registration->Pending.end());
      }
    }
    Settled.resize(Fake.UsbDevices.size(), false);
    for (size_t Index = IndexOf.size(); Index < Fake.UsbDevices.size(); Index++) {
      IndexOf[Fake.UsbDevices[Index].get()] = Index;
    }
    for (size_t Index = 0; Index < Fake.UsbDevices.size(); Index++) {
      const FAKE_USB_DEVICE &Device = *Fake.UsbDevices[Index];
      Start.Devices.push_back(
          {CarriesUsbIo(Index), HasPath(Index), Device.DeviceReadFailures, Device.InterfaceReadFailures});
      Start.PresentUsbIo += Start.Devices.back().HadUsbIo;
    }
    return;
  }
  if (!Event.Group.has_value()) {
    CheckArrival();
  } else {
    CheckPortSignal(*Event.Group == Guids::ReadyToBoot);
  }
  CheckPool();
}

// A fault excuses the device whose call it hit: by the call's subject, or
// for a lookup made on a device's behalf, the device examined then, or for
// the report of new device paths, the device whose path it would have given.
PolicyOracle::ARRIVAL PolicyOracle::ReadArrivalCalls() const {
  const FakeFirmware &Fake = *World.Fake;
  const size_t DeviceCount = Start.Devices.size();
  ARRIVAL Arrival;
  Arrival.Seen.resize(DeviceCount);
  size_t Current = DeviceCount;
  size_t PendingTaken = 0;
  for (size_t Index = Start.Calls; Index < Fake.Calls.size(); Index++) {
    const FAKE_CALL &Call = Fake.Calls[Index];
    const std::string Service = Call.Service;
    size_t Device = Call.Subject != nullptr ? DeviceAbout(Call.Subject) : DeviceCount;
    if (Service == "LocateHandle") {
      Device = PendingTaken < Start.Pending.size() ? DeviceAbout(Start.Pending[PendingTaken]) : DeviceCount;
      PendingTaken += !Call.Refused && Call.Status == EFI_SUCCESS;
    } else if (Service == "LocateProtocol" && Call.Refused) {
      Device = Current;
    } else if (Device != DeviceCount) {
      Current = Device;
    }
    Arrival.ListingRefused = Arrival.ListingRefused || (Call.Refused && Service == "LocateHandleBuffer");
    Arrival.ReportRefused = Arrival.ReportRefused || (Call.Refused && Service == "LocateHandle");
    if (Device == DeviceCount) {
      continue;
    }
    EXAMINATION &Examination = Arrival.Seen[Device];
    Examination.Excused = Examination.Excused || Call.Refused;
    const bool Succeeded = !Call.Refused && Call.Status == EFI_SUCCESS;
    if (Service == "ConvertDevicePathToText") {
      Examination.Looks++;
      Examination.TextRead = !Call.Refused;
    } else if (Service == "UsbGetDeviceDescriptor") {
      Examination.Looks++;
      Examination.DeviceRead = Succeeded;
      Examination.DeviceRefused = Examination.DeviceRefused || Call.Refused;
    } else if (Service == "UsbGetInterfaceDescriptor") {
      Examination.Looks++;
      Examination.InterfaceRead = Succeeded;
      Examination.InterfaceRefused = Examination.InterfaceRefused || Call.Refused;
    }
  }
  return Arrival;
}

void PolicyOracle::CheckArrival() {
  FakeFirmware &Fake = *World.Fake;
  const size_t DeviceCount = Start.Devices.size();
  const ARRIVAL Arrival = ReadArrivalCalls();

  // Devices whose device path the firmware has not reported to the driver
  // yet will be reported, and may then be examined again.
  std::unordered_set<const VOID *> StillPending;
  for (FAKE_REGISTRATION *Registration : Fake.Registrations()) {
    if (Registration->Protocol == Guids::DevicePath) {
      StillPending.insert(Registration->Pending.begin(), Registration->Pending.end());
    }
  }
  for (size_t Index = 0; Index < DeviceCount; Index++) {
    const FAKE_USB_DEVICE &Device = *Fake.UsbDevices[Index];
    const DEVICE_START &Before = Start.Devices[Index];
    const EXAMINATION &Examination = Arrival.Seen[Index];
    if (World.Unplugged[Index]) {
      continue;
    }
    if (Before.HadPath && !HasPath(Index)) {
      Violation("nothing but USB I/O is ever taken from a device", DeviceName(Device, Index) + " lost its device path");
    }
    const bool Keeps = CarriesUsbIo(Index);
    const bool Off = LoadedOk && ReachesSwitchedOff(Device.Text);
    const bool MassStorage = Device.InterfaceDescriptor.InterfaceClass == CLASS_MASS_STORAGE;
    const bool ClaimsHub = Device.DeviceDescriptor.IdVendor == HUB_VENDOR && Device.DeviceDescriptor.IdProduct == HUB_PRODUCT;
    const bool InterfaceUnreadable = Before.InterfaceReadFailures != 0 || Examination.InterfaceRefused;
    const bool IdUnreadable = Before.DeviceReadFailures != 0 || Examination.DeviceRefused;
    // An unreadable interface counts as mass storage, unless the device
    // readably claims the chipset hub's id.
    const bool MayLose = Off && (InterfaceUnreadable ? !(ClaimsHub && !IdUnreadable) : MassStorage);
    const bool CouldExamine = World.TextInstalled && !Arrival.ListingRefused && Before.HadPath &&
                              !Examination.Excused && !InterfaceUnreadable;
    if (Before.HadUsbIo && !Keeps && !MayLose) {
      Violation("nothing but mass storage on a switched-off connector ever loses USB I/O",
                DeviceName(Device, Index) + " lost it");
    }
    if (Keeps && Off && MassStorage && CouldExamine) {
      Violation("no readable mass-storage device on a switched-off connector keeps USB I/O after a notification",
                DeviceName(Device, Index) + " kept it");
    }
    // A refused report of new device paths leaves the driver nothing to go
    // by but looking again.
    if (Settled[Index] && Examination.Looks != 0 && !Arrival.ReportRefused) {
      Violation("a device examined to the end and left its USB I/O is not examined again while it stays",
                DeviceName(Device, Index) + " examined again");
    }
    // A refused call about the device may leave it to be looked at again.
    if (Examination.Excused) {
      Settled[Index] = false;
    } else if (Before.HadUsbIo && Keeps && Examination.TextRead && Examination.DeviceRead &&
               Examination.InterfaceRead && Start.PresentUsbIo <= SEEN_TABLE_SIZE &&
               StillPending.count(Device.Handle) == 0) {
      Settled[Index] = true;
    }
  }
  if (FakeHardware.MmioLog.size() != Start.MmioAccesses || Fake.BootScript.size() != Start.BootScript ||
      Fake.HubApplies.size() != Start.HubApplies) {
    Violation("a device arrival touches no register, boot script or hub", "");
  }
}

// ---------------------------------------------------------------------------
// End-of-DXE and ready-to-boot

// The controller's register window as BAR0 names it now; 0 for none: all
// ones is an absent function, bit 0 an I/O BAR, 0 an unassigned one; a 64-bit
// BAR takes its upper dword from the next.
static UINT64 WindowBase() {
  const UINT32 Low = FakeHardware.Mmio[XHCI_BAR0_LOW];
  if (Low == 0xFFFFFFFFU || (Low & 0x1) != 0) {
    return 0;
  }
  const UINT64 High = (Low & 0x6) == 0x4 ? FakeHardware.Mmio[XHCI_BAR0_HIGH] : 0;
  return (High << 32 | Low) & ~0xFULL;
}

// The what-was-made list against the what-the-rule-requires list.
static void Compare(const std::string &Invariant, const std::vector<std::string> &Required,
                    const std::vector<std::string> &Made) {
  if (Made != Required) {
    std::string Detail = "required:";
    for (const std::string &Line : Required) {
      Detail += " " + Line;
    }
    Detail += "; made:";
    for (const std::string &Line : Made) {
      Detail += " " + Line;
    }
    Violation(Invariant, Detail);
  }
}

// The refusals among the calls of one service since the notification began,
// in order.
std::vector<bool> PolicyOracle::RefusalsOf(const char *Service) const {
  std::vector<bool> Refusals;
  for (size_t Index = Start.Calls; Index < World.Fake->Calls.size(); Index++) {
    if (std::strcmp(World.Fake->Calls[Index].Service, Service) == 0) {
      Refusals.push_back(World.Fake->Calls[Index].Refused);
    }
  }
  return Refusals;
}

// BAR0 alone is read, and only with a port off; ready-to-boot writes the two
// root-port masks, 32-bit, through a window.
void PolicyOracle::CheckRegisters(bool ReadyToBoot, UINT64 Base, const std::string &Moment) {
  const bool SixtyFour = (FakeHardware.Mmio[XHCI_BAR0_LOW] & 0x6) == 0x4;
  std::vector<std::string> Required;
  if (ReadyToBoot && AnyOff() && Base != 0) {
    Required = {Format("W 0x%llX=0x%llX", Base + USB2_PORT_DISABLE, Masks[0]),
                Format("W 0x%llX=0x%llX", Base + USB3_PORT_DISABLE, Masks[1])};
  }
  std::vector<std::string> Made;
  for (size_t Index = Start.MmioAccesses; Index < FakeHardware.MmioLog.size(); Index++) {
    const FAKE_MMIO_ACCESS &Access = FakeHardware.MmioLog[Index];
    const bool BarRead = Access.Address == XHCI_BAR0_LOW || (SixtyFour && Access.Address == XHCI_BAR0_HIGH);
    if (Access.Write || !AnyOff() || !BarRead) {
      Made.push_back(Format(Access.Write ? "W 0x%llX=0x%llX" : "R 0x%llX", Access.Address, Access.Value));
    }
  }
  Compare("only the root-port masks reach the port-disable registers, at ready-to-boot through a memory window" + Moment,
          Required, Made);
}

// Each root-port mask's 16-bit write, recorded once per boot at the address
// BAR0 names when it is taken, at the first signal with a root port off, a
// window and a save-state protocol; a refused Write at the next.
void PolicyOracle::CheckBootScript(UINT64 Base, const std::string &Moment) {
  FakeFirmware &Fake = *World.Fake;
  const bool Recordable = (Masks[0] | Masks[1]) != 0 && Base != 0 && World.S3Installed &&
                          !Refused(Start.Calls, "LocateProtocol(S3SaveState)");
  const std::vector<bool> Refusals = RefusalsOf("Write");
  std::vector<std::string> Required;
  size_t Call = 0;
  for (unsigned Mask = 0; Mask < 2 && Recordable; Mask++) {
    if (!Accepted[Mask] && !(Call < Refusals.size() && Refusals[Call++])) {
      Accepted[Mask] = true;
      const UINT64 Register = Mask == 0 ? USB2_PORT_DISABLE : USB3_PORT_DISABLE;
      Required.push_back(Format("Write(2, 1, 0x%llX, 1, 0x%llX)", Base + Register, Masks[Mask]));
    }
  }
  std::vector<std::string> Made;
  for (size_t Index = Start.BootScript; Index < Fake.BootScript.size(); Index++) {
    const FAKE_BOOT_SCRIPT_WRITE &Entry = Fake.BootScript[Index];
    UINT64 Value = 0;
    for (size_t Byte = Entry.Bytes.size(); Byte-- > 0;) {
      Value = Value << 8 | Entry.Bytes[Byte];
    }
    Made.push_back(Format("Write(%llu, %llu, 0x%llX", Entry.OpCode, Entry.Width, Entry.Address) +
                   Format(", %llu, 0x%llX)", Entry.Count, Value));
  }
  Compare("each root-port mask's 16-bit boot-script write is recorded once per boot" + Moment, Required, Made);
}

// Pass n of 1-4 sets the members whose bit is set, then calls Apply, at
// ready-to-boot only, through a protocol that can be called.
void PolicyOracle::CheckHubCalls(bool ReadyToBoot, const std::string &Moment) {
  FakeFirmware &Fake = *World.Fake;
  std::vector<std::string> Required;
  if (ReadyToBoot && AnyOff() && World.Hub == HubWorking && !Refused(Start.Calls, "LocateProtocol(HubPortDisable)")) {
    const std::vector<bool> Refusals = RefusalsOf("Apply");
    size_t Call = 0;
    for (unsigned Port = 1; Port <= HUB_PORTS; Port++) {
      const unsigned Bit = 1U << (Port - 1);
      const unsigned Usb2 = (Masks[2] & Bit) != 0 ? Port : 0;
      const unsigned Usb3 = (Masks[3] & Bit) != 0 ? Port : 0;
      HubUsb2Member = Usb2 != 0 ? Usb2 : HubUsb2Member;
      HubUsb3Member = Usb3 != 0 ? Usb3 : HubUsb3Member;
      if ((Usb2 != 0 || Usb3 != 0) && !(Call < Refusals.size() && Refusals[Call++])) {
        Required.push_back(Format("Apply(%llu, 0x%llX, %llu)", Usb3, Bit, Usb2) +
                           Format(" Usb2Port=%llu Usb3Port=%llu", HubUsb2Member, HubUsb3Member));
      }
    }
  }
  std::vector<std::string> Made;
  for (size_t Index = Start.HubApplies; Index < Fake.HubApplies.size(); Index++) {
    const FAKE_HUB_APPLY &Apply = Fake.HubApplies[Index];
    Made.push_back(Format("Apply(%llu, 0x%llX, %llu)", Apply.Usb3Port, Apply.PassBit, Apply.Usb2Port) +
                   Format(" Usb2Port=%llu Usb3Port=%llu", Apply.MemberUsb2Port, Apply.MemberUsb3Port));
  }
  Compare("the hub's Apply calls and port members are what the hub masks require" + Moment, Required, Made);
}

void PolicyOracle::CheckPortSignal(bool ReadyToBoot) {
  const std::string Moment = ReadyToBoot ? " (ready-to-boot)" : " (End-of-DXE)";
  const UINT64 Base = WindowBase();
  CheckRegisters(ReadyToBoot, Base, Moment);
  CheckBootScript(Base, Moment);
  CheckHubCalls(ReadyToBoot, Moment);
  if (!AnyOff() && World.Fake->Calls.size() != Start.Calls) {
    Violation("with nothing switched off, no firmware call" + Moment, World.Fake->CallLog[Start.Calls]);
  }
}
