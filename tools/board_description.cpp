// Writes the board's description as JSON, for the host tools: compiled from
// the policy driver's board file and its derived tables, so that the tools
// read the same facts the driver was built from. Usage: board_description OUT.json
#include <cstdio>
#include <string>

#include "UsbConnectorPolicy.h"

static std::string Narrow(const CHAR16 *Text) {
  std::string Result;
  for (; *Text != 0; Text++) {
    Result += static_cast<char>(*Text);
  }
  return Result;
}

static std::string Quoted(const std::string &Text) {
  std::string Result = "\"";
  for (char Character : Text) {
    if (Character == '"' || Character == '\\') {
      Result += '\\';
    }
    Result += Character;
  }
  return Result + "\"";
}

static std::string Guid(const EFI_GUID &Value) {
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Value.Data1, Value.Data2,
                Value.Data3, Value.Data4[0], Value.Data4[1], Value.Data4[2], Value.Data4[3], Value.Data4[4],
                Value.Data4[5], Value.Data4[6], Value.Data4[7]);
  return Quoted(Text);
}

static const char *const MaskNames[] = {"usb2", "usb3", "hub_usb2", "hub_usb3"};

// Each port the board gives a prefix or an action: what the driver matches
// and which mask bit switches it off, found by running its own action.
static std::string Ports() {
  std::string Out;
  BuildPortPaths();
  for (const PORT_RANGE &Range : PortRanges) {
    for (UINTN Place = 0; Place < Range.Count; Place++) {
      const UINTN Port = Range.FirstPort + Place;
      for (UINT16 &Mask : PortDisableMasks) {
        Mask = 0;
      }
      DisablePort(Port);
      std::string Disable = "null";
      for (UINTN Mask = 0; Mask < PortDisableMaskCount; Mask++) {
        if (PortDisableMasks[Mask] != 0) {
          Disable = "{\"mask\": " + Quoted(MaskNames[Mask]) +
                    ", \"bit\": " + std::to_string(__builtin_ctz(PortDisableMasks[Mask])) + "}";
        }
      }
      Out += std::string(Out.empty() ? "" : ",\n") + "    {\"number\": " + std::to_string(Port) +
             ", \"prefix\": " + Quoted(Narrow(GetPortPath(Port))) + ", \"hub_root_port\": " +
             std::to_string(Range.HubRootPort) + ", \"hub_port\": " +
             std::to_string(Range.HubRootPort != 0 ? Place + 1 : 0) + ", \"disable\": " + Disable + "}";
    }
  }
  return Out;
}

static std::string Connectors() {
  std::string Out;
  for (UINTN Index = 0; Index < CONNECTOR_COUNT; Index++) {
    const CONNECTOR_DESCRIPTOR &Row = ConnectorTable[Index];
    std::string Ports;
    for (UINT8 Port : Row.PortNumber) {
      if (Port != PORT_NONE) {
        Ports += (Ports.empty() ? "" : ", ") + std::to_string(Port);
      }
    }
    Out += std::string(Out.empty() ? "" : ",\n") + "    {\"index\": " + std::to_string(Index) +
           ", \"label\": " + Quoted(Row.Label) + ", \"kind\": " + Quoted(Row.Kind) + ", \"ports\": [" + Ports +
           "], \"flags\": " + std::to_string(Row.Flags) + "}";
  }
  return Out;
}

static std::string Capabilities() {
  std::string Hex;
  const UINT8 *Bytes = reinterpret_cast<const UINT8 *>(&BoardCapabilities);
  for (UINTN Offset = 0; Offset < sizeof(BoardCapabilities); Offset++) {
    char Pair[3];
    std::snprintf(Pair, sizeof(Pair), "%02x", Bytes[Offset]);
    Hex += Pair;
  }
  return Quoted(Hex);
}

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: board_description OUT.json\n");
    return 2;
  }
  const EFI_GUID SetupGuid = SETUP_VARIABLE_GUID;
  const EFI_GUID CapabilitiesGuid = USB_CONNECTOR_CAPABILITIES_GUID;
  const std::string Json =
      "{\n"
      "  \"xhci_path\": " + Quoted(XHCI_PATH) + ",\n"
      "  \"controller\": {\"bar0_low_address\": " + std::to_string(XHCI_BAR0_LOW_ADDRESS) +
      ", \"usb2_port_disable_offset\": " + std::to_string(XHCI_USB2_PORT_DISABLE_OFFSET) +
      ", \"usb3_port_disable_offset\": " + std::to_string(XHCI_USB3_PORT_DISABLE_OFFSET) + "},\n"
      "  \"chipset_hub_id\": [" + std::to_string(CHIPSET_HUB_VENDOR_ID) + ", " +
      std::to_string(CHIPSET_HUB_PRODUCT_ID) + "],\n"
      "  \"pm_timer_port\": " + std::to_string(PM_TIMER_PORT) + ",\n"
      "  \"setup\": {\"name\": " + Quoted(Narrow(SETUP_VARIABLE_NAME)) + ", \"guid\": " + Guid(SetupGuid) +
      ", \"size\": " + std::to_string(SETUP_VARIABLE_SIZE) + ", \"mode_offset\": " +
      std::to_string(SETUP_USB_CONNECTOR_CONTROL_MODE_OFFSET) + ", \"enable_offset\": " +
      std::to_string(SETUP_USB_CONNECTOR_ENABLE_OFFSET) + ", \"per_connector_mode\": " +
      std::to_string(USB_CONNECTOR_CONTROL_PER_CONNECTOR) + "},\n"
      "  \"capabilities\": {\"name\": " + Quoted(Narrow(USB_CONNECTOR_CAPABILITIES_NAME)) + ", \"guid\": " +
      Guid(CapabilitiesGuid) + ", \"attributes\": " + std::to_string(EFI_VARIABLE_BOOTSERVICE_ACCESS) +
      ", \"bytes\": " + Capabilities() + "},\n"
      "  \"connectors\": [\n" + Connectors() + "\n  ],\n"
      "  \"ports\": [\n" + Ports() + "\n  ]\n"
      "}\n";
  FILE *Out = std::fopen(argv[1], "w");
  if (Out == nullptr || std::fputs(Json.c_str(), Out) < 0 || std::fclose(Out) != 0) {
    std::fprintf(stderr, "board_description: cannot write %s\n", argv[1]);
    return 2;
  }
  return 0;
}
