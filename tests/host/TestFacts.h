// The facts the host tests and the fuzzer judge by, written again on the
// tests' side from the variables' producers, the platform and the
// controller's register layout, never taken from the drivers' headers.
#pragma once

#include "Uefi/Base.h"

// Setup, as the setup component stores it.
inline constexpr EFI_GUID SetupGuid = {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
#define TEST_SETUP_SIZE 3612
#define TEST_SETUP_MODE_OFFSET 3291
#define TEST_SETUP_ENABLE_OFFSET 3580

// What the policy driver publishes.
inline constexpr EFI_GUID CapabilitiesGuid = {0x44D6A54D, 0xDC4C, 0x4D83,
                                               {0xB7, 0xEA, 0xB1, 0x1F, 0x76, 0xDE, 0xEB, 0x88}};

// SaSetup, and the byte that requests a cold reset.
inline constexpr EFI_GUID SaSetupGuid = {0x72C5E28C, 0x7783, 0x43A1, {0x87, 0x67, 0xFA, 0xD7, 0x3F, 0xCC, 0xAF, 0xA4}};
#define TEST_SA_SETUP_REQUEST_OFFSET 190

// The platform's PM-timer calibration HOB.
inline constexpr EFI_GUID CalibrationGuid = {0x3FCA54F6, 0xE1A2, 0x4B20,
                                             {0xBE, 0x76, 0x92, 0x6B, 0x4B, 0x48, 0xBF, 0xAA}};

// The xHCI controller's BAR0 in the board's configuration space, and the
// port-disable registers' offsets in the window it names.
#define XHCI_BAR0_LOW 0xC00A0010ULL
#define XHCI_BAR0_HIGH 0xC00A0014ULL
#define USB2_PORT_DISABLE 0x84F8ULL
#define USB3_PORT_DISABLE 0x84FCULL

// The USB interface class of mass storage.
#define CLASS_MASS_STORAGE 8
