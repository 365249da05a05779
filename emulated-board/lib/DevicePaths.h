// Device paths as the emulated board reads and builds them: walking a path's
// nodes, building one node by node, the paths of the xHCI controller's USB
// ports as QEMU names them ("8", "8.2.1": the port on each hop, counted from
// 1), and a handle's path as text.
#pragma once

#include "Protocol/DevicePath.h"
#include "Uefi/SystemTable.h"

// Room for the paths built here: a controller and its USB hops.
#define DEVICE_PATH_BUFFER_SIZE 64

struct DEVICE_PATH_BUFFER {
  UINT8 Bytes[DEVICE_PATH_BUFFER_SIZE];
  UINTN Size;  // bytes appended so far
};

// Bytes before the end node.
UINTN DevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *Path);

// Writes a node's header.
VOID SetDevicePathNode(EFI_DEVICE_PATH_PROTOCOL *Node, UINT8 Type, UINT8 SubType, UINTN Length);
// The appenders leave out a node that does not fit.
// PciRoot(0x0)/Pci(Device,Function): the root bridge and the device on it.
VOID AppendPciDevice(DEVICE_PATH_BUFFER &Path, UINT8 Device, UINT8 Function);
// USB(ParentPort,0x0), ParentPort counted from 0.
VOID AppendUsbNode(DEVICE_PATH_BUFFER &Path, UINT8 ParentPort);
VOID AppendEndNode(DEVICE_PATH_BUFFER &Path);

// The xHCI controller's path to the port QEMU names Port, without the end
// node.
DEVICE_PATH_BUFFER QemuPortPath(const CHAR8 *Port);
// QEMU's name of the port the device on Handle sits on; empty when it has no
// device path or no USB node.
VOID QemuPortName(EFI_HANDLE Handle, CHAR8 *Name, UINTN Size);

// The text of Handle's device path, in ASCII; false when it has none or the
// firmware cannot convert it.
bool DevicePathText(EFI_HANDLE Handle, CHAR8 *Buffer, UINTN Size);
