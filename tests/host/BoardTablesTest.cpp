// The port ranges against the board's wiring: every port's path prefix and
// disable action, and the numbers that name no port.
#include "UsbConnectorPolicyTest.h"

using BoardTablesTest = UsbConnectorPolicyTest;

struct PORT_ROW {
  UINTN Port;
  const CHAR16 *Path;
  UINT8 Mask;  // a PORT_DISABLE_MASK, or NoPortMask
  UINT16 Bit;
};

// Ports not listed have neither path nor action.
static const PORT_ROW BoardPorts[] = {
    {1, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,", Usb2PortMask, 0x0001},
    {2, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,", Usb2PortMask, 0x0002},
    {3, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x2,", Usb2PortMask, 0x0004},
    {4, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x3,", Usb2PortMask, 0x0008},
    {5, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x4,", Usb2PortMask, 0x0010},
    {6, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x5,", Usb2PortMask, 0x0020},
    {7, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x6,", Usb2PortMask, 0x0040},
    {8, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x7,", Usb2PortMask, 0x0080},
    {9, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x8,", Usb2PortMask, 0x0100},
    {10, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x9,", Usb2PortMask, 0x0200},
    {11, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xA,", Usb2PortMask, 0x0400},
    {12, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xB,", Usb2PortMask, 0x0800},
    {13, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,", Usb3PortMask, 0x0001},
    {14, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,", Usb3PortMask, 0x0002},
    {30, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)/USB(0x0,", NoPortMask, 0},
    {31, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)/USB(0x1,", NoPortMask, 0},
    {32, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)/USB(0x2,", NoPortMask, 0},
    {33, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)/USB(0x3,", NoPortMask, 0},
    {34, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,0x0)/USB(0x0,", NoPortMask, 0},
    {35, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,0x0)/USB(0x1,", NoPortMask, 0},
    {36, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,0x0)/USB(0x2,", NoPortMask, 0},
    {37, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,0x0)/USB(0x3,", NoPortMask, 0},
    {38, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)/USB(0x0,", HubUsb2PortMask, 0x0001},
    {39, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)/USB(0x1,", HubUsb2PortMask, 0x0002},
    {40, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)/USB(0x2,", HubUsb2PortMask, 0x0004},
    {41, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)/USB(0x3,", HubUsb2PortMask, 0x0008},
    {42, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,0x0)/USB(0x0,", HubUsb3PortMask, 0x0001},
    {43, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,0x0)/USB(0x1,", HubUsb3PortMask, 0x0002},
    {44, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,0x0)/USB(0x2,", HubUsb3PortMask, 0x0004},
    {45, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,0x0)/USB(0x3,", HubUsb3PortMask, 0x0008},
};

TEST_F(BoardTablesTest, EveryPortNumberMatchesTheBoard) {
  // Guards against a shifted or mistyped range, a wrong path field, mask or bit, ports sharing one
  // copy of a prefix, and numbers outside every range (0, 15-29, 46-254, 0xFF) finding one.
  BuildPortPaths();
  std::vector<const CHAR16 *> Paths;
  for (UINTN Port = 0; Port <= 0xFF; Port++) {
    Paths.push_back(GetPortPath(Port));
  }
  for (UINTN Port = 0; Port <= 0xFF; Port++) {
    SCOPED_TRACE("port " + std::to_string(Port));
    PORT_ROW Expected = {Port, u"", NoPortMask, 0};
    for (const PORT_ROW &Row : BoardPorts) {
      if (Row.Port == Port) {
        Expected = Row;
      }
    }
    // Read once every port was asked for: matching upper-cases each port's own copy in place.
    ASSERT_NE(Paths[Port], nullptr);
    EXPECT_EQ(std::u16string(Paths[Port]), std::u16string(Expected.Path));

    for (UINT16 &Mask : PortDisableMasks) {
      Mask = 0;
    }
    DisablePort(Port);
    for (UINT8 Mask = 0; Mask < PortDisableMaskCount; Mask++) {
      EXPECT_EQ(PortDisableMasks[Mask], Mask == Expected.Mask ? Expected.Bit : 0) << "mask " << +Mask;
    }
  }
}

struct DISABLE_SEQUENCE {
  const char *Name;
  std::vector<UINTN> Ports;
  UINT16 Expected[PortDisableMaskCount];
};

static const DISABLE_SEQUENCE DisableSequences[] = {
    {"port 1 twice", {1, 1}, {0x0001, 0, 0, 0}},
    {"ports 12, 13, 14", {12, 13, 14}, {0x0800, 0x0003, 0, 0}},
    {"hub ports 30-37", {30, 31, 32, 33, 34, 35, 36, 37}, {0, 0, 0, 0}},
    {"hub ports 38-45", {38, 39, 40, 41, 42, 43, 44, 45}, {0, 0, 0x000F, 0x000F}},
};

TEST_F(BoardTablesTest, DisableActionsAccumulate) {
  // Guards against an action that assigns its mask instead of OR-ing into it.
  for (const DISABLE_SEQUENCE &Sequence : DisableSequences) {
    SCOPED_TRACE(Sequence.Name);
    for (UINT16 &Mask : PortDisableMasks) {
      Mask = 0;
    }
    for (UINTN Port : Sequence.Ports) {
      DisablePort(Port);
    }
    for (size_t Index = 0; Index < PortDisableMaskCount; Index++) {
      EXPECT_EQ(PortDisableMasks[Index], Sequence.Expected[Index]) << "mask " << Index;
    }
  }
}
