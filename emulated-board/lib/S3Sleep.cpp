#include "S3Sleep.h"

#include "Console.h"
#include "Guids.h"
#include "Hardware.h"
#include "Report.h"

// Byte offsets in the ACPI tables (ACPI 6.x), read unaligned.
#define RSDP_XSDT_ADDRESS 24
#define TABLE_LENGTH 4
#define TABLE_HEADER_SIZE 36
#define FADT_FIRMWARE_CTRL 36
#define FADT_DSDT 40
#define FADT_PM1A_CNT_BLK 64
#define FADT_X_FIRMWARE_CTRL 132
#define FADT_X_DSDT 140
#define FACS_FIRMWARE_WAKING_VECTOR 12
#define FACS_X_FIRMWARE_WAKING_VECTOR 24

// PM1 control register: SLP_TYP in bits 10-12, SLP_EN bit 13.
#define PM1_CNT_SLP_TYP_SHIFT 10
#define PM1_CNT_SLP_TYP_MASK 0x1C00U
#define PM1_CNT_SLP_EN 0x2000U

// AML: PackageOp, and the encodings of a small integer.
#define AML_PACKAGE_OP 0x12
#define AML_ZERO_OP 0x00
#define AML_ONE_OP 0x01
#define AML_BYTE_PREFIX 0x0A

#define SLEEP_FAILED_STALL_US 5000000

// Real mode at 9F00:0000: cli; mov ax, 0x9F00; mov ds, ax;
// mov byte [0x100], 1; then hlt for ever.
static const UINT8 WakeStub[] = {0xFA, 0xB8, 0x00, 0x9F, 0x8E, 0xD8, 0xC6, 0x06, 0x00, 0x01, 0x01, 0xF4, 0xEB, 0xFD};
static_assert(S3_WAKE_FLAG_ADDRESS - S3_WAKE_STUB_ADDRESS == 0x100, "the stub sets the byte at offset 0x100");

template <typename T>
static T Read(const UINT8 *Table, UINTN Offset) {
  T Value;
  __builtin_memcpy(&Value, Table + Offset, sizeof(Value));
  return Value;
}

static bool SignatureIs(const UINT8 *Table, const CHAR8 *Signature) {
  return Read<UINT32>(Table, 0) == Read<UINT32>((const UINT8 *)Signature, 0);
}

static const UINT8 *FindTable(const UINT8 *Xsdt, const CHAR8 *Signature) {
  const UINT32 Length = Read<UINT32>(Xsdt, TABLE_LENGTH);
  for (UINTN Offset = TABLE_HEADER_SIZE; Offset + sizeof(UINT64) <= Length; Offset += sizeof(UINT64)) {
    const UINT8 *Table = (const UINT8 *)(UINTN)Read<UINT64>(Xsdt, Offset);
    if (Table != nullptr && SignatureIs(Table, Signature)) {
      return Table;
    }
  }
  return nullptr;
}

// The value of the first element of the DSDT's \_S3 package; -1 when there
// is none.
static INTN S3SleepType(const UINT8 *Dsdt) {
  const UINT32 Length = Read<UINT32>(Dsdt, TABLE_LENGTH);
  for (UINTN Offset = TABLE_HEADER_SIZE; Offset + 8 < Length; Offset++) {
    const UINT8 *Name = Dsdt + Offset;
    if (!SignatureIs(Name, "_S3_") || Name[4] != AML_PACKAGE_OP) {
      continue;
    }
    // PkgLength: bits 6-7 of its lead byte count the bytes that follow it.
    const UINT8 *Element = Name + 5 + 1 + (Name[5] >> 6) + 1;
    if (Element[0] == AML_ZERO_OP || Element[0] == AML_ONE_OP) {
      return Element[0];
    }
    return Element[0] == AML_BYTE_PREFIX ? Element[1] : -1;
  }
  return -1;
}

VOID EnterS3() {
  const UINT8 *Rsdp = (const UINT8 *)FindConfigurationTable(&Acpi20TableGuid);
  const UINT8 *Xsdt = Rsdp != nullptr ? (const UINT8 *)(UINTN)Read<UINT64>(Rsdp, RSDP_XSDT_ADDRESS) : nullptr;
  const UINT8 *Fadt = Xsdt != nullptr ? FindTable(Xsdt, "FACP") : nullptr;
  if (!Expect(Fadt != nullptr, "no ACPI 2.0 RSDP, XSDT or FADT")) {
    return;
  }
  const UINT64 XFacs = Read<UINT64>(Fadt, FADT_X_FIRMWARE_CTRL);
  const UINT64 XDsdt = Read<UINT64>(Fadt, FADT_X_DSDT);
  UINT8 *Facs = (UINT8 *)(UINTN)(XFacs != 0 ? XFacs : Read<UINT32>(Fadt, FADT_FIRMWARE_CTRL));
  const UINT8 *Dsdt = (const UINT8 *)(UINTN)(XDsdt != 0 ? XDsdt : Read<UINT32>(Fadt, FADT_DSDT));
  const UINT16 Pm1aControl = (UINT16)Read<UINT32>(Fadt, FADT_PM1A_CNT_BLK);
  const INTN SleepType = Dsdt != nullptr ? S3SleepType(Dsdt) : -1;
  if (!Expect(Facs != nullptr && SignatureIs(Facs, "FACS"), "no FACS") ||
      !Expect(SleepType >= 0, "the DSDT has no \\_S3 package: the machine does not offer S3") ||
      !Expect(Pm1aControl != 0, "no PM1a control block")) {
    return;
  }

  EFI_PHYSICAL_ADDRESS Stub = S3_WAKE_STUB_ADDRESS;
  const EFI_STATUS Status = BootServices->AllocatePages(AllocateAddress, EfiReservedMemoryType, 1, &Stub);
  if (!Expect(Status == EFI_SUCCESS, "no page at 0x%llx for the waking vector: %s", Stub, StatusName(Status))) {
    return;
  }
  __builtin_memcpy((VOID *)(UINTN)Stub, WakeStub, sizeof(WakeStub));
  *(volatile UINT8 *)(UINTN)S3_WAKE_FLAG_ADDRESS = 0;
  // A real-mode vector: the firmware takes the 64-bit one first when set.
  __builtin_memcpy(Facs + FACS_FIRMWARE_WAKING_VECTOR, &Stub, sizeof(UINT32));
  __builtin_memset(Facs + FACS_X_FIRMWARE_WAKING_VECTOR, 0, sizeof(UINT64));

  Print("BOARD: SLEEP S3 pm1a_cnt=0x%x slp_typ=%llu vector=0x%llx\n", Pm1aControl, (UINT64)SleepType, Stub);
  const UINT16 Control = (UINT16)((IoRead16(Pm1aControl) & ~PM1_CNT_SLP_TYP_MASK) |
                                  ((UINT16)SleepType << PM1_CNT_SLP_TYP_SHIFT) | PM1_CNT_SLP_EN);
  IoWrite16(Pm1aControl, Control);
  // Reached only when the machine did not sleep.
  BootServices->Stall(SLEEP_FAILED_STALL_US);
  Expect(false, "the machine did not enter S3 after PM1a_CNT 0x%x was written", Control);
}
