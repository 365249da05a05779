#include "PortAccessTrace.h"

#define DEBUG_EXCEPTION_VECTOR 1
#define IDT_INTERRUPT_GATE 0x8E  // present, DPL 0, 64-bit interrupt gate
#define CR4_DEBUGGING_EXTENSIONS 0x8ULL
// DR7: local enable of breakpoint 0, type I/O read or write, length 4.
#define DR7_L0 0x1ULL
#define DR7_RW0_IO (0x2ULL << 16)
#define DR7_LEN0_4 (0x3ULL << 18)

#pragma pack(push, 1)
struct IDT_GATE {
  UINT16 OffsetLow;
  UINT16 Selector;
  UINT8 Ist;
  UINT8 Attributes;
  UINT16 OffsetMiddle;
  UINT32 OffsetHigh;
  UINT32 Reserved;
};
struct IDT_REGISTER {
  UINT16 Limit;
  UINT64 Base;
};
#pragma pack(pop)
static_assert(sizeof(IDT_GATE) == 16, "IDT_GATE layout");

extern "C" {
volatile UINT64 PortTraceCount;
volatile UINT32 PortTraceFirst;
volatile UINT32 PortTracePrevious;
volatile UINT32 PortTraceLast;
VOID PortTraceHandler();
}

// Only RDX is used besides the flags, which IRETQ restores. DR6 is cleared
// so the next trap reports only its own breakpoint.
__asm__(
    ".text\n"
    ".globl PortTraceHandler\n"
    "PortTraceHandler:\n"
    "  pushq %rdx\n"
    "  movq %dr6, %rdx\n"
    "  testb $1, %dl\n"
    "  jz 2f\n"
    "  movl PortTraceLast(%rip), %edx\n"
    "  movl %edx, PortTracePrevious(%rip)\n"
    "  movl %eax, PortTraceLast(%rip)\n"
    "  cmpq $0, PortTraceCount(%rip)\n"
    "  jne 1f\n"
    "  movl %eax, PortTraceFirst(%rip)\n"
    "1:\n"
    "  incq PortTraceCount(%rip)\n"
    "2:\n"
    "  movq $0xFFFF0FF0, %rdx\n"
    "  movq %rdx, %dr6\n"
    "  popq %rdx\n"
    "  iretq\n");

static IDT_GATE FirmwareGate;
static UINT64 FirmwareCr4;
static UINT64 FirmwareDr0;
static UINT64 FirmwareDr7;

static IDT_GATE *DebugGate() {
  IDT_REGISTER Idtr;
  __asm__ __volatile__("sidt %0" : "=m"(Idtr));
  return (IDT_GATE *)Idtr.Base + DEBUG_EXCEPTION_VECTOR;
}

VOID StartPortAccessTrace(UINT16 Port) {
  PortTraceCount = 0;
  PortTraceFirst = 0;
  PortTracePrevious = 0;
  PortTraceLast = 0;

  UINT16 CodeSelector;
  __asm__ __volatile__("movw %%cs, %0" : "=r"(CodeSelector));
  const UINT64 Handler = (UINT64)(UINTN)&PortTraceHandler;
  IDT_GATE *Gate = DebugGate();
  FirmwareGate = *Gate;
  *Gate = {(UINT16)Handler, CodeSelector, 0, IDT_INTERRUPT_GATE, (UINT16)(Handler >> 16), (UINT32)(Handler >> 32), 0};

  __asm__ __volatile__("movq %%cr4, %0" : "=r"(FirmwareCr4));
  __asm__ __volatile__("movq %%dr0, %0" : "=r"(FirmwareDr0));
  __asm__ __volatile__("movq %%dr7, %0" : "=r"(FirmwareDr7));
  __asm__ __volatile__("movq %0, %%cr4" : : "r"(FirmwareCr4 | CR4_DEBUGGING_EXTENSIONS) : "memory");
  __asm__ __volatile__("movq %0, %%dr0" : : "r"((UINT64)Port) : "memory");
  __asm__ __volatile__("movq %0, %%dr7" : : "r"(DR7_L0 | DR7_RW0_IO | DR7_LEN0_4) : "memory");
}

PORT_ACCESS_TRACE StopPortAccessTrace() {
  __asm__ __volatile__("movq %0, %%dr7" : : "r"(FirmwareDr7) : "memory");
  __asm__ __volatile__("movq %0, %%dr0" : : "r"(FirmwareDr0) : "memory");
  __asm__ __volatile__("movq %0, %%cr4" : : "r"(FirmwareCr4) : "memory");
  *DebugGate() = FirmwareGate;
  return PORT_ACCESS_TRACE{PortTraceCount, PortTraceFirst, PortTracePrevious, PortTraceLast};
}
