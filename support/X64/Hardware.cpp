// x86-64 instructions behind the hardware seam.
#include "Hardware.h"

UINT8 IoRead8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

UINT16 IoRead16(UINT16 Port) {
  UINT16 Value;
  __asm__ __volatile__("inw %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

// Kept out of line, so an I/O breakpoint on the port (how the calibration
// window is watched, by a debugger or the OVMF scenarios) traps at a call
// boundary: inside a longer block QEMU's emulator saves the trap's RFLAGS
// from stale flag state, and the trap can return with the trap flag set.
__attribute__((noinline)) UINT32 IoRead32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

VOID IoWrite16(UINT16 Port, UINT16 Value) { __asm__ __volatile__("outw %0, %w1" : : "a"(Value), "Nd"(Port)); }

VOID IoWrite32(UINT16 Port, UINT32 Value) { __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port)); }

UINT64 ReadTimeStampCounter() {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdtsc" : "=a"(Low), "=d"(High));
  return ((UINT64)High << 32) | Low;
}

UINT64 ReadRflags() {
  UINT64 Flags;
  __asm__ __volatile__("pushfq\n\tpopq %0" : "=r"(Flags));
  return Flags;
}

VOID EnableInterrupts() { __asm__ __volatile__("sti" ::: "memory"); }

VOID DisableInterrupts() { __asm__ __volatile__("cli" ::: "memory"); }

VOID CpuPause() { __asm__ __volatile__("pause" ::: "memory"); }

// The boot-time memory map is identity-mapped, so a physical address is
// used as a pointer.
UINT32 MmioRead32(UINTN Address) { return *(volatile UINT32 *)Address; }

VOID MmioWrite32(UINTN Address, UINT32 Value) { *(volatile UINT32 *)Address = Value; }
