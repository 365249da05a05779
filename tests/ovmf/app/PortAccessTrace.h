// Watches a driver's accesses to one I/O port through the processor's I/O
// breakpoint (CR4.DE, DR0/DR7): each IN or OUT on the port traps into a small
// #DB handler that counts it and keeps the values EAX held, which for the
// driver's 32-bit timer reads are the readings themselves. QEMU's TCG raises
// the trap after the access completes, with interrupts masked or not.
#pragma once

#include "Uefi/Base.h"

struct PORT_ACCESS_TRACE {
  UINT64 Count;
  UINT32 First;     // value of the first access
  UINT32 Previous;  // value of the access before the last one
  UINT32 Last;
};

// Points #DB at the tracing handler and arms DR0 on Port; the firmware's
// handler, DR0, DR7 and CR4 are put back by StopPortAccessTrace.
VOID StartPortAccessTrace(UINT16 Port);
PORT_ACCESS_TRACE StopPortAccessTrace();
