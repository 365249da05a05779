// Device path protocol: the generic node header that starts every node.
#pragma once

#include "Uefi/Base.h"

#define EFI_DEVICE_PATH_PROTOCOL_GUID {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}}

#define MEDIA_DEVICE_PATH 0x04
#define MEDIA_FILEPATH_DP 0x04
#define END_DEVICE_PATH_TYPE 0x7F
#define END_ENTIRE_DEVICE_PATH_SUBTYPE 0xFF

struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];  // little-endian length of this node, header included
};
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4, "EFI_DEVICE_PATH_PROTOCOL layout");
