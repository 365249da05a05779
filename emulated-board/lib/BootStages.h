// Flows over two boots: the first stores what the next boot needs (Setup,
// SaSetup, load options), marks the next boot as the check and resets; the
// check boot reads what BoardStandInDxe recorded of the drivers in it.
#pragma once

#include "StandIn.h"

// True in the boot that follows MarkCheckStageAndReset; the mark is
// consumed, so a further boot starts over.
bool EnterCheckStage();
// Stores the check-stage mark and asks for a cold reset. Returns only when
// storing failed.
VOID MarkCheckStageAndReset(const CHAR8 *Why);

// Prepare in the first boot (it ends in MarkCheckStageAndReset), Check in
// the next.
template <typename CASE>
VOID RunTwoBoots(const CASE &Case, VOID (*Prepare)(const CASE &), VOID (*Check)(const CASE &)) {
  if (EnterCheckStage()) {
    Check(Case);
  } else {
    Prepare(Case);
  }
}

// What BoardStandInDxe recorded in this boot; null (and a failed check) when
// it was not started or one of its settings was missing or malformed.
STAND_IN_RECORD *StandInRecord();
