// The fake firmware's pool: every buffer it hands out is counted until freed.
#include "FakeFirmwareParts.h"

// Fill of fresh pool buffers, which real firmware does not clear.
#define POOL_FILL 0xAF

VOID *FakeFirmware::AllocatePoolBuffer(UINTN Size) {
  std::unique_ptr<UINT8[]> Block(new UINT8[Size == 0 ? 1 : Size]);
  std::memset(Block.get(), POOL_FILL, Size);
  VOID *Buffer = Block.get();
  Pool[Buffer] = std::move(Block);
  return Buffer;
}

void FakeFirmware::InstallMemoryServices() {
  OnCall<&EFI_BOOT_SERVICES::AllocatePool>([this](EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
    if (Buffer == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    *Buffer = AllocatePoolBuffer(Size);
    return EFI_SUCCESS;
  });
  OnCall<&EFI_BOOT_SERVICES::FreePool>([this](VOID *Buffer) {
    if (Pool.erase(Buffer) == 0) {
      ADD_FAILURE() << "FreePool of a buffer the firmware never handed out";
      return EFI_INVALID_PARAMETER;
    }
    return EFI_SUCCESS;
  });
}

