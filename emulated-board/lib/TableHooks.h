// Hooks in the firmware's tables: a boot or runtime service, or a member of
// a protocol, replaced by a function that watches the calls and passes them
// on to the one it replaced.
#pragma once

#include "Uefi/SystemTable.h"

// Recomputes the CRC in a service table's header after one of its slots
// changed, so that the table still checks.
VOID UpdateTableCrc(EFI_TABLE_HEADER *Table);

// Puts Hook in Slot and returns what Slot held, for Hook to pass the calls on
// to; hooking that back in undoes it. Table is the header of the service
// table Slot belongs to, or null for a protocol's member, which has no CRC.
template <typename FUNCTION>
FUNCTION HookSlot(EFI_TABLE_HEADER *Table, FUNCTION *Slot, FUNCTION Hook) {
  const FUNCTION Replaced = *Slot;
  *Slot = Hook;
  if (Table != nullptr) {
    UpdateTableCrc(Table);
  }
  return Replaced;
}
