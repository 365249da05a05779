// The compiler lowers struct copies and zero-fills to calls of these even
// in a freestanding image, and there is no C library to provide them.
#include "Uefi/Base.h"

extern "C" {

void *memset(void *Destination, int Value, UINTN Length) {
  volatile UINT8 *Byte = static_cast<UINT8 *>(Destination);
  while (Length-- != 0) {
    *Byte++ = static_cast<UINT8>(Value);
  }
  return Destination;
}

void *memcpy(void *Destination, const void *Source, UINTN Length) {
  volatile UINT8 *To = static_cast<UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  while (Length-- != 0) {
    *To++ = *From++;
  }
  return Destination;
}
}
