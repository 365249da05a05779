#include "TableHooks.h"

#include "FirmwareTables.h"

VOID UpdateTableCrc(EFI_TABLE_HEADER *Table) {
  Table->CRC32 = 0;
  (VOID) BootServices->CalculateCrc32(Table, Table->HeaderSize, &Table->CRC32);
}
