// Entry point of UsbConnectorPolicyDxe: reads the setup choices, builds one
// record per connector, publishes the board's connector capabilities and
// arms the driver's events.
#include "DriverSupportLib.h"
#include "UsbConnectorPolicy.h"

CONNECTOR_RECORD ConnectorRecords[CONNECTOR_COUNT];
UINTN ConnectorRecordCount;

EFI_S3_SAVE_STATE_PROTOCOL *S3SaveState;
EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *DevicePathToText;

UINT8 SetupBuffer[SETUP_VARIABLE_SIZE];

static const EFI_GUID S3SaveStateProtocolGuid = EFI_S3_SAVE_STATE_PROTOCOL_GUID;
static const EFI_GUID DevicePathToTextProtocolGuid = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
static const EFI_GUID SetupVariableGuid = SETUP_VARIABLE_GUID;
static const EFI_GUID UsbConnectorCapabilitiesGuid = USB_CONNECTOR_CAPABILITIES_GUID;

VOID *LocateOptionalProtocol(const EFI_GUID *Guid) {
  VOID *Interface = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(Guid, nullptr, &Interface))) {
    return nullptr;
  }
  return Interface;
}

VOID LocateS3SaveState() {
  S3SaveState = static_cast<EFI_S3_SAVE_STATE_PROTOCOL *>(LocateOptionalProtocol(&S3SaveStateProtocolGuid));
}

VOID LocateDevicePathToText() {
  DevicePathToText =
      static_cast<EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *>(LocateOptionalProtocol(&DevicePathToTextProtocolGuid));
}

static UINT8 DisabledBySetup(UINTN Connector) {
  if (SetupBuffer[SETUP_USB_CONNECTOR_CONTROL_MODE_OFFSET] != USB_CONNECTOR_CONTROL_PER_CONNECTOR) {
    return 0;
  }
  return SetupBuffer[SETUP_USB_CONNECTOR_ENABLE_OFFSET + Connector] == 0 ? 1 : 0;
}

static VOID BuildConnectorRecord(UINTN Connector) {
  CONNECTOR_RECORD &Record = ConnectorRecords[Connector];
  for (UINTN Slot = 0; Slot < PORTS_PER_CONNECTOR; Slot++) {
    const UINT8 Port = ConnectorPortNumbers.Port[Connector][Slot];
    Record.PortNumber[Slot] = Port;
    Record.PortPath[Slot] = GetPortPath(Port);
  }
  Record.DisabledBySetup = DisabledBySetup(Connector);
  Record.DisableAllowed = BoardCapabilities.Disableable[Connector];
}

/**
  Entry point of UsbConnectorPolicyDxe.

  @param ImageHandle  Not used.
  @param SystemTable  The firmware's system table.

  @retval EFI_SUCCESS               Records built, capabilities published,
                                    events armed.
  @retval EFI_INCOMPATIBLE_VERSION  The firmware is older than UEFI 2.30.
  @retval others                    Setup could not be read; nothing was
                                    published or armed.
**/
extern "C" EFI_STATUS EFIAPI DriverEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  if (DriverSupportRevisionTooOld(SystemTable)) {
    return EFI_INCOMPATIBLE_VERSION;
  }
  DriverSupportInit(ImageHandle, SystemTable);
  LocateS3SaveState();

  // Before anything can read a prefix: the records point at them, and the
  // notify functions match against them.
  BuildPortPaths();
  for (SEEN_HANDLE_SLOT &Slot : SeenHandleTable) {
    Slot = SEEN_HANDLE_SLOT{0, nullptr};
  }
  SeenHandleCount = 0;

  UINTN SetupSize = sizeof(SetupBuffer);
  const EFI_STATUS Status =
      RuntimeServices->GetVariable(SETUP_VARIABLE_NAME, &SetupVariableGuid, nullptr, &SetupSize, SetupBuffer);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  LocateDevicePathToText();

  for (UINTN Connector = 0; Connector < CONNECTOR_COUNT; Connector++) {
    BuildConnectorRecord(Connector);
  }

  // SetVariable only reads the block.
  (VOID) RuntimeServices->SetVariable(USB_CONNECTOR_CAPABILITIES_NAME, &UsbConnectorCapabilitiesGuid,
                                      EFI_VARIABLE_BOOTSERVICE_ACCESS, sizeof(BoardCapabilities),
                                      const_cast<USB_CONNECTOR_CAPABILITIES *>(&BoardCapabilities));
  ConnectorRecordCount = CONNECTOR_COUNT;

  // Armed only now, so no notify function sees a half-built record.
  ArmDeviceArrival();
  ArmReadyToBoot();
  ArmEndOfDxe();
  return EFI_SUCCESS;
}
