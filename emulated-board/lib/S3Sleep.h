// A real S3 sleep from a boot application, with no OS: the firmware's resume
// path replays the S3 boot script and then jumps to the waking vector, here
// a real-mode stub that raises a flag in memory and halts. The host wakes the
// machine and reads the flag and whatever it wants to see over QEMU's monitor.
#pragma once

#include "Uefi/Base.h"

// The stub's page, below 1 MiB as a real-mode waking vector needs, and the
// byte it sets to 1 once the firmware has resumed.
#define S3_WAKE_STUB_ADDRESS 0x9F000ULL
#define S3_WAKE_FLAG_ADDRESS (S3_WAKE_STUB_ADDRESS + 0x100)

// Sets up the waking vector and enters S3. Returns only when the machine
// could not be put to sleep, with a failed check naming why.
VOID EnterS3();
