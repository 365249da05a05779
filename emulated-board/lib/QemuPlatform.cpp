#include "QemuPlatform.h"

#include "Console.h"
#include "Hardware.h"

#define PCI_CONFIG_ADDRESS_PORT 0xCF8
#define PCI_CONFIG_DATA_PORT 0xCFC
#define PCI_CONFIG_ENABLE 0x80000000U

#define FW_CFG_SELECTOR_PORT 0x510
#define FW_CFG_DATA_PORT 0x511
#define FW_CFG_FILE_DIR 0x19
#define FW_CFG_FILE_NAME_SIZE 56

static UINT32 PciConfigAddress(UINT8 Bus, UINT8 Device, UINT8 Function, UINT8 Offset) {
  return PCI_CONFIG_ENABLE | ((UINT32)Bus << 16) | ((UINT32)Device << 11) | ((UINT32)Function << 8) | (Offset & 0xFCU);
}

UINT32 PciRead32(UINT8 Bus, UINT8 Device, UINT8 Function, UINT8 Offset) {
  IoWrite32(PCI_CONFIG_ADDRESS_PORT, PciConfigAddress(Bus, Device, Function, Offset));
  return IoRead32(PCI_CONFIG_DATA_PORT);
}

VOID PciWrite32(UINT8 Bus, UINT8 Device, UINT8 Function, UINT8 Offset, UINT32 Value) {
  IoWrite32(PCI_CONFIG_ADDRESS_PORT, PciConfigAddress(Bus, Device, Function, Offset));
  IoWrite32(PCI_CONFIG_DATA_PORT, Value);
}

// fw_cfg data items are streamed a byte at a time; directory fields are
// big-endian.
static UINT32 FwCfgReadBigEndian(UINTN Bytes) {
  UINT32 Value = 0;
  for (UINTN Index = 0; Index < Bytes; Index++) {
    Value = (Value << 8) | IoRead8(FW_CFG_DATA_PORT);
  }
  return Value;
}

bool FwCfgReadFile(const CHAR8 *Name, CHAR8 *Buffer, UINTN Size) {
  IoWrite16(FW_CFG_SELECTOR_PORT, FW_CFG_FILE_DIR);
  const UINT32 Count = FwCfgReadBigEndian(4);
  for (UINT32 Entry = 0; Entry < Count; Entry++) {
    const UINT32 FileSize = FwCfgReadBigEndian(4);
    const UINT16 Selector = (UINT16)FwCfgReadBigEndian(2);
    (VOID) FwCfgReadBigEndian(2);
    CHAR8 EntryName[FW_CFG_FILE_NAME_SIZE];
    for (CHAR8 &Character : EntryName) {
      Character = (CHAR8)IoRead8(FW_CFG_DATA_PORT);
    }
    EntryName[FW_CFG_FILE_NAME_SIZE - 1] = '\0';
    if (!AsciiEqual(EntryName, Name)) {
      continue;
    }
    IoWrite16(FW_CFG_SELECTOR_PORT, Selector);
    UINTN Length = 0;
    for (; Length < FileSize && Length + 1 < Size; Length++) {
      Buffer[Length] = (CHAR8)IoRead8(FW_CFG_DATA_PORT);
    }
    Buffer[Length] = '\0';
    return true;
  }
  return false;
}

VOID DebugExit(UINT32 Code) {
  IoWrite32(DEBUG_EXIT_PORT, Code);
  // Only reached when QEMU has no isa-debug-exit device.
  RuntimeServices->ResetSystem(EfiResetShutdown, EFI_SUCCESS, 0, nullptr);
  for (;;) {
  }
}
