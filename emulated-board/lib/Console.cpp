#include "Console.h"

#include "Protocol/SimpleTextOutput.h"

#define PRINT_BUFFER_SIZE 512

struct FORMAT_SINK {
  CHAR8 *Buffer;
  UINTN Size;
  UINTN Length;
};

static VOID Put(FORMAT_SINK &Sink, CHAR8 Character) {
  if (Sink.Length + 1 < Sink.Size) {
    Sink.Buffer[Sink.Length++] = Character;
  }
}

static VOID PutNumber(FORMAT_SINK &Sink, UINT64 Value, UINT32 Base, UINTN Width, CHAR8 Pad) {
  CHAR8 Reversed[24];
  UINTN Count = 0;
  do {
    Reversed[Count++] = "0123456789abcdef"[Value % Base];
    Value /= Base;
  } while (Value != 0);
  for (UINTN Length = Count; Length < Width; Length++) {
    Put(Sink, Pad);
  }
  while (Count != 0) {
    Put(Sink, Reversed[--Count]);
  }
}

VOID FormatVa(CHAR8 *Buffer, UINTN Size, const CHAR8 *Format, __builtin_va_list Args) {
  FORMAT_SINK Sink = {Buffer, Size, 0};
  for (const CHAR8 *Cursor = Format; *Cursor != '\0'; Cursor++) {
    if (*Cursor != '%') {
      Put(Sink, *Cursor);
      continue;
    }
    Cursor++;
    CHAR8 Pad = ' ';
    if (*Cursor == '0') {
      Pad = '0';
      Cursor++;
    }
    UINTN Width = 0;
    for (; *Cursor >= '0' && *Cursor <= '9'; Cursor++) {
      Width = Width * 10 + (UINTN)(*Cursor - '0');
    }
    bool Long = false;
    for (; *Cursor == 'l'; Cursor++) {
      Long = true;
    }
    switch (*Cursor) {
      case 's':
        for (const CHAR8 *Text = __builtin_va_arg(Args, const CHAR8 *); *Text != '\0'; Text++) {
          Put(Sink, *Text);
        }
        break;
      case 'u':
      case 'x': {
        const UINT64 Value = Long ? __builtin_va_arg(Args, UINT64) : __builtin_va_arg(Args, UINT32);
        PutNumber(Sink, Value, *Cursor == 'u' ? 10 : 16, Width, Pad);
        break;
      }
      case '%':
        Put(Sink, '%');
        break;
      default:
        // Unknown conversions are left visible rather than consuming an
        // argument of unknown size.
        Put(Sink, '%');
        if (*Cursor == '\0') {
          Cursor--;
        } else {
          Put(Sink, *Cursor);
        }
        break;
    }
  }
  if (Size != 0) {
    Buffer[Sink.Length] = '\0';
  }
}

VOID FormatString(CHAR8 *Buffer, UINTN Size, const CHAR8 *Format, ...) {
  __builtin_va_list Args;
  __builtin_va_start(Args, Format);
  FormatVa(Buffer, Size, Format, Args);
  __builtin_va_end(Args);
}

VOID Print(const CHAR8 *Format, ...) {
  CHAR8 Text[PRINT_BUFFER_SIZE];
  __builtin_va_list Args;
  __builtin_va_start(Args, Format);
  FormatVa(Text, sizeof(Text), Format, Args);
  __builtin_va_end(Args);

  // The console wants UCS-2 and a carriage return before each line feed.
  CHAR16 Wide[2 * PRINT_BUFFER_SIZE + 1];
  UINTN Length = 0;
  for (const CHAR8 *Cursor = Text; *Cursor != '\0'; Cursor++) {
    if (*Cursor == '\n') {
      Wide[Length++] = u'\r';
    }
    Wide[Length++] = (CHAR16)(UINT8)*Cursor;
  }
  Wide[Length] = 0;
  SystemTable->ConOut->OutputString(SystemTable->ConOut, Wide);
}

VOID AsciiFromText(const CHAR16 *Text, CHAR8 *Buffer, UINTN Size) {
  UINTN Length = 0;
  for (; Text != nullptr && Text[Length] != 0 && Length + 1 < Size; Length++) {
    Buffer[Length] = Text[Length] < 0x80 ? (CHAR8)Text[Length] : '?';
  }
  Buffer[Length] = '\0';
}

bool AsciiEqual(const CHAR8 *A, const CHAR8 *B) {
  for (; *A != '\0' && *A == *B; A++, B++) {
  }
  return *A == *B;
}

bool IsUnder(const CHAR8 *Path, const CHAR8 *Device) {
  for (; *Device != '\0'; Path++, Device++) {
    if (*Path != *Device) {
      return false;
    }
  }
  return *Path == '\0' || *Path == '/';
}

struct STATUS_NAME {
  EFI_STATUS Status;
  const CHAR8 *Name;
};

static const STATUS_NAME StatusNames[] = {
    {EFI_SUCCESS, "EFI_SUCCESS"},
    {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
    {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
    {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
    {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
    {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
    {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
    {EFI_INCOMPATIBLE_VERSION, "EFI_INCOMPATIBLE_VERSION"},
    {EFI_SECURITY_VIOLATION, "EFI_SECURITY_VIOLATION"},
};

const CHAR8 *StatusName(EFI_STATUS Status) {
  for (const STATUS_NAME &Entry : StatusNames) {
    if (Entry.Status == Status) {
      return Entry.Name;
    }
  }
  return "unnamed status";
}
