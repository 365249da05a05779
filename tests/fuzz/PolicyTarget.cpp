// The policy driver's fuzz target: the operations a boot can throw at it,
// carried out on the fake firmware, with the oracle judging every
// notification. Field value 0 is always the plain case, so a line names only
// what is unusual.
#include <cctype>
#include <cstdio>

#include "FuzzTarget.h"
#include "PolicyOracle.h"
#include "TestFacts.h"

extern "C" EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

#define SETUP_ENABLES 32

static const std::vector<const char *> Classes = {"8", "3", "9", "255", "0", "6", "224", "1"};
static const UINT8 ClassValues[] = {8, 3, 9, 255, 0, 6, 224, 1};
static const std::vector<const char *> Services = {
    "LocateProtocol", "HandleProtocol", "LocateHandleBuffer", "LocateHandle", "FreePool",
    "UninstallMultipleProtocolInterfaces", "ConvertDevicePathToText", "UsbGetDeviceDescriptor",
    "UsbGetInterfaceDescriptor", "Write", "Apply", "GetVariable", "SetVariable", "CreateEvent", "CreateEventEx",
    "RegisterProtocolNotify", "ReinstallProtocolInterface"};
// Around the driver's 512 slots above all; never more than twice that many
// plugged at once, so that a sequence stays quick.
static const size_t MaxPlugged = 1024;
static const unsigned BurstCounts[] = {1, 2, 3, 8, 64, 200, 300, 510, 511, 512, 513, 514, 600, 700, 900, 1000};
static const std::vector<const char *> BurstCountNames = {"1",   "2",   "3",   "8",   "64",  "200", "300", "510",
                                                          "511", "512", "513", "514", "600", "700", "900", "1000"};
static std::vector<const char *> Counts() {
  static const char *const Names[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "15"};
  std::vector<const char *> Values(std::begin(Names), std::end(Names));
  Values.push_back("all");
  return Values;
}

const GRAMMAR TargetGrammar = {
    "policy",
    {
        // The driver's start: Setup as stored (off: connectors whose enable
        // byte is 0), the protocols installed before it, the timer, the
        // firmware's revision and how it hands out freed handles.
        {"load",
         {{"setup", 0, 3, {"exact", "missing", "short", "mid", "long"}},
          {"size", 3, 8},
          {"mode", 11, 2, {"7", "0", "3", "255"}},
          {"off", 13, 16, {}, true},
          {"on", 29, 8, {}, true},
          {"fill", 37, 8, {}, true},
          {"s3", 45, 1, {"yes", "no"}},
          {"text", 46, 1, {"yes", "no"}},
          {"hub", 47, 2, {"yes", "no", "null-apply", "null"}},
          {"timer", 49, 1, {"hob", "live"}},
          {"revision", 50, 1, {"2.70", "2.29"}},
          {"reuse", 51, 2, {"last", "first", "never"}}},
         2},
        // One USB interface: where (root port field, hubs behind it), its
        // path text, class and id, failing descriptor reads, and the order
        // the bus driver installs its two protocols in.
        {"plug",
         {{"root", 0, 5, {}, true},
          {"hubs", 5, 2},
          {"hub1", 7, 4, {}, true},
          {"hub2", 11, 2},
          {"hub3", 13, 2},
          {"interface", 15, 1},
          {"text", 16, 3, {"plain", "lower-digits", "lower", "upper", "cut", "empty", "other-controller", "non-ascii"}},
          {"cut", 19, 8},
          {"class", 27, 3, Classes},
          {"id", 30, 2, {"stick", "8087:0024", "8087:0025", "8086:0024"}},
          {"device-fails", 32, 2},
          {"interface-fails", 34, 2},
          {"order", 36, 2, {"together", "usb-io-first", "path-first"}}},
         12},
        // Many devices at once, their notifications coalesced: device i on
        // root field root + i * stride, every other one a keyboard with mix;
        // fewer when 1,024 would be plugged.
        {"burst",
         {{"count", 0, 4, BurstCountNames},
          {"root", 10, 5, {}, true},
          {"stride", 15, 3},
          {"class", 18, 3, Classes},
          {"mix", 21, 1, {"no", "yes"}},
          {"hubs", 22, 2}},
         1},
        // Devices leave (by position among those still plugged); the handle is freed.
        {"unplug", {{"which", 0, 8}, {"count", 8, 4, Counts()}}, 6},
        // The bus driver reinstalls a protocol on a live handle; a device
        // path may move the device, a USB I/O taken away comes back.
        {"reinstall",
         {{"which", 0, 8}, {"protocol", 8, 2, {"usb-io", "path", "moved-path"}}, {"root", 10, 5, {}, true}},
         5},
        // A device path on a handle of its own: a notification with nothing new.
        {"other-path", {}, 4},
        // Notifications wait until release, as at a raised TPL, and coalesce.
        {"hold", {}, 3},
        {"release", {}, 3},
        {"install",
         {{"protocol", 0, 3, {"s3", "text", "hub", "hub-null-apply", "hub-null"}},
          {"usb2", 3, 4},
          {"usb3", 7, 4}},
         3},
        // The driver's next calls of a service: the (nth + 1)-th fails with
        // the error status of that code.
        {"fail", {{"service", 0, 5, Services}, {"nth", 5, 4}, {"status", 9, 8, {}, true}}, 6},
        {"end-of-dxe", {{"bar", 0, 32, {}, true}, {"high", 32, 16, {}, true}}, 3},
        {"ready-to-boot", {{"bar", 0, 32, {}, true}, {"high", 32, 16, {}, true}}, 4},
    }};

namespace {

class PolicyRun {
 public:
  PolicyRun() : Oracle(World) {
    World.Fake = std::make_unique<FakeFirmware>();
    World.Fake->NotifyObserver = [this](const FAKE_EVENT &Event, bool Returned) { Oracle.Notify(Event, Returned); };
    FakeHardware.Mmio[XHCI_BAR0_LOW] = 0;
    FakeHardware.Mmio[XHCI_BAR0_HIGH] = 0;
  }

  void Apply(const OPERATION &Operation);
  void Finish() {
    if (World.Fake->HoldNotifies) {
      World.Fake->ReleaseNotifies();
    }
  }

 private:
  FakeFirmware &Fake() { return *World.Fake; }
  void Load(const OPERATION &Operation);
  void Plug(const OPERATION &Operation);
  void Burst(const OPERATION &Operation);
  void Unplug(const OPERATION &Operation);
  void Reinstall(const OPERATION &Operation);
  void Install(unsigned Protocol, UINT8 Usb2Port, UINT8 Usb3Port);
  // As the bus driver does: the device path on a new handle, then USB I/O.
  void InstallPathThenUsbIo(FAKE_USB_DEVICE &Device);
  std::vector<size_t> Plugged() const;
  // Installs what F installs as one call at a raised TPL: notifications run
  // once, afterwards, unless an outer hold keeps them.
  template <typename F>
  void Together(F Install) {
    const bool Held = Fake().HoldNotifies;
    Fake().HoldNotifies = true;
    Install();
    if (!Held) {
      Fake().ReleaseNotifies();
    }
  }

  POLICY_WORLD World;
  PolicyOracle Oracle;
  EFI_DEVICE_PATH_PROTOCOL OtherPath = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {4, 0}};
};

// The path text the firmware gives a device at root port field Root behind
// the hubs' port fields, in one of the forms a firmware may write.
std::u16string PathText(unsigned Root, unsigned Interface, const std::vector<unsigned> &Hubs, unsigned Form,
                        unsigned Cut) {
  enum { Plain, LowerDigits, Lower, Upper, CutShort, Empty, OtherController, NonAscii };
  const char *Digits = Form == LowerDigits ? "%x" : "%X";
  std::string Text = Form == OtherController ? "PciRoot(0x0)/Pci(0x1D,0x0)/" : "PciRoot(0x0)/Pci(0x14,0x0)/";
  char Node[32];
  std::snprintf(Node, sizeof(Node), (std::string("USB(0x") + Digits + ",0x" + Digits + ")").c_str(), Root, Interface);
  Text += Node;
  for (unsigned Hub : Hubs) {
    std::snprintf(Node, sizeof(Node), (std::string("/USB(0x") + Digits + ",0x0)").c_str(), Hub);
    Text += Node;
  }
  for (char &Char : Text) {
    Char = static_cast<char>(Form == Lower ? std::tolower(Char) : Form == Upper ? std::toupper(Char) : Char);
  }
  if (Form == CutShort && Cut < Text.size()) {
    Text.resize(Cut);
  }
  std::u16string Wide(Text.begin(), Text.end());
  if (Form == Empty) {
    Wide.clear();
  }
  if (Form == NonAscii) {
    // A letter whose low byte is 'U': no ASCII folding makes it one.
    Wide[Wide.find(u"USB")] = u'\u0155';
  }
  return Wide;
}

std::vector<size_t> PolicyRun::Plugged() const {
  std::vector<size_t> Devices;
  for (size_t Index = 0; Index < World.Unplugged.size(); Index++) {
    if (!World.Unplugged[Index]) {
      Devices.push_back(Index);
    }
  }
  return Devices;
}

void PolicyRun::Install(unsigned Protocol, UINT8 Usb2Port, UINT8 Usb3Port) {
  enum { S3, Text, Hub, HubWithNullApply, HubWithNullInterface };
  if (Protocol == S3 && !World.S3Installed) {
    World.S3Installed = true;
    Fake().InstallProtocolAndNotify(nullptr, Guids::S3SaveState, &Fake().S3SaveStateProtocol);
  } else if (Protocol == Text && !World.TextInstalled) {
    World.TextInstalled = true;
    Fake().InstallProtocolAndNotify(nullptr, Guids::DevicePathToText, &Fake().DevicePathToTextProtocol);
  } else if (Protocol >= Hub && World.Hub == HubAbsent) {
    World.Hub = Protocol == Hub ? HubWorking : Protocol == HubWithNullApply ? HubNullApply : HubNullInterface;
    Fake().HubPortDisableProtocol.Usb2Port = Usb2Port;
    Fake().HubPortDisableProtocol.Usb3Port = Usb3Port;
    if (Protocol == HubWithNullApply) {
      Fake().HubPortDisableProtocol.Apply = nullptr;
    }
    Oracle.HubInstalled(Usb2Port, Usb3Port);
    Fake().InstallProtocolAndNotify(nullptr, Guids::HubPortDisable,
                                    Protocol == HubWithNullInterface ? nullptr : &Fake().HubPortDisableProtocol);
  }
}

void PolicyRun::Load(const OPERATION &Operation) {
  if (World.Loaded) {
    return;
  }
  enum { Exact, Missing, Short, Mid, Long };
  const unsigned Setup = Operation["setup"];
  const unsigned Size = Operation["size"];
  if (Setup != Missing) {
    // Mid ends between the mode byte and the end of the enable bytes.
    const size_t MidRoom = TEST_SETUP_SIZE - TEST_SETUP_MODE_OFFSET - 1;
    const size_t Length = Setup == Short  ? Size * 12
                          : Setup == Mid  ? TEST_SETUP_MODE_OFFSET + 1 + Size % MidRoom
                          : Setup == Long ? TEST_SETUP_SIZE + 1 + Size
                                          : TEST_SETUP_SIZE;
    std::vector<UINT8> Data(std::max<size_t>(Length, TEST_SETUP_SIZE), static_cast<UINT8>(Operation["fill"]));
    static const UINT8 Modes[] = {7, 0, 3, 255};
    Data[TEST_SETUP_MODE_OFFSET] = Modes[Operation["mode"]];
    const UINT8 On = Operation["on"] != 0 ? static_cast<UINT8>(Operation["on"]) : 1;
    for (unsigned Connector = 0; Connector < SETUP_ENABLES; Connector++) {
      Data[TEST_SETUP_ENABLE_OFFSET + Connector] = (Operation["off"] >> Connector & 1) != 0 ? 0 : On;
    }
    Data.resize(Length);
    Fake().PutVariable(u"Setup", SetupGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, Data);
    World.Setup = Data;
  }
  if (Operation["s3"] == 0) {
    Install(0, 0, 0);
  }
  if (Operation["text"] == 0) {
    Install(1, 0, 0);
  }
  if (Operation["hub"] != 1) {
    Install(Operation["hub"] == 0 ? 2 : Operation["hub"] + 1, 0, 0);
  }
  FakeHobList Hobs;
  Hobs.Handoff();
  if (Operation["timer"] == 0) {
    Hobs.GuidHob(CalibrationGuid);
  }
  Fake().InstallHobList(std::move(Hobs.End()));
  World.OldRevision = Operation["revision"] != 0;
  if (World.OldRevision) {
    Fake().System.Hdr.Revision = OLD_REVISION;
  }
  Fake().ReuseFreedHandles = Operation["reuse"] != 2;
  Fake().ReuseOldestFreedHandle = Operation["reuse"] == 1;

  const size_t CallStart = Fake().Calls.size();
  World.EntryStatus = DriverEntry(Fake().ImageHandle, &Fake().System);
  World.Loaded = true;
  Oracle.Entered(CallStart);
}

void PolicyRun::Plug(const OPERATION &Operation) {
  static const UINT16 Ids[][2] = {{0x0781, 0x5567}, {0x8087, 0x0024}, {0x8087, 0x0025}, {0x8086, 0x0024}};
  std::vector<unsigned> Hubs = {Operation["hub1"], Operation["hub2"], Operation["hub3"]};
  Hubs.resize(Operation["hubs"]);
  const unsigned Id = Operation["id"];
  FAKE_USB_DEVICE &Device = Fake().MakeUsbDevice(
      PathText(Operation["root"], Operation["interface"], Hubs, Operation["text"], Operation["cut"]), Ids[Id][0],
      Ids[Id][1], ClassValues[Operation["class"]]);
  Device.DeviceReadFailures = Operation["device-fails"];
  Device.InterfaceReadFailures = Operation["interface-fails"];
  World.Unplugged.push_back(false);
  enum { BothThenNotify, UsbIoFirst, PathFirst };
  const unsigned Order = Operation["order"];
  if (Order == UsbIoFirst) {
    Device.Handle = Fake().InstallProtocolAndNotify(nullptr, Guids::UsbIo, &Device.UsbIo);
    Fake().InstallProtocolAndNotify(Device.Handle, Guids::DevicePath, &Device.DevicePath);
  } else if (Order == BothThenNotify) {
    Together([&] { InstallPathThenUsbIo(Device); });
  } else {
    InstallPathThenUsbIo(Device);
  }
}

void PolicyRun::InstallPathThenUsbIo(FAKE_USB_DEVICE &Device) {
  Device.Handle = Fake().InstallProtocolAndNotify(nullptr, Guids::DevicePath, &Device.DevicePath);
  Fake().InstallProtocolAndNotify(Device.Handle, Guids::UsbIo, &Device.UsbIo);
}

void PolicyRun::Burst(const OPERATION &Operation) {
  const size_t Room = MaxPlugged - std::min(Plugged().size(), MaxPlugged);
  const unsigned Count = static_cast<unsigned>(std::min<size_t>(BurstCounts[Operation["count"]], Room));
  Together([&] {
    for (unsigned Index = 0; Index < Count; Index++) {
      const unsigned Root = (Operation["root"] + Index * Operation["stride"]) % 16;
      const std::vector<unsigned> Hubs(Operation["hubs"], Index % 4);
      const UINT8 Class = Operation["mix"] != 0 && Index % 2 == 1 ? 3 : ClassValues[Operation["class"]];
      FAKE_USB_DEVICE &Device = Fake().MakeUsbDevice(PathText(Root, 0, Hubs, 0, 0), 0x0781, 0x5567, Class);
      World.Unplugged.push_back(false);
      InstallPathThenUsbIo(Device);
    }
  });
}

void PolicyRun::Unplug(const OPERATION &Operation) {
  const std::vector<size_t> Devices = Plugged();
  if (Devices.empty()) {
    return;
  }
  const size_t Count = Operation["count"] == 15 ? Devices.size() : std::min<size_t>(Operation["count"] + 1, Devices.size());
  for (size_t Step = 0; Step < Count; Step++) {
    const size_t Index = Devices[(Operation["which"] + Step) % Devices.size()];
    Fake().UnplugUsbDevice(*Fake().UsbDevices[Index]);
    World.Unplugged[Index] = true;
    Oracle.Unsettle(Index);
  }
}

void PolicyRun::Reinstall(const OPERATION &Operation) {
  const std::vector<size_t> Devices = Plugged();
  if (Devices.empty()) {
    return;
  }
  const size_t Index = Devices[Operation["which"] % Devices.size()];
  FAKE_USB_DEVICE &Device = *Fake().UsbDevices[Index];
  const bool UsbIo = Operation["protocol"] == 0;
  const EFI_GUID &Guid = UsbIo ? Guids::UsbIo : Guids::DevicePath;
  VOID *Old = Fake().FindProtocol(Device.Handle, Guid);
  Oracle.Unsettle(Index);
  if (UsbIo && Old == nullptr) {
    // USB I/O the policy took away, installed again.
    Fake().InstallProtocolAndNotify(Device.Handle, Guids::UsbIo, &Device.UsbIo);
    return;
  }
  VOID *New = UsbIo ? (Old == &Device.UsbIo ? static_cast<VOID *>(&Device.UsbIoAgain) : &Device.UsbIo)
                    : (Old == &Device.DevicePath ? static_cast<VOID *>(&Device.DevicePathAgain) : &Device.DevicePath);
  const std::u16string Text = Device.Text;
  if (Operation["protocol"] == 2) {
    Device.Text = PathText(Operation["root"], 0, {}, 0, 0);
  }
  if (Fake().Boot.ReinstallProtocolInterface(Device.Handle, &Guid, Old, New) != EFI_SUCCESS) {
    Device.Text = Text;
  }
}

void PolicyRun::Apply(const OPERATION &Operation) {
  if (Operation.Is("load")) {
    Load(Operation);
  } else if (Operation.Is("plug")) {
    Plug(Operation);
  } else if (Operation.Is("burst")) {
    Burst(Operation);
  } else if (Operation.Is("unplug")) {
    Unplug(Operation);
  } else if (Operation.Is("reinstall")) {
    Reinstall(Operation);
  } else if (Operation.Is("other-path")) {
    Fake().InstallProtocolAndNotify(nullptr, Guids::DevicePath, &OtherPath);
  } else if (Operation.Is("hold")) {
    Fake().HoldNotifies = true;
  } else if (Operation.Is("release")) {
    if (Fake().HoldNotifies) {
      Fake().ReleaseNotifies();
    }
  } else if (Operation.Is("install")) {
    Install(Operation["protocol"], static_cast<UINT8>(Operation["usb2"]), static_cast<UINT8>(Operation["usb3"]));
  } else if (Operation.Is("fail")) {
    const char *Service = Services[Operation["service"]];
    Fake().FailCall(Service, Fake().CallCount(Service) + Operation["nth"] + 1,
                    EFI_ERROR_BIT | Operation["status"]);
  } else {
    FakeHardware.Mmio[XHCI_BAR0_LOW] = Operation["bar"];
    FakeHardware.Mmio[XHCI_BAR0_HIGH] = Operation["high"];
    Fake().SignalEventGroup(Operation.Is("ready-to-boot") ? Guids::ReadyToBoot : Guids::EndOfDxe);
  }
}

}  // namespace

const char TargetName[] = FUZZ_TARGET;

void RunSequence(const std::vector<OPERATION> &Sequence) {
  LoadFreshImage();
  FakeHardware = FAKE_HARDWARE{};
  {
    PolicyRun Run;
    for (size_t Index = 0; Index < Sequence.size() && !Violated(); Index++) {
      Run.Apply(Sequence[Index]);
    }
    if (!Violated()) {
      Run.Finish();
    }
  }
  // Nothing of the run stays allocated, or libFuzzer would look for leaks.
  FakeHardware = FAKE_HARDWARE{};
}
