// The chipset's facts: the ACPI PM timer, where the xHCI controller and its
// port-disable registers sit, and the id of its integrated hub. The shared
// library and both drivers read them from here; a board's connector wiring
// lives with the policy driver.
#pragma once

#include "Uefi/Base.h"

// ACPI PM timer: 24 bits wide at 3.579545 MHz.
#define PM_TIMER_PORT 0x1808
#define PM_TIMER_MASK 0x00FFFFFFU

// The chipset's integrated rate-matching hub presents this id.
#define CHIPSET_HUB_VENDOR_ID 0x8087
#define CHIPSET_HUB_PRODUCT_ID 0x0024

// Memory-mapped PCI Express configuration space.
#define PCIE_CONFIG_BASE 0xC0000000ULL
#define PCIE_CONFIG_ADDRESS(Bus, Device, Function, Offset) \
  (PCIE_CONFIG_BASE + ((UINT64)(Bus) << 20) + ((UINT64)(Device) << 15) + ((UINT64)(Function) << 12) + (Offset))

// The xHCI controller: PCI 0:14.0, with 14 root ports.
#define XHCI_BUS 0
#define XHCI_DEVICE 0x14
#define XHCI_FUNCTION 0
#define XHCI_ROOT_PORT_COUNT 14
#define XHCI_BAR0_LOW_ADDRESS PCIE_CONFIG_ADDRESS(XHCI_BUS, XHCI_DEVICE, XHCI_FUNCTION, 0x10)
#define XHCI_BAR0_HIGH_ADDRESS PCIE_CONFIG_ADDRESS(XHCI_BUS, XHCI_DEVICE, XHCI_FUNCTION, 0x14)
static_assert(XHCI_BAR0_LOW_ADDRESS == 0xC00A0010ULL, "xHCI BAR0 location");

// Port-disable registers, offsets from the controller's MMIO base: bit n - 1
// of the USB2 register switches off root port n (1-12), bits 0 and 1 of the
// USB3 register root ports 13 and 14.
#define XHCI_USB2_PORT_DISABLE_OFFSET 0x84F8
#define XHCI_USB3_PORT_DISABLE_OFFSET 0x84FC

// Text of the controller's device path, which every port prefix starts with.
#define XHCI_PATH "PciRoot(0x0)/Pci(0x14,0x0)/"
