// Device arrival: takes USB I/O away from mass-storage devices that appear
// on connectors setup disabled, so no storage driver can bind to them.
#include "DriverSupportLib.h"
#include "Protocol/UsbIo.h"
#include "UsbConnectorPolicy.h"

static const EFI_GUID UsbIoProtocolGuid = EFI_USB_IO_PROTOCOL_GUID;
static const EFI_GUID DevicePathProtocolGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;

static VOID *DeviceArrivalRegistration;

CHAR16 *AsciiUpcaseInPlace(CHAR16 *String) {
  for (CHAR16 *Char = String; *Char != 0; Char++) {
    if (*Char >= u'a' && *Char <= u'z') {
      *Char = (CHAR16)(*Char - 0x20);
    }
  }
  return String;
}

INT32 MatchPortPathPrefix(CHAR16 *Text, CHAR16 *Prefix, UINTN Length) {
  // Nothing to compare: the walk below would run past both strings.
  if (Length == 0) {
    return 1;
  }
  AsciiUpcaseInPlace(Text);
  AsciiUpcaseInPlace(Prefix);
  UINTN Index = 0;
  while (Index < Length - 1 && Text[Index] == Prefix[Index]) {
    Index++;
  }
  return (INT32)(INT16)Text[Index] - (INT32)(INT16)Prefix[Index];
}

static UINTN StrLength(const CHAR16 *String) {
  UINTN Length = 0;
  while (String[Length] != 0) {
    Length++;
  }
  return Length;
}

// A device matches a record at the first of its non-empty prefixes that the
// text begins with; devices behind a hub on a port match that port too.
static bool RecordMatches(const CONNECTOR_RECORD &Record, CHAR16 *Text) {
  for (CHAR16 *Prefix : Record.PortPath) {
    const UINTN Length = StrLength(Prefix);
    if (Length != 0 && MatchPortPathPrefix(Text, Prefix, Length) == 0) {
      return true;
    }
  }
  return false;
}

static SEEN_HANDLE_SLOT *FindSeenHandle(EFI_HANDLE Handle) {
  for (UINTN Index = 0; Index < SeenHandleCount; Index++) {
    if (SeenHandleTable[Index].Handle == Handle) {
      return &SeenHandleTable[Index];
    }
  }
  return nullptr;
}

// The slot now holding the handle; null when there is no room, or for a
// null handle, which would read as a free slot inside the taken ones.
static SEEN_HANDLE_SLOT *RegisterSeenHandle(EFI_HANDLE Handle) {
  if (Handle == nullptr || SeenHandleCount == SEEN_HANDLE_TABLE_SIZE) {
    return nullptr;
  }
  SEEN_HANDLE_SLOT *Slot = &SeenHandleTable[SeenHandleCount++];
  Slot->Handle = Handle;
  return Slot;
}

// The firmware frees the handle of an unplugged device and may give its
// value to the next one. A handle that received a device path since the last
// look is therefore a new device, whatever its slot says. When the firmware
// cannot tell which handles did, no slot can be trusted.
static VOID ForgetReinstalledHandles() {
  EFI_HANDLE Handle = nullptr;
  UINTN Size = sizeof(Handle);
  EFI_STATUS Status;
  while ((Status = BootServices->LocateHandle(ByRegisterNotify, nullptr, DeviceArrivalRegistration, &Size,
                                              &Handle)) == EFI_SUCCESS) {
    if (SEEN_HANDLE_SLOT *Slot = FindSeenHandle(Handle)) {
      Slot->Processed = 0;
    }
    Size = sizeof(Handle);
  }
  if (Status != EFI_NOT_FOUND) {
    for (UINTN Index = 0; Index < SeenHandleCount; Index++) {
      SeenHandleTable[Index].Processed = 0;
    }
  }
}

// Releases the slots of handles that no longer carry USB I/O (unplugged, or
// blocked here), so the table holds present devices only and never fills up
// over a boot. The taken slots stay packed at the front.
static VOID ReleaseDepartedHandles(const EFI_HANDLE *Buffer, UINTN HandleCount) {
  const UINTN Taken = SeenHandleCount;
  SeenHandleCount = 0;
  for (UINTN Index = 0; Index < Taken; Index++) {
    const SEEN_HANDLE_SLOT Slot = SeenHandleTable[Index];
    SeenHandleTable[Index] = SEEN_HANDLE_SLOT{0, nullptr};
    for (UINTN Entry = 0; Entry < HandleCount; Entry++) {
      if (Buffer[Entry] == Slot.Handle) {
        SeenHandleTable[SeenHandleCount++] = Slot;
        break;
      }
    }
  }
}

// Whether a device counts as mass storage, and whether that answer stands
// while the device stays.
struct STORAGE_ANSWER {
  bool MassStorage;
  bool Settled;
};

// Reads that fail keep the device under the policy: an unreadable interface
// descriptor counts as mass storage. The chipset hub's id is only the
// device's own claim, which any stick can make, so it spares nothing but a
// device whose interface cannot be read, and that only until the next look;
// the hub itself presents the hub class.
static STORAGE_ANSWER IsMassStorage(EFI_USB_IO_PROTOCOL *UsbIo) {
  EFI_USB_DEVICE_DESCRIPTOR Device = {};
  const bool ClaimsChipsetHub = !EFI_ERROR(UsbIo->UsbGetDeviceDescriptor(UsbIo, &Device)) &&
                                Device.IdVendor == CHIPSET_HUB_VENDOR_ID && Device.IdProduct == CHIPSET_HUB_PRODUCT_ID;
  EFI_USB_INTERFACE_DESCRIPTOR Interface = {};
  if (EFI_ERROR(UsbIo->UsbGetInterfaceDescriptor(UsbIo, &Interface))) {
    return {!ClaimsChipsetHub, !ClaimsChipsetHub};
  }
  return {Interface.InterfaceClass == USB_MASS_STORE_CLASS, true};
}

// True when the device was examined to the end and may keep its USB I/O;
// false when it had to lose it or could not be examined, so that it is
// looked at again while it still carries USB I/O.
static bool ExamineHandle(EFI_HANDLE Handle) {
  EFI_USB_IO_PROTOCOL *UsbIo = nullptr;
  EFI_DEVICE_PATH_PROTOCOL *DevicePath = nullptr;
  // Either lookup failing leaves the error bit set.
  EFI_STATUS Status = BootServices->HandleProtocol(Handle, &UsbIoProtocolGuid, reinterpret_cast<VOID **>(&UsbIo));
  Status |= BootServices->HandleProtocol(Handle, &DevicePathProtocolGuid, reinterpret_cast<VOID **>(&DevicePath));
  // The protocol may be installed after this driver was started.
  if (DevicePathToText == nullptr) {
    LocateDevicePathToText();
  }
  if (EFI_ERROR(Status) || DevicePathToText == nullptr) {
    return false;
  }
  CHAR16 *Text = DevicePathToText->ConvertDevicePathToText(DevicePath, FALSE, FALSE);
  if (Text == nullptr) {
    return false;
  }

  const STORAGE_ANSWER Storage = IsMassStorage(UsbIo);
  bool MayKeepUsbIo = Storage.Settled;
  if (Storage.MassStorage) {
    // Every matching record is handled on its own; a second uninstall of the
    // same interface fails harmlessly. DisableAllowed plays no part: it says
    // whether the connector's ports may be switched off at ready-to-boot,
    // and storage on a connector setup disabled is kept from use either way.
    for (UINTN Index = 0; Index < ConnectorRecordCount; Index++) {
      const CONNECTOR_RECORD &Record = ConnectorRecords[Index];
      if (RecordMatches(Record, Text) && Record.DisabledBySetup == 1) {
        (VOID) BootServices->UninstallMultipleProtocolInterfaces(Handle, &UsbIoProtocolGuid, UsbIo, nullptr);
        MayKeepUsbIo = false;
      }
    }
  }
  (VOID) BootServices->FreePool(Text);
  return MayKeepUsbIo;
}

/**
  Examines the USB I/O handles that appeared since the last run; runs on
  every installation of a device path. A device that may keep its USB I/O is
  examined once while it stays installed; one that had to lose it, or could
  not be examined, is examined again at the next run if it still has it.

  @param Event    Not used.
  @param Context  Not used.
**/
VOID EFIAPI DeviceArrivalNotify(EFI_EVENT Event, VOID *Context) {
  (VOID) Event;
  (VOID) Context;

  UINTN HandleCount = 0;
  EFI_HANDLE *Buffer = nullptr;
  if (BootServices->LocateHandleBuffer(ByProtocol, &UsbIoProtocolGuid, nullptr, &HandleCount, &Buffer) !=
      EFI_SUCCESS) {
    return;
  }

  ForgetReinstalledHandles();
  ReleaseDepartedHandles(Buffer, HandleCount);
  for (UINTN Index = 0; Index < HandleCount; Index++) {
    // Without a slot (more devices present than slots) the mark is kept
    // nowhere, so the device is examined on every run rather than never.
    SEEN_HANDLE_SLOT Unkept = {0, nullptr};
    SEEN_HANDLE_SLOT *Slot = FindSeenHandle(Buffer[Index]);
    if (Slot == nullptr) {
      Slot = RegisterSeenHandle(Buffer[Index]);
    }
    if (Slot == nullptr) {
      Slot = &Unkept;
    }
    if (Slot->Processed == 0) {
      Slot->Processed = ExamineHandle(Buffer[Index]) ? 1 : 0;
    }
  }
  (VOID) BootServices->FreePool(Buffer);
}

VOID ArmDeviceArrival() {
  EFI_EVENT Event = nullptr;
  (VOID) BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, DeviceArrivalNotify, nullptr, &Event);
  (VOID) BootServices->RegisterProtocolNotify(&DevicePathProtocolGuid, Event, &DeviceArrivalRegistration);
}
