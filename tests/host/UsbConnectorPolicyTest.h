// Fixture of the UsbConnectorPolicyDxe tests: the driver's globals as a
// freshly loaded image has them, and the Setup variable it reads.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "DriverTest.h"
#include "TestFacts.h"
#include "UsbConnectorPolicy.h"

class UsbConnectorPolicyTest : public DriverTest {
 protected:
  void LoadFreshImage() override {
    DriverTest::LoadFreshImage();
    std::memset(ConnectorRecords, 0, sizeof(ConnectorRecords));
    ConnectorRecordCount = 0;
    std::memset(SeenHandleTable, 0, sizeof(SeenHandleTable));
    SeenHandleCount = 0;
    S3SaveState = nullptr;
    DevicePathToText = nullptr;
    std::memset(SetupBuffer, 0, sizeof(SetupBuffer));
    for (UINT16 &Mask : PortDisableMasks) {
      Mask = 0;
    }
    std::fill(std::begin(BootScriptHolds), std::end(BootScriptHolds), false);
    std::memset(PortPathText, 0, sizeof(PortPathText));
  }

  EFI_STATUS RunEntry() { return DriverEntry(Fake->ImageHandle, &Fake->System); }

  void InstallLoadTimeProtocols() {
    Fake->InstallProtocol(nullptr, Guids::S3SaveState, &Fake->S3SaveStateProtocol);
    Fake->InstallProtocol(nullptr, Guids::DevicePathToText, &Fake->DevicePathToTextProtocol);
  }

  // A Setup of Size bytes of Fill, holding Mode and Enable where they fit.
  void PutSetup(UINT8 Mode, const std::array<UINT8, CONNECTOR_COUNT> &Enable, size_t Size = TEST_SETUP_SIZE,
                UINT8 Fill = 0) {
    std::vector<UINT8> Data(std::max<size_t>(Size, TEST_SETUP_SIZE), Fill);
    Data[TEST_SETUP_MODE_OFFSET] = Mode;
    std::copy(Enable.begin(), Enable.end(), Data.begin() + TEST_SETUP_ENABLE_OFFSET);
    Data.resize(Size);
    Fake->PutVariable(u"Setup", SetupGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS, Data);
  }
};

inline constexpr std::array<UINT8, CONNECTOR_COUNT> AllEnabled = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
