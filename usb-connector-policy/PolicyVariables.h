// The variables UsbConnectorPolicyDxe reads and publishes: the bytes of Setup
// it consumes, and the connector capability block it publishes for other
// firmware components.
#pragma once

// The chosen board's wiring, found on the include path.
#include <Board.h>

#define SETUP_VARIABLE_NAME u"Setup"
#define SETUP_VARIABLE_GUID {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}}
#define SETUP_VARIABLE_SIZE 3612
#define SETUP_USB_CONNECTOR_CONTROL_MODE_OFFSET 3291
// UsbConnectorEnable[k] for connector k: 0 switches it off.
#define SETUP_USB_CONNECTOR_ENABLE_OFFSET 3580
// UsbConnectorControlMode value that hands each connector to its enable byte.
#define USB_CONNECTOR_CONTROL_PER_CONNECTOR 7
static_assert(SETUP_USB_CONNECTOR_ENABLE_OFFSET + CONNECTOR_COUNT <= SETUP_VARIABLE_SIZE,
              "Setup holds an enable byte for every connector");

#define USB_CONNECTOR_CAPABILITIES_NAME u"UsbConnectorCapabilities"
#define USB_CONNECTOR_CAPABILITIES_GUID \
  {0x44D6A54D, 0xDC4C, 0x4D83, {0xB7, 0xEA, 0xB1, 0x1F, 0x76, 0xDE, 0xEB, 0x88}}
#define USB_CONNECTOR_CAPABILITIES_MAX 32

struct USB_CONNECTOR_CAPABILITIES {
  UINT8 Present[USB_CONNECTOR_CAPABILITIES_MAX];
  UINT8 GroupMember[USB_CONNECTOR_CAPABILITIES_MAX];
  UINT8 Disableable[USB_CONNECTOR_CAPABILITIES_MAX];
  UINT8 GroupLeader[USB_CONNECTOR_CAPABILITIES_MAX];
  UINT8 Reserved[USB_CONNECTOR_CAPABILITIES_MAX];
};
static_assert(sizeof(USB_CONNECTOR_CAPABILITIES) == 160, "published block is 160 bytes");
static_assert(CONNECTOR_COUNT <= USB_CONNECTOR_CAPABILITIES_MAX, "the block holds at most 32 connectors");
