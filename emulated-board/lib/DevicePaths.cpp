#include "DevicePaths.h"

#include "Console.h"
#include "Guids.h"
#include "Protocol/DevicePathToText.h"

static const EFI_DEVICE_PATH_PROTOCOL *NextNode(const EFI_DEVICE_PATH_PROTOCOL *Node) {
  const UINTN Length = (UINTN)Node->Length[0] | ((UINTN)Node->Length[1] << 8);
  return (const EFI_DEVICE_PATH_PROTOCOL *)((const UINT8 *)Node + Length);
}

UINTN DevicePathSize(const EFI_DEVICE_PATH_PROTOCOL *Path) {
  const EFI_DEVICE_PATH_PROTOCOL *Node = Path;
  while (Node->Type != END_DEVICE_PATH_TYPE) {
    Node = NextNode(Node);
  }
  return (UINTN)((const UINT8 *)Node - (const UINT8 *)Path);
}

VOID SetDevicePathNode(EFI_DEVICE_PATH_PROTOCOL *Node, UINT8 Type, UINT8 SubType, UINTN Length) {
  Node->Type = Type;
  Node->SubType = SubType;
  Node->Length[0] = (UINT8)Length;
  Node->Length[1] = (UINT8)(Length >> 8);
}

// Node is a whole node, its header's length still to be set.
template <typename NODE>
static VOID AppendNode(DEVICE_PATH_BUFFER &Path, UINT8 Type, UINT8 SubType, NODE &Node) {
  if (Path.Size + sizeof(Node) > sizeof(Path.Bytes)) {
    return;
  }
  SetDevicePathNode((EFI_DEVICE_PATH_PROTOCOL *)&Node, Type, SubType, sizeof(Node));
  __builtin_memcpy(Path.Bytes + Path.Size, &Node, sizeof(Node));
  Path.Size += sizeof(Node);
}

VOID AppendPciDevice(DEVICE_PATH_BUFFER &Path, UINT8 Device, UINT8 Function) {
  ACPI_HID_DEVICE_PATH Root = {{}, PCI_ROOT_BRIDGE_HID, 0};
  PCI_DEVICE_PATH Pci = {{}, Function, Device};
  AppendNode(Path, ACPI_DEVICE_PATH, ACPI_DP, Root);
  AppendNode(Path, HARDWARE_DEVICE_PATH, HW_PCI_DP, Pci);
}

VOID AppendUsbNode(DEVICE_PATH_BUFFER &Path, UINT8 ParentPort) {
  USB_DEVICE_PATH Usb = {{}, ParentPort, 0};
  AppendNode(Path, MESSAGING_DEVICE_PATH, MSG_USB_DP, Usb);
}

VOID AppendEndNode(DEVICE_PATH_BUFFER &Path) {
  EFI_DEVICE_PATH_PROTOCOL End = {};
  AppendNode(Path, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, End);
}

DEVICE_PATH_BUFFER QemuPortPath(const CHAR8 *Port) {
  DEVICE_PATH_BUFFER Path = {};
  AppendPciDevice(Path, XHCI_DEVICE, XHCI_FUNCTION);
  for (const CHAR8 *Cursor = Port; *Cursor != '\0';) {
    UINT8 Number = 0;
    for (; *Cursor >= '0' && *Cursor <= '9'; Cursor++) {
      Number = (UINT8)(Number * 10 + (*Cursor - '0'));
    }
    AppendUsbNode(Path, (UINT8)(Number - 1));
    Cursor += *Cursor == '.' ? 1 : 0;
  }
  return Path;
}

VOID QemuPortName(EFI_HANDLE Handle, CHAR8 *Name, UINTN Size) {
  Name[0] = '\0';
  const EFI_DEVICE_PATH_PROTOCOL *Node = nullptr;
  if (BootServices->HandleProtocol(Handle, &DevicePathProtocolGuid, (VOID **)&Node) != EFI_SUCCESS) {
    return;
  }
  UINTN Length = 0;
  for (; Node->Type != END_DEVICE_PATH_TYPE; Node = NextNode(Node)) {
    if (Node->Type == MESSAGING_DEVICE_PATH && Node->SubType == MSG_USB_DP) {
      const UINT32 Port = ((const USB_DEVICE_PATH *)Node)->ParentPortNumber + 1U;
      FormatString(Name + Length, Size - Length, Length == 0 ? "%u" : ".%u", Port);
      while (Name[Length] != '\0') {
        Length++;
      }
    }
  }
}

bool DevicePathText(EFI_HANDLE Handle, CHAR8 *Buffer, UINTN Size) {
  // Located once: the protocol stays for the boot.
  static EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *ToText;
  EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
  if (BootServices->HandleProtocol(Handle, &DevicePathProtocolGuid, (VOID **)&Path) != EFI_SUCCESS ||
      (ToText == nullptr &&
       BootServices->LocateProtocol(&DevicePathToTextProtocolGuid, nullptr, (VOID **)&ToText) != EFI_SUCCESS)) {
    return false;
  }
  CHAR16 *Text = ToText->ConvertDevicePathToText(Path, FALSE, FALSE);
  if (Text == nullptr) {
    return false;
  }
  AsciiFromText(Text, Buffer, Size);
  BootServices->FreePool(Text);
  return true;
}
