// The frame each fuzz target shares: libFuzzer's entry points, the driver
// image loaded afresh for every sequence, and the first broken rule with the
// sequence that broke it, in words.
#pragma once

#include <string>
#include <vector>

#include "Sequence.h"

// UEFI 2.29, the newest firmware revision both drivers refuse.
#define OLD_REVISION 0x0002001DU

// Supplied by each target.
extern const GRAMMAR TargetGrammar;
// Runs the sequence on a fresh image and fresh firmware, judging after every
// step; stops at the first violation.
void RunSequence(const std::vector<OPERATION> &Sequence);

// Named by the build: "policy-product", "reset", ...
extern const char TargetName[];

// The first broken rule of the run; later ones are not recorded.
void Violation(const std::string &Invariant, const std::string &Detail);
bool Violated();

// Every global of the driver sources back to what a freshly loaded image
// holds, whatever the sources declare.
void LoadFreshImage();

// A status as the firmware's tables would name it, or its value in hex.
std::string StatusName(unsigned long long Status);
