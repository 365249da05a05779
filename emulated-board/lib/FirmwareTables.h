// The firmware tables every part of the emulated board calls through: the
// support library's SystemTable, BootServices and RuntimeServices, and the
// image's own handle.
#pragma once

#include "DriverSupportLib.h"

extern EFI_HANDLE ImageHandle;

// Stores the tables and the handle; unlike DriverSupportInit, it runs no
// calibration window.
VOID FirmwareTablesInit(EFI_HANDLE Image, EFI_SYSTEM_TABLE *Table);

// The VendorTable of the configuration-table entry Guid; null when absent.
VOID *FindConfigurationTable(const EFI_GUID *Guid);

bool HasProtocol(EFI_HANDLE Handle, const EFI_GUID *Protocol);
