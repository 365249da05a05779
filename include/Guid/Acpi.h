// Configuration-table entry of the ACPI tables.
#pragma once

#include "Uefi/Base.h"

// VendorTable is the ACPI 2.0 (and later) RSDP.
#define EFI_ACPI_20_TABLE_GUID {0x8868E871, 0xE4F1, 0x11D3, {0xBC, 0x22, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}}
