// What the fake firmware's files share and the tests do not need.
#pragma once

#include <algorithm>
#include <cstring>

#include "FakeFirmware.h"

// Stands for "whatever the firmware left there" in outputs of failed calls.
inline VOID *const PoisonPointer = reinterpret_cast<VOID *>(0xBADBADBADBADULL);
// Where the table members the drivers never call through point; a call there
// fails the test.
extern VOID *const UntypedSlot;
