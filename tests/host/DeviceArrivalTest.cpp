// UsbConnectorPolicyDxe's device-arrival notify: which devices lose USB I/O,
// when handles are examined, the full handle table, failing firmware calls,
// and the prefix match with its ASCII upcasing.
#include "UsbConnectorPolicyTest.h"

// An ordinary USB stick; 8087:0024 is the chipset hub's id, which any stick
// can claim.
#define STICK_VENDOR_ID 0x0781
#define STICK_PRODUCT_ID 0x5567
#define CLASS_HID 3
#define CLASS_HUB 9

#define CONNECTOR(Index) (1U << (Index))
#define ALL_CONNECTORS 0x7FFU

static const std::u16string Port8Text = u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x7,0x0)";
static const std::u16string Port3Text = u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x2,0x0)";
// Below root port 13, on the hub's first downstream port 34.
static const std::u16string Port34Text = u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,0x0)/USB(0x0,0x0)";

class DeviceArrivalTest : public UsbConnectorPolicyTest {
 protected:
  void LoadFreshImage() override {
    UsbConnectorPolicyTest::LoadFreshImage();
    // Short-form text would not begin with the board's full-path prefixes.
    auto Convert = FAKE_SLOT<&EFI_DEVICE_PATH_TO_TEXT_PROTOCOL::ConvertDevicePathToText>::Handler;
    Fake->OnCall<&EFI_DEVICE_PATH_TO_TEXT_PROTOCOL::ConvertDevicePathToText>(
        [Convert](const EFI_DEVICE_PATH_PROTOCOL *Path, BOOLEAN DisplayOnly, BOOLEAN AllowShortcuts) {
          EXPECT_FALSE(DisplayOnly);
          EXPECT_FALSE(AllowShortcuts);
          return Convert(Path, DisplayOnly, AllowShortcuts);
        });
  }

  // Loads the driver in per-connector mode; bit k of Disabled turns connector k off.
  void Load(UINT32 Disabled) {
    std::array<UINT8, CONNECTOR_COUNT> Enable;
    for (UINTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
      Enable[Connector] = (Disabled & CONNECTOR(Connector)) != 0 ? 0 : 1;
    }
    InstallLoadTimeProtocols();
    PutSetup(USB_CONNECTOR_CONTROL_PER_CONNECTOR, Enable);
    ASSERT_EQ(RunEntry(), EFI_SUCCESS);
  }

  bool HasUsbIo(const FAKE_USB_DEVICE &Device) const {
    return Fake->FindProtocol(Device.Handle, Guids::UsbIo) == &Device.UsbIo;
  }

  // A device path on a handle without USB I/O, as any other driver installs one.
  void InstallOtherDevicePath() { Fake->InstallProtocolAndNotify(nullptr, Guids::DevicePath, &OtherDevicePath); }

  EFI_DEVICE_PATH_PROTOCOL OtherDevicePath = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {4, 0}};
};

struct ARRIVAL_CASE {
  const char *Name;
  std::u16string Text;
  UINT8 Class;
  UINT32 Disabled;      // bit k: connector k off in Setup
  unsigned Uninstalls;  // removal attempts; the device loses USB I/O when nonzero
  unsigned InterfaceReads = 1;
  UINT16 VendorId = STICK_VENDOR_ID;
  UINT16 ProductId = STICK_PRODUCT_ID;
  bool DisableAllowedCleared = false;  // every record's DisableAllowed set to 0 after load
};

static const ARRIVAL_CASE ArrivalCases[] = {
    {"class 8 on port 8, connector 10 off", Port8Text, CLASS_MASS_STORAGE, CONNECTOR(10), 1},
    {"class 8 on port 8, all but connector 10 off", Port8Text, CLASS_MASS_STORAGE, ALL_CONNECTORS & ~CONNECTOR(10), 0},
    {"class 3 on port 8, connector 10 off", Port8Text, CLASS_HID, CONNECTOR(10), 0},
    {"class 9 (a hub) on port 8, connector 10 off", Port8Text, CLASS_HUB, CONNECTOR(10), 0},
    {"class 8 behind a hub on port 8", Port8Text + u"/USB(0x2,0x0)", CLASS_MASS_STORAGE, CONNECTOR(10), 1},
    {"a class-8 stick claiming the chipset hub's id 8087:0024", Port8Text, CLASS_MASS_STORAGE, ALL_CONNECTORS, 1, 1,
     0x8087, 0x0024},
    {"port 34 text, A1 (port 13) off", Port34Text, CLASS_MASS_STORAGE, CONNECTOR(6), 1},
    {"port 34 text, B1 (port 34) off", Port34Text, CLASS_MASS_STORAGE, CONNECTOR(1), 1},
    {"port 34 text, both off: the second removal fails harmlessly", Port34Text, CLASS_MASS_STORAGE,
     CONNECTOR(1) | CONNECTOR(6), 2},
    {"port 34 text, every other connector off", Port34Text, CLASS_MASS_STORAGE,
     ALL_CONNECTORS & ~(CONNECTOR(1) | CONNECTOR(6)), 0},
    {"lower-case text on port 2", u"pciroot(0x0)/pci(0x14,0x0)/usb(0x1,0x0)", CLASS_MASS_STORAGE, CONNECTOR(5), 1},
    {"text one character short of port 8's prefix", u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x7", CLASS_MASS_STORAGE,
     ALL_CONNECTORS, 0},
    {"text shorter than every prefix", u"PciRoot(0x0)", CLASS_MASS_STORAGE, ALL_CONNECTORS, 0},
    {"empty text", u"", CLASS_MASS_STORAGE, ALL_CONNECTORS, 0},
    {"USB(0x10,...) is not port 2's USB(0x1,...)", u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x10,0x0)", CLASS_MASS_STORAGE,
     ALL_CONNECTORS, 0},
    {"grouped B1 off with DisableAllowed 0", u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)/USB(0x0,0x0)",
     CLASS_MASS_STORAGE, CONNECTOR(1), 1, 1, STICK_VENDOR_ID, STICK_PRODUCT_ID, true},
};

TEST_F(DeviceArrivalTest, MassStorageOnDisabledConnectorsLosesUsbIo) {
  // Guards against matching the wrong record or prefix, reading the wrong class or ID, consulting
  // DisableAllowed, stopping at the first matching record, and sparing a stick that claims an id.
  for (const ARRIVAL_CASE &Case : ArrivalCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    Load(Case.Disabled);
    if (Case.DisableAllowedCleared) {
      for (CONNECTOR_RECORD &Record : ConnectorRecords) {
        Record.DisableAllowed = 0;
      }
    }
    const FAKE_USB_DEVICE &Device = Fake->AddUsbDevice(Case.Text, Case.VendorId, Case.ProductId, Case.Class);
    EXPECT_EQ(HasUsbIo(Device), Case.Uninstalls == 0);
    EXPECT_NE(Fake->FindProtocol(Device.Handle, Guids::DevicePath), nullptr);
    EXPECT_EQ(Fake->CallCount("UninstallMultipleProtocolInterfaces"), Case.Uninstalls);
    EXPECT_EQ(Fake->CallCount("UsbGetInterfaceDescriptor"), Case.InterfaceReads);
    EXPECT_EQ(Fake->OutstandingPoolBuffers(), 0U);
  }
}

struct FAULT_CASE {
  const char *Service;
  unsigned Nth;
  UINT8 Class;
  bool KeepsUsbIo;  // after a later notification as well
  UINT16 VendorId = STICK_VENDOR_ID;
  UINT16 ProductId = STICK_PRODUCT_ID;
  unsigned Times = 1;  // calls Nth .. Nth + Times - 1 fail
  const char *AlsoFailing = nullptr;  // a second service whose Nth call fails too
};

// The device sits on port 8 with connector 10 off; a second device arrives after it.
static const FAULT_CASE FaultCases[] = {
    // The second LocateProtocol at load is the device-path-to-text one: the notification looks again.
    {"LocateProtocol", 2, CLASS_MASS_STORAGE, false},
    // Still missing at the device's own notification: it waits, unexamined, for the next one.
    {"LocateProtocol", 2, CLASS_MASS_STORAGE, false, STICK_VENDOR_ID, STICK_PRODUCT_ID, 2},
    {"CreateEvent", 1, CLASS_MASS_STORAGE, true},
    {"RegisterProtocolNotify", 1, CLASS_MASS_STORAGE, true},
    // Nothing recorded, so the next notification examines the device.
    {"LocateHandleBuffer", 1, CLASS_MASS_STORAGE, false},
    // An examination that could not finish, or a removal that failed, is tried again at the next one.
    {"HandleProtocol", 1, CLASS_MASS_STORAGE, false},
    {"HandleProtocol", 2, CLASS_MASS_STORAGE, false},
    {"ConvertDevicePathToText", 1, CLASS_MASS_STORAGE, false},
    {"UninstallMultipleProtocolInterfaces", 1, CLASS_MASS_STORAGE, false},
    // Unreadable descriptors keep the device under the policy, but for the chipset hub's id, which
    // spares a device whose interface cannot be read until the next look.
    {"UsbGetDeviceDescriptor", 1, CLASS_MASS_STORAGE, false, 0x8087, 0x0024},
    // An unreadable device descriptor claims no id: the unreadable interface counts as mass storage.
    {"UsbGetDeviceDescriptor", 1, CLASS_HID, false, STICK_VENDOR_ID, STICK_PRODUCT_ID, 1, "UsbGetInterfaceDescriptor"},
    {"UsbGetInterfaceDescriptor", 1, CLASS_HID, false},
    {"UsbGetInterfaceDescriptor", 1, CLASS_HID, true, 0x8087, 0x0024},
    {"UsbGetInterfaceDescriptor", 1, CLASS_MASS_STORAGE, false, 0x8087, 0x0024},
    {"UsbGetInterfaceDescriptor", 1, CLASS_HID, false, 0x8087, 0x0025},
    {"UsbGetInterfaceDescriptor", 1, CLASS_HID, false, 0x8086, 0x0024},
};

TEST_F(DeviceArrivalTest, EachFailingCallHasItsOutcome) {
  // Guards against using outputs of failed calls, giving up on a device after one transient
  // failure, leaking pool buffers on an early exit, and letting an unreadable descriptor exempt a
  // device, or exempt it for good.
  for (const FAULT_CASE &Case : FaultCases) {
    SCOPED_TRACE(testing::Message() << Case.Service << " #" << Case.Nth << " x" << Case.Times << " and "
                                    << (Case.AlsoFailing != nullptr ? Case.AlsoFailing : "nothing") << std::hex
                                    << " id " << Case.VendorId << ":" << Case.ProductId << " class " << +Case.Class);
    LoadFreshImage();
    for (unsigned Call = Case.Nth; Call < Case.Nth + Case.Times; Call++) {
      Fake->FailCall(Case.Service, Call, EFI_DEVICE_ERROR);
    }
    if (Case.AlsoFailing != nullptr) {
      Fake->FailCall(Case.AlsoFailing, Case.Nth, EFI_DEVICE_ERROR);
    }
    Load(CONNECTOR(10));
    const FAKE_USB_DEVICE &Device = Fake->AddUsbDevice(Port8Text, Case.VendorId, Case.ProductId, Case.Class);
    Fake->AddUsbDevice(Port3Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_HID);
    EXPECT_EQ(HasUsbIo(Device), Case.KeepsUsbIo);
    EXPECT_EQ(Fake->OutstandingPoolBuffers(), 0U);
  }
}

TEST_F(DeviceArrivalTest, DevicesPresentAtLoadWaitForTheNextDevicePath) {
  // Guards against examining at load, registering for the wrong protocol, or never examining
  // devices that were there before the driver.
  const FAKE_USB_DEVICE &Early = Fake->AddUsbDevice(Port8Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_MASS_STORAGE);
  Load(CONNECTOR(10));
  Fake->InstallProtocolAndNotify(nullptr, Guids::HubPortDisable, &Fake->HubPortDisableProtocol);
  EXPECT_TRUE(HasUsbIo(Early));
  EXPECT_EQ(Fake->CallCount("LocateHandleBuffer"), 0U);
  InstallOtherDevicePath();
  EXPECT_FALSE(HasUsbIo(Early));
}

TEST_F(DeviceArrivalTest, HandlesAreExaminedOnceAcrossNotifications) {
  // Guards against examining known handles again on every device-path installation.
  Load(ALL_CONNECTORS);
  for (const std::u16string &Text : {Port8Text, Port3Text, Port34Text}) {
    Fake->AddUsbDevice(Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_HID);
    InstallOtherDevicePath();
  }
  EXPECT_EQ(Fake->CallCount("LocateHandleBuffer"), 6U);
  EXPECT_EQ(Fake->CallCount("ConvertDevicePathToText"), 3U);
  EXPECT_EQ(Fake->CallCount("UsbGetDeviceDescriptor"), 3U);
}

TEST_F(DeviceArrivalTest, DevicesBeyondTheTableAreStillExamined) {
  // Guards against a full table leaving the devices that find no slot unexamined.
  Load(CONNECTOR(10));
  for (unsigned Device = 0; Device < SEEN_HANDLE_TABLE_SIZE; Device++) {
    Fake->AddUsbDevice(Port3Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_HID);
  }
  const FAKE_USB_DEVICE &Beyond = Fake->AddUsbDevice(Port8Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_MASS_STORAGE);
  EXPECT_FALSE(HasUsbIo(Beyond));
}

TEST_F(DeviceArrivalTest, ManyDevicesOverABootKeepThePolicyOn) {
  // Guards against slots kept for departed devices: once they fill the table, new devices would go
  // unexamined, or be examined again on every notification.
  Load(CONNECTOR(10));
  Fake->ReuseFreedHandles = false;
  for (unsigned Cycle = 0; Cycle < 2 * SEEN_HANDLE_TABLE_SIZE; Cycle++) {
    Fake->UnplugUsbDevice(Fake->AddUsbDevice(Port3Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_HID));
  }
  const unsigned Conversions = Fake->CallCount("ConvertDevicePathToText");
  const FAKE_USB_DEVICE &Stick = Fake->AddUsbDevice(Port8Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_MASS_STORAGE);
  const FAKE_USB_DEVICE &Keyboard = Fake->AddUsbDevice(Port3Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_HID);
  InstallOtherDevicePath();
  EXPECT_FALSE(HasUsbIo(Stick));
  EXPECT_TRUE(HasUsbIo(Keyboard));
  EXPECT_EQ(Fake->CallCount("ConvertDevicePathToText") - Conversions, 2U) << "each device examined once";
}

struct REUSE_CASE {
  const char *Name;
  unsigned Devices;  // unplugged, then replaced before one notification runs
  const char *RefusedThen = nullptr;  // a service whose first call in that notification fails
};

static const REUSE_CASE ReuseCases[] = {
    {"one device replaced", 1},
    {"three devices replaced before one notification", 3},
    {"three devices replaced, the firmware failing to say which handles have a new device path", 3, "LocateHandle"},
};

TEST_F(DeviceArrivalTest, AReusedHandleValueIsANewDevice) {
  // Guards against trusting a handle value: the firmware gives a freed handle to the next device,
  // and by the time a notification runs several devices may have done so; when the firmware
  // cannot say which, no mark can be trusted.
  for (const REUSE_CASE &Case : ReuseCases) {
    SCOPED_TRACE(Case.Name);
    LoadFreshImage();
    Load(CONNECTOR(10));
    std::vector<FAKE_USB_DEVICE *> Keyboards;
    for (unsigned Device = 0; Device < Case.Devices; Device++) {
      Keyboards.push_back(&Fake->AddUsbDevice(Port3Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_HID));
    }
    std::vector<EFI_HANDLE> Freed;
    for (FAKE_USB_DEVICE *Keyboard : Keyboards) {
      Freed.push_back(Keyboard->Handle);
      Fake->UnplugUsbDevice(*Keyboard);
    }
    std::vector<const FAKE_USB_DEVICE *> Sticks;
    for (unsigned Device = 0; Device < Case.Devices; Device++) {
      Sticks.push_back(&Fake->AddUsbDevice(Port8Text, STICK_VENDOR_ID, STICK_PRODUCT_ID, CLASS_MASS_STORAGE, false));
    }
    if (Case.RefusedThen != nullptr) {
      Fake->FailCall(Case.RefusedThen, Fake->CallCount(Case.RefusedThen) + 1, EFI_DEVICE_ERROR);
    }
    InstallOtherDevicePath();
    for (const FAKE_USB_DEVICE *Stick : Sticks) {
      EXPECT_NE(std::find(Freed.begin(), Freed.end(), Stick->Handle), Freed.end()) << "a freed handle value";
      EXPECT_FALSE(HasUsbIo(*Stick));
    }
  }
}

struct UPCASE_CASE {
  std::u16string Text;
  std::u16string Expected;
};

static const UPCASE_CASE UpcaseCases[] = {
    {u"pciroot(0x0)/usb(0xc,0x0)", u"PCIROOT(0X0)/USB(0XC,0X0)"},
    // Just outside 'a'-'z' on both sides, and upper case already.
    {u"`az{@AZ[", u"`AZ{@AZ["},
    // Non-ASCII letters, including ones whose low byte is an ASCII letter.
    {u"\u00e0\u00ff\u0161\uff41", u"\u00e0\u00ff\u0161\uff41"},
    {u"", u""},
};

TEST(AsciiUpcaseInPlaceTest, ChangesOnlyAsciiLowerCaseLetters) {
  // Guards against folding non-letters ('`', '{') or non-ASCII characters, and missing 'a' or 'z'.
  for (const UPCASE_CASE &Case : UpcaseCases) {
    std::u16string Text = Case.Text;
    SCOPED_TRACE(Narrow(Text.c_str()));
    EXPECT_EQ(AsciiUpcaseInPlace(Text.data()), Text.data());
    EXPECT_EQ(Text, Case.Expected);
  }
}

struct PREFIX_CASE {
  std::u16string Text;
  std::u16string Prefix;
  UINTN Length;
  bool Matches;
};

static const PREFIX_CASE PrefixCases[] = {
    {u"USB(0x7,", u"USB(0x7,", 8, true},
    {u"USB(0x7,0x0)/USB(0x1,0x0)", u"USB(0x7,", 8, true},
    {u"usb(0X7,0x0)", u"USB(0x7,", 8, true},
    {u"USB(0x7,0x0)", u"usb(0x7,", 8, true},
    {u"USB(0x7", u"USB(0x7,", 8, false},
    {u"", u"USB(0x7,", 8, false},
    {u"USB(0x10,0x0)", u"USB(0x1,", 8, false},
    {u"VSB(0x7,0x0)", u"USB(0x7,", 8, false},
    {u"USB(0x7;", u"USB(0x7,", 8, false},
    {u"ABX", u"ABY", 2, true},
    {u"ABX", u"ABY", 3, false},
    {u"a", u"A", 1, true},
    {u"{", u"[", 1, false},
    {u"`", u"@", 1, false},
    {u"\u00e0", u"\u00c0", 1, false},
    {u"\u0161", u"\u0141", 1, false},
    {u"USB(0x7,", u"USB(0x7,", 0, false},
};

TEST(MatchPortPathPrefixTest, MatchesTheFirstLengthCharactersIgnoringAsciiCase) {
  // Guards against reading past a short text or, at Length 0, past both strings, ignoring the
  // last character, comparing beyond Length, and folding anything but ASCII letters.
  for (const PREFIX_CASE &Case : PrefixCases) {
    // Exactly sized heap copies, so that a read past either string is caught.
    std::vector<CHAR16> Text(Case.Text.c_str(), Case.Text.c_str() + Case.Text.size() + 1);
    std::vector<CHAR16> Prefix(Case.Prefix.c_str(), Case.Prefix.c_str() + Case.Prefix.size() + 1);
    SCOPED_TRACE(Narrow(Text.data()) + " / " + Narrow(Prefix.data()) + " / " + std::to_string(Case.Length));
    EXPECT_EQ(MatchPortPathPrefix(Text.data(), Prefix.data(), Case.Length) == 0, Case.Matches);
  }
}
