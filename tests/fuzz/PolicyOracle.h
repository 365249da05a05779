// The policy driver's rules, written again on the fuzzer's side from the
// board's facts (its port ranges and connector rows) and from what the
// sequence did, never from what the driver derives: which devices must lose
// USB I/O and which must keep it, what the controller's registers, the S3
// boot script and the hub protocol must receive, and the published block.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FakeFirmware.h"
#include "FakeHardware.h"

enum HUB_KIND { HubAbsent, HubWorking, HubNullApply, HubNullInterface };

// What the sequence did to the firmware and the hardware.
struct POLICY_WORLD {
  std::unique_ptr<FakeFirmware> Fake;
  bool Loaded = false;
  EFI_STATUS EntryStatus = EFI_SUCCESS;
  bool OldRevision = false;
  std::optional<std::vector<UINT8>> Setup;  // as stored when the driver loaded; none when missing
  bool S3Installed = false;
  bool TextInstalled = false;
  HUB_KIND Hub = HubAbsent;
  std::vector<bool> Unplugged;  // per device of Fake->UsbDevices
};

class PolicyOracle {
 public:
  explicit PolicyOracle(POLICY_WORLD &World);
  // After the entry point returned; CallStart is where its calls begin.
  void Entered(size_t CallStart);
  // Around every notify function.
  void Notify(const FAKE_EVENT &Event, bool Returned);
  // The device's device path or USB I/O was reinstalled, or it left: it may
  // be examined again.
  void Unsettle(size_t Device);
  // The hub protocol was installed with these port members.
  void HubInstalled(UINT8 Usb2Port, UINT8 Usb3Port);

 private:
  struct DEVICE_START {
    bool HadUsbIo;
    bool HadPath;
    unsigned DeviceReadFailures;
    unsigned InterfaceReadFailures;
  };
  // What one notification did to a device, from the calls it made.
  struct EXAMINATION {
    unsigned Looks = 0;    // reads of its path text or descriptors
    bool Excused = false;  // an injected fault hit a call about it
    bool TextRead = false;
    bool DeviceRead = false;
    bool InterfaceRead = false;
    bool DeviceRefused = false;
    bool InterfaceRefused = false;
  };
  struct ARRIVAL {
    std::vector<EXAMINATION> Seen;  // per device
    bool ListingRefused = false;    // the USB I/O handles were not listed
    bool ReportRefused = false;     // nor the handles that received a device path
  };
  // What one notification may be judged against.
  struct SNAPSHOT {
    size_t Calls;
    size_t MmioAccesses;
    size_t BootScript;
    size_t HubApplies;
    size_t PresentUsbIo;
    std::vector<EFI_HANDLE> Pending;  // handles the device-path registration held
    std::vector<DEVICE_START> Devices;
  };

  // The device a call was about, by its interface or its handle; the
  // device count for none.
  size_t DeviceAbout(const VOID *Subject) const;
  bool CarriesUsbIo(size_t Device) const;
  bool HasPath(size_t Device) const;
  bool SwitchedOff(size_t Connector) const;
  bool ReachesSwitchedOff(const std::u16string &Text) const;
  bool Refused(size_t From, const char *Call) const;
  bool AnyOff() const { return (Masks[0] | Masks[1] | Masks[2] | Masks[3]) != 0; }
  std::vector<bool> RefusalsOf(const char *Service) const;
  ARRIVAL ReadArrivalCalls() const;
  void CheckArrival();
  void CheckPortSignal(bool ReadyToBoot);
  void CheckRegisters(bool ReadyToBoot, UINT64 Base, const std::string &Moment);
  void CheckBootScript(UINT64 Base, const std::string &Moment);
  void CheckHubCalls(bool ReadyToBoot, const std::string &Moment);
  void CheckPool();

  POLICY_WORLD &World;
  SNAPSHOT Start{};
  bool LoadedOk = false;
  UINT16 Masks[4] = {};  // USB2, USB3, hub USB2, hub USB3
  bool Accepted[2] = {};  // the boot script holds the USB2 / USB3 entry
  UINT8 HubUsb2Member = 0;
  UINT8 HubUsb3Member = 0;
  std::vector<bool> Settled;  // examined to the end, allowed, not to be examined again
  std::unordered_map<const FAKE_USB_DEVICE *, size_t> IndexOf;
  size_t RefusedFrees = 0;
  size_t CountedCalls = 0;  // calls looked at for refused FreePools
};
