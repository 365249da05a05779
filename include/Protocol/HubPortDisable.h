// Consumer-side declaration of the on-board hub's port control protocol,
// provided by another firmware component.
#pragma once

#include <stddef.h>

#include "Uefi/Base.h"

#define HUB_PORT_DISABLE_PROTOCOL_GUID {0x5C75DA79, 0x722F, 0x41D1, {0xB2, 0xAF, 0xD2, 0xA4, 0xE4, 0xC6, 0x5D, 0x6D}}

// No This pointer: the arguments are the USB3-side hub port for this pass or 0,
// the pass bit 1 << (n - 1), and the USB2-side hub port for this pass or 0.
typedef VOID(EFIAPI *HUB_PORT_DISABLE_APPLY)(UINT8 Usb3Port, UINT32 PassBit, UINT8 Usb2Port);

// The hub ports the protocol acts on are 1 to this.
#define HUB_PORT_DISABLE_PORT_COUNT 4

struct HUB_PORT_DISABLE_PROTOCOL {
  HUB_PORT_DISABLE_APPLY Apply;
  UINT8 Usb2Port;  // USB2-side hub port to act on (1-4)
  UINT8 Usb3Port;  // USB3-side hub port to act on (1-4)
};
static_assert(offsetof(HUB_PORT_DISABLE_PROTOCOL, Apply) == 0, "HUB_PORT_DISABLE_PROTOCOL layout");
static_assert(offsetof(HUB_PORT_DISABLE_PROTOCOL, Usb2Port) == 8, "HUB_PORT_DISABLE_PROTOCOL layout");
static_assert(offsetof(HUB_PORT_DISABLE_PROTOCOL, Usb3Port) == 9, "HUB_PORT_DISABLE_PROTOCOL layout");
