// Writes the board's facts as JSON, for the host tools: the connector rows,
// the port ranges, where the controller and its registers are and how many
// root ports it has, the chipset hub's id and the variables' layouts (SaSetup's
// attributes as the board's setup component stores them), each exactly as
// the chipset and board files and the variables' headers write it. Nothing
// here runs driver code: the road judges the drivers by rules of its own
// applied to these facts, so it must not learn what is right from what the
// drivers derive. Usage: board_description OUT.json
#include <cstdio>
#include <string>

#include "Board.h"
#include "PolicyVariables.h"
#include "SaSetup.h"
#include "Uefi/SystemTable.h"
#include "Variables.h"

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

static std::string Number(UINT64 Value) { return std::to_string(Value); }

// The register or hub side a range's ports are switched off through.
static std::string MaskName(UINT8 Mask) {
  switch (Mask) {
    case Usb2PortMask:
      return Quoted("usb2");
    case Usb3PortMask:
      return Quoted("usb3");
    case HubUsb2PortMask:
      return Quoted("hub_usb2");
    case HubUsb3PortMask:
      return Quoted("hub_usb3");
    default:
      return "null";
  }
}

static std::string PortRangeRows() {
  std::string Out;
  for (const PORT_RANGE &Range : PortRanges) {
    Out += std::string(Out.empty() ? "" : ",\n") + "    {\"first_port\": " + Number(Range.FirstPort) +
           ", \"count\": " + Number(Range.Count) + ", \"hub_root_port\": " + Number(Range.HubRootPort) +
           ", \"mask\": " + MaskName(Range.Mask) + "}";
  }
  return Out;
}

static std::string ConnectorRows() {
  std::string Out;
  for (UINTN Index = 0; Index < CONNECTOR_COUNT; Index++) {
    const CONNECTOR_DESCRIPTOR &Row = ConnectorTable[Index];
    std::string Ports;
    for (UINT8 Port : Row.PortNumber) {
      Ports += (Ports.empty() ? "" : ", ") + Number(Port);
    }
    Out += std::string(Out.empty() ? "" : ",\n") + "    {\"index\": " + Number(Index) + ", \"label\": " +
           Quoted(Row.Label) + ", \"kind\": " + Quoted(Row.Kind) + ", \"ports\": [" + Ports + "], \"flags\": " +
           Number(Row.Flags) + "}";
  }
  return Out;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: board_description OUT.json\n");
    return 2;
  }
  const EFI_GUID SetupGuid = SETUP_VARIABLE_GUID;
  const EFI_GUID CapabilitiesGuid = USB_CONNECTOR_CAPABILITIES_GUID;
  const EFI_GUID SaSetupGuid = SA_SETUP_VARIABLE_GUID;
  const std::string Json =
      "{\n"
      "  \"board\": " + Quoted(CHOSEN_BOARD_TEXT(CHOSEN_BOARD)) + ",\n"
      "  \"controller\": {\"config_base\": " + Number(PCIE_CONFIG_BASE) + ", \"bus\": " + Number(XHCI_BUS) +
      ", \"device\": " + Number(XHCI_DEVICE) + ", \"function\": " + Number(XHCI_FUNCTION) +
      ", \"root_ports\": " + Number(XHCI_ROOT_PORT_COUNT) +
      ", \"usb2_port_disable_offset\": " + Number(XHCI_USB2_PORT_DISABLE_OFFSET) +
      ", \"usb3_port_disable_offset\": " + Number(XHCI_USB3_PORT_DISABLE_OFFSET) + "},\n"
      "  \"chipset_hub_id\": [" + Number(CHIPSET_HUB_VENDOR_ID) + ", " + Number(CHIPSET_HUB_PRODUCT_ID) + "],\n"
      "  \"pm_timer_port\": " + Number(PM_TIMER_PORT) + ",\n"
      "  \"port_none\": " + Number(PORT_NONE) + ",\n"
      "  \"setup\": {\"name\": " + Quoted(Narrow(SETUP_VARIABLE_NAME)) + ", \"guid\": " + Guid(SetupGuid) +
      ", \"size\": " + Number(SETUP_VARIABLE_SIZE) + ", \"mode_offset\": " +
      Number(SETUP_USB_CONNECTOR_CONTROL_MODE_OFFSET) + ", \"enable_offset\": " +
      Number(SETUP_USB_CONNECTOR_ENABLE_OFFSET) + ", \"per_connector_mode\": " +
      Number(USB_CONNECTOR_CONTROL_PER_CONNECTOR) + "},\n"
      "  \"capabilities\": {\"name\": " + Quoted(Narrow(USB_CONNECTOR_CAPABILITIES_NAME)) + ", \"guid\": " +
      Guid(CapabilitiesGuid) + ", \"attributes\": " + Number(EFI_VARIABLE_BOOTSERVICE_ACCESS) + ", \"size\": " +
      Number(sizeof(USB_CONNECTOR_CAPABILITIES)) + "},\n"
      "  \"sa_setup\": {\"name\": " + Quoted(Narrow(SA_SETUP_VARIABLE_NAME)) + ", \"guid\": " + Guid(SaSetupGuid) +
      ", \"size\": " + Number(SA_SETUP_BUFFER_SIZE) + ", \"request_offset\": " +
      Number(SA_SETUP_COLD_RESET_REQUEST_OFFSET) + ", \"stored_attributes\": " + Number(SA_SETUP_STORED_ATTRIBUTES) +
      "},\n"
      "  \"connectors\": [\n" + ConnectorRows() + "\n  ],\n"
      "  \"port_ranges\": [\n" + PortRangeRows() + "\n  ]\n"
      "}\n";
  FILE *Out = std::fopen(argv[1], "w");
  if (Out == nullptr || std::fputs(Json.c_str(), Out) < 0 || std::fclose(Out) != 0) {
    std::fprintf(stderr, "board_description: cannot write %s\n", argv[1]);
    return 2;
  }
  return 0;
}
