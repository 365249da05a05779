// The two halves of BoardStandInDxe, which write the one record it publishes:
// what the board lacks (BoardStandInDxe.cpp) and the recorder of what the
// drivers did (StandInRecorder.cpp).
#pragma once

#include "Protocol/HubPortDisable.h"
#include "Protocol/UsbIo.h"
#include "StandIn.h"

extern STAND_IN_RECORD Record;
// The hub protocol the stand-in installs; its Apply is RecordHubApply.
extern HUB_PORT_DISABLE_PROTOCOL HubPortDisable;

// Counts this boot and from then on records the drivers' entries, their
// SaSetup writes, resets, hub-protocol lookups and S3 boot-script Writes,
// the USB devices that arrive, and the End-of-DXE and ready-to-boot signals.
VOID StartRecording();
// The hub protocol's Apply: the hub is not there, so each call is recorded
// with the protocol's port members as they are at the call.
VOID EFIAPI RecordHubApply(UINT8 Usb3Port, UINT32 PassBit, UINT8 Usb2Port);

// Makes the stick at Record.HubIdPort claim the chipset hub's id; the
// recorder calls it for each arriving device before it reads the device's
// descriptors.
VOID ClaimHubIdIfChosen(EFI_HANDLE Handle, EFI_USB_IO_PROTOCOL *UsbIo);
