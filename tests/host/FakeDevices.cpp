// The protocols the fake firmware provides to the drivers (S3 save-state,
// device-path-to-text, the hub's) and the USB devices it publishes.
#include "FakeFirmwareParts.h"

FAKE_USB_DEVICE &FakeFirmware::MakeUsbDevice(std::u16string Text, UINT16 VendorId, UINT16 ProductId,
                                             UINT8 InterfaceClass) {
  UsbDevices.push_back(std::make_unique<FAKE_USB_DEVICE>());
  FAKE_USB_DEVICE &Device = *UsbDevices.back();
  for (EFI_USB_IO_PROTOCOL *UsbIo : {&Device.UsbIo, &Device.UsbIoAgain}) {
    VOID **Slots = reinterpret_cast<VOID **>(UsbIo);
    std::fill(Slots, Slots + sizeof(EFI_USB_IO_PROTOCOL) / sizeof(VOID *), UntypedSlot);
    UsbIo->UsbGetDeviceDescriptor = FAKE_SLOT<&EFI_USB_IO_PROTOCOL::UsbGetDeviceDescriptor>::Trampoline;
    UsbIo->UsbGetInterfaceDescriptor = FAKE_SLOT<&EFI_USB_IO_PROTOCOL::UsbGetInterfaceDescriptor>::Trampoline;
    UsbDeviceByInterface[UsbIo] = &Device;
  }
  for (EFI_DEVICE_PATH_PROTOCOL *DevicePath : {&Device.DevicePath, &Device.DevicePathAgain}) {
    *DevicePath = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {sizeof(EFI_DEVICE_PATH_PROTOCOL), 0}};
    UsbDeviceByInterface[DevicePath] = &Device;
  }
  Device.DeviceDescriptor = {sizeof(EFI_USB_DEVICE_DESCRIPTOR), 1, 0x0200, 0, 0, 0, 64, VendorId, ProductId, 0x0100,
                             0, 0, 0, 1};
  Device.InterfaceDescriptor = {sizeof(EFI_USB_INTERFACE_DESCRIPTOR), 4, 0, 0, 2, InterfaceClass, 0, 0, 0};
  Device.Text = std::move(Text);
  return Device;
}

FAKE_USB_DEVICE *FakeFirmware::FindUsbDevice(const VOID *Interface) const {
  const auto Found = UsbDeviceByInterface.find(Interface);
  return Found != UsbDeviceByInterface.end() ? Found->second : nullptr;
}

FAKE_USB_DEVICE &FakeFirmware::AddUsbDevice(std::u16string Text, UINT16 VendorId, UINT16 ProductId,
                                            UINT8 InterfaceClass, bool Notify) {
  FAKE_USB_DEVICE &Device = MakeUsbDevice(std::move(Text), VendorId, ProductId, InterfaceClass);
  Device.Handle = InstallProtocol(nullptr, Guids::DevicePath, &Device.DevicePath);
  InstallProtocol(Device.Handle, Guids::UsbIo, &Device.UsbIo);
  if (Notify) {
    NotifyRegistrations(Guids::DevicePath);
    NotifyRegistrations(Guids::UsbIo);
  }
  return Device;
}

void FakeFirmware::UnplugUsbDevice(FAKE_USB_DEVICE &Device) {
  for (const EFI_GUID &Guid : {Guids::UsbIo, Guids::DevicePath}) {
    if (FindEntry(Device.Handle, Guid) != nullptr) {
      RemoveProtocol(Device.Handle, Guid);
    }
  }
}

void FakeFirmware::InstallProvidedProtocols() {
  OnCall<&EFI_DEVICE_PATH_TO_TEXT_PROTOCOL::ConvertDevicePathToText>(
      [this](const EFI_DEVICE_PATH_PROTOCOL *DevicePath, BOOLEAN, BOOLEAN) -> CHAR16 * {
        const FAKE_USB_DEVICE *Device = FindUsbDevice(DevicePath);
        if (Device == nullptr || (DevicePath != &Device->DevicePath && DevicePath != &Device->DevicePathAgain)) {
          ADD_FAILURE() << "ConvertDevicePathToText of a device path the firmware never made";
          return nullptr;
        }
        const size_t Bytes = (Device->Text.size() + 1) * sizeof(CHAR16);
        return static_cast<CHAR16 *>(std::memcpy(AllocatePoolBuffer(Bytes), Device->Text.c_str(), Bytes));
      });
  OnCall<&EFI_S3_SAVE_STATE_PROTOCOL::Write>(
      [this](const EFI_S3_SAVE_STATE_PROTOCOL *This, UINTN OpCode, __builtin_ms_va_list &List) {
        EXPECT_EQ(This, &S3SaveStateProtocol) << "S3 Write with a foreign This";
        if (OpCode != EFI_BOOT_SCRIPT_MEM_WRITE_OPCODE) {
          ADD_FAILURE() << "S3 boot-script opcode " << OpCode << " is not simulated";
          return EFI_UNSUPPORTED;
        }
        FAKE_BOOT_SCRIPT_WRITE Entry{OpCode, static_cast<UINT32>(__builtin_va_arg(List, int)), 0, 0, nullptr, {}};
        Entry.Address = __builtin_va_arg(List, UINT64);
        Entry.Count = __builtin_va_arg(List, UINTN);
        Entry.Buffer = __builtin_va_arg(List, VOID *);
        if (Entry.Width > EfiBootScriptWidthUint64) {
          ADD_FAILURE() << "S3 boot-script width " << Entry.Width;
          return EFI_INVALID_PARAMETER;
        }
        const UINT8 *Bytes = static_cast<const UINT8 *>(Entry.Buffer);
        Entry.Bytes.assign(Bytes, Bytes + (1U << Entry.Width) * Entry.Count);
        BootScript.push_back(std::move(Entry));
        return EFI_SUCCESS;
      });
  OnCall<&HUB_PORT_DISABLE_PROTOCOL::Apply>([this](UINT8 Usb3Port, UINT32 PassBit, UINT8 Usb2Port) {
    HubApplies.push_back(
        {Usb3Port, PassBit, Usb2Port, HubPortDisableProtocol.Usb2Port, HubPortDisableProtocol.Usb3Port});
  });

  auto FindDevice = [this](EFI_USB_IO_PROTOCOL *This) -> FAKE_USB_DEVICE * {
    FAKE_USB_DEVICE *Device = FindUsbDevice(This);
    if (Device == nullptr || (This != &Device->UsbIo && This != &Device->UsbIoAgain)) {
      ADD_FAILURE() << "USB I/O call with a This the firmware never made";
      return nullptr;
    }
    return Device;
  };
  // Hands out the device's copy of one descriptor kind, once the reads set
  // to fail have failed.
  auto DescriptorRead = [FindDevice](auto FAKE_USB_DEVICE::*Stored, unsigned FAKE_USB_DEVICE::*Failures) {
    return [FindDevice, Stored, Failures](EFI_USB_IO_PROTOCOL *This, auto *Descriptor) {
      FAKE_USB_DEVICE *Device = FindDevice(This);
      if (Device == nullptr || Descriptor == nullptr) {
        return EFI_INVALID_PARAMETER;
      }
      if (Device->*Failures != 0) {
        Device->*Failures -= 1;
        return EFI_DEVICE_ERROR;
      }
      *Descriptor = Device->*Stored;
      return EFI_SUCCESS;
    };
  };
  OnCall<&EFI_USB_IO_PROTOCOL::UsbGetDeviceDescriptor>(
      DescriptorRead(&FAKE_USB_DEVICE::DeviceDescriptor, &FAKE_USB_DEVICE::DeviceReadFailures));
  OnCall<&EFI_USB_IO_PROTOCOL::UsbGetInterfaceDescriptor>(
      DescriptorRead(&FAKE_USB_DEVICE::InterfaceDescriptor, &FAKE_USB_DEVICE::InterfaceReadFailures));
}

