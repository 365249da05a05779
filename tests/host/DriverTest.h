// Base fixture of the driver tests: a new fake firmware and hardware per
// test, and the support library's state as a freshly loaded image has it.
#pragma once

#include <memory>

#include "DriverSupportLib.h"
#include "FakeFirmware.h"
#include "FakeHardware.h"

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override { LoadFreshImage(); }

  void TearDown() override {
    EXPECT_EQ(Fake->OutstandingPoolBuffers(), 0U) << "pool buffers handed to the driver were never freed";
  }

  // Everything a new boot would see: new firmware, new hardware, and every
  // image global back to zero. Fixtures of each driver add their own state.
  virtual void LoadFreshImage() {
    Fake.reset();
    Fake = std::make_unique<FakeFirmware>();
    FakeHardware = FAKE_HARDWARE{};
    SystemTable = nullptr;
    BootServices = nullptr;
    RuntimeServices = nullptr;
    HobListCache = nullptr;
  }

  std::unique_ptr<FakeFirmware> Fake;
};
