#include "FwCfgSettings.h"

#include "Console.h"
#include "QemuPlatform.h"

// A value that fills this buffer may have been cut, so it counts as
// malformed.
#define SETTING_TEXT_SIZE 64

static bool ReadSetting(const CHAR8 *Name, CHAR8 (&Text)[SETTING_TEXT_SIZE], UINTN *Length) {
  if (!FwCfgReadFile(Name, Text, sizeof(Text))) {
    return false;
  }
  for (*Length = 0; Text[*Length] != '\0'; (*Length)++) {
  }
  return *Length != 0 && *Length < SETTING_TEXT_SIZE - 1;
}

bool FwCfgReadUint8(const CHAR8 *Name, UINT8 *Value) {
  CHAR8 Text[SETTING_TEXT_SIZE];
  UINTN Length = 0;
  if (!ReadSetting(Name, Text, &Length)) {
    return false;
  }
  UINT32 Number = 0;
  for (UINTN Index = 0; Index < Length; Index++) {
    if (Text[Index] < '0' || Text[Index] > '9') {
      return false;
    }
    Number = Number * 10 + (UINT32)(Text[Index] - '0');
    if (Number > 0xFF) {
      return false;
    }
  }
  *Value = (UINT8)Number;
  return true;
}

bool FwCfgReadBool(const CHAR8 *Name, bool *Value) {
  CHAR8 Text[SETTING_TEXT_SIZE];
  UINTN Length = 0;
  if (!ReadSetting(Name, Text, &Length) || (!AsciiEqual(Text, "yes") && !AsciiEqual(Text, "no"))) {
    return false;
  }
  *Value = AsciiEqual(Text, "yes");
  return true;
}

bool FwCfgReadText(const CHAR8 *Name, CHAR8 *Value, UINTN Size) {
  CHAR8 Text[SETTING_TEXT_SIZE];
  UINTN Length = 0;
  if (!ReadSetting(Name, Text, &Length) || Length >= Size) {
    return false;
  }
  for (UINTN Index = 0; Index <= Length; Index++) {
    Value[Index] = Text[Index];
  }
  return true;
}
