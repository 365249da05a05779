// The port map against the board's wiring: every port's path prefix and
// disable action, and the numbers that name no port.
#include "UsbConnectorPolicyTest.h"

using BoardTablesTest = UsbConnectorPolicyTest;

struct PORT_ROW {
  UINTN Port;
  const CHAR16 *Path;
  UINT16 *Mask;
  UINT16 Bit;
};

// Ports not listed have neither path nor action.
static const PORT_ROW BoardPorts[] = {
    {1, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,", &Usb2PortDisableMask, 0x0001},
    {2, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,", &Usb2PortDisableMask, 0x0002},
    {3, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x2,", &Usb2PortDisableMask, 0x0004},
    {4, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x3,", &Usb2PortDisableMask, 0x0008},
    {5, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x4,", &Usb2PortDisableMask, 0x0010},
    {6, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x5,", &Usb2PortDisableMask, 0x0020},
    {7, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x6,", &Usb2PortDisableMask, 0x0040},
    {8, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x7,", &Usb2PortDisableMask, 0x0080},
    {9, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x8,", &Usb2PortDisableMask, 0x0100},
    {10, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x9,", &Usb2PortDisableMask, 0x0200},
    {11, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xA,", &Usb2PortDisableMask, 0x0400},
    {12, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xB,", &Usb2PortDisableMask, 0x0800},
    {13, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,", &Usb3PortDisableMask, 0x0001},
    {14, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,", &Usb3PortDisableMask, 0x0002},
    {30, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)/USB(0x0,", nullptr, 0},
    {31, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)/USB(0x1,", nullptr, 0},
    {32, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)/USB(0x2,", nullptr, 0},
    {33, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x0,0x0)/USB(0x3,", nullptr, 0},
    {34, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,0x0)/USB(0x0,", nullptr, 0},
    {35, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,0x0)/USB(0x1,", nullptr, 0},
    {36, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,0x0)/USB(0x2,", nullptr, 0},
    {37, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xC,0x0)/USB(0x3,", nullptr, 0},
    {38, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)/USB(0x0,", &HubUsb2PortDisableMask, 0x0001},
    {39, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)/USB(0x1,", &HubUsb2PortDisableMask, 0x0002},
    {40, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)/USB(0x2,", &HubUsb2PortDisableMask, 0x0004},
    {41, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)/USB(0x3,", &HubUsb2PortDisableMask, 0x0008},
    {42, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,0x0)/USB(0x0,", &HubUsb3PortDisableMask, 0x0001},
    {43, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,0x0)/USB(0x1,", &HubUsb3PortDisableMask, 0x0002},
    {44, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,0x0)/USB(0x2,", &HubUsb3PortDisableMask, 0x0004},
    {45, u"PciRoot(0x0)/Pci(0x14,0x0)/USB(0xD,0x0)/USB(0x3,", &HubUsb3PortDisableMask, 0x0008},
};

static UINT16 *const Masks[] = {&Usb2PortDisableMask, &Usb3PortDisableMask, &HubUsb2PortDisableMask,
                                &HubUsb3PortDisableMask};

static void ClearMasks() {
  for (UINT16 *Mask : Masks) {
    *Mask = 0;
  }
}

TEST_F(BoardTablesTest, EveryPortNumberMatchesTheBoard) {
  // Guards against a shifted or mistyped map entry, a wrong mask or bit, and out-of-range numbers
  // (0, 65-254, 0xFF) reaching past the map.
  std::vector<UINTN> Ports = {0, 65, 100, 254, 0xFF};
  for (UINTN Port = 1; Port <= PORT_MAP_SIZE; Port++) {
    Ports.push_back(Port);
  }
  for (UINTN Port : Ports) {
    SCOPED_TRACE("port " + std::to_string(Port));
    PORT_ROW Expected = {Port, u"", nullptr, 0};
    for (const PORT_ROW &Row : BoardPorts) {
      if (Row.Port == Port) {
        Expected = Row;
      }
    }
    const CHAR16 *Path = GetPortPath(Port);
    ASSERT_NE(Path, nullptr);
    EXPECT_EQ(std::u16string(Path), std::u16string(Expected.Path));
    if (Expected.Path[0] != 0) {
      EXPECT_EQ(Path, PortMap[Port - 1].Path) << "matching works on the map's own writable copy";
    }

    ClearMasks();
    DisablePort(Port);
    for (UINT16 *Mask : Masks) {
      EXPECT_EQ(*Mask, Mask == Expected.Mask ? Expected.Bit : 0);
    }
  }
}

struct DISABLE_SEQUENCE {
  const char *Name;
  std::vector<UINTN> Ports;
  UINT16 Expected[4];  // Usb2, Usb3, HubUsb2, HubUsb3
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
    ClearMasks();
    for (UINTN Port : Sequence.Ports) {
      DisablePort(Port);
    }
    for (size_t Index = 0; Index < 4; Index++) {
      EXPECT_EQ(*Masks[Index], Sequence.Expected[Index]) << "mask " << Index;
    }
  }
}
