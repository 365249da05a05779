// Base types, status codes and GUIDs of the UEFI interfaces, for x86-64.
#pragma once

// The firmware calling convention. Spelled out in every build, host tests
// included, so a callback that forgets it fails to compile instead of
// corrupting registers on a board.
#define EFIAPI __attribute__((ms_abi))

typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef signed char INT8;
typedef short INT16;
typedef int INT32;
typedef long long INT64;
typedef UINT64 UINTN;
typedef INT64 INTN;
typedef UINT8 BOOLEAN;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef void VOID;

static_assert(sizeof(UINTN) == 8 && sizeof(VOID *) == 8, "x86-64 only");
static_assert(sizeof(CHAR16) == 2, "UCS-2 characters");

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

typedef UINTN EFI_STATUS;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

// Handles and events are opaque to everyone but the firmware.
typedef struct EFI_HANDLE_OPAQUE *EFI_HANDLE;
typedef struct EFI_EVENT_OPAQUE *EFI_EVENT;

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16, "EFI_GUID layout");

#define EFI_ERROR_BIT (1ULL << 63)
#define ENCODE_ERROR(Code) ((EFI_STATUS)(EFI_ERROR_BIT | (Code)))
#define EFI_ERROR(Status) (((EFI_STATUS)(Status) & EFI_ERROR_BIT) != 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR ENCODE_ERROR(1)
#define EFI_INVALID_PARAMETER ENCODE_ERROR(2)
#define EFI_UNSUPPORTED ENCODE_ERROR(3)
#define EFI_BUFFER_TOO_SMALL ENCODE_ERROR(5)
#define EFI_DEVICE_ERROR ENCODE_ERROR(7)
#define EFI_WRITE_PROTECTED ENCODE_ERROR(8)
#define EFI_OUT_OF_RESOURCES ENCODE_ERROR(9)
#define EFI_NOT_FOUND ENCODE_ERROR(14)
#define EFI_ACCESS_DENIED ENCODE_ERROR(15)
#define EFI_ABORTED ENCODE_ERROR(21)
#define EFI_INCOMPATIBLE_VERSION ENCODE_ERROR(25)
#define EFI_SECURITY_VIOLATION ENCODE_ERROR(26)

#define TPL_APPLICATION ((EFI_TPL)4)
#define TPL_CALLBACK ((EFI_TPL)8)
#define TPL_NOTIFY ((EFI_TPL)16)

// Equality of two GUIDs compared as two 64-bit halves, as the firmware
// stores them.
inline bool CompareGuid(const EFI_GUID *A, const EFI_GUID *B) {
  UINT64 L[2];
  UINT64 R[2];
  __builtin_memcpy(L, A, sizeof(L));
  __builtin_memcpy(R, B, sizeof(R));
  return L[0] == R[0] && L[1] == R[1];
}
