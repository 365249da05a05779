// Decoding, writing and mutating operation lists.
#include "Sequence.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>

extern "C" size_t LLVMFuzzerMutate(uint8_t *Data, size_t Size, size_t MaxSize);

static const char WordsHeader[] = "# fuzz ";

static uint64_t Mask(unsigned Bits) { return Bits >= 64 ? ~0ULL : (1ULL << Bits) - 1; }

static const FIELD *FindField(const OPERATION_FORM &Form, const char *Name) {
  for (const FIELD &Field : Form.Fields) {
    if (std::strcmp(Field.Name, Name) == 0) {
      return &Field;
    }
  }
  return nullptr;
}

static uint64_t RawValue(uint64_t Bits, const FIELD &Field) { return Bits >> Field.Shift & Mask(Field.Bits); }

unsigned OPERATION::operator[](const char *Name) const {
  const FIELD *Field = FindField(Form(), Name);
  if (Field == nullptr) {
    std::fprintf(stderr, "fuzz: operation %s has no field %s\n", Form().Name, Name);
    std::abort();
  }
  const uint64_t Raw = RawValue(Bits, *Field);
  return static_cast<unsigned>(Field->Values.empty() ? Raw : Raw % Field->Values.size());
}

bool OPERATION::Is(const char *Operation) const { return std::strcmp(Form().Name, Operation) == 0; }

// The operation byte modulo the weights' sum falls into one operation's share.
static unsigned CodeOf(const GRAMMAR &Grammar, unsigned Byte) {
  unsigned Total = 0;
  for (const OPERATION_FORM &Form : Grammar.Operations) {
    Total += Form.Weight;
  }
  unsigned Share = Byte % Total;
  unsigned Code = 0;
  while (Share >= Grammar.Operations[Code].Weight) {
    Share -= Grammar.Operations[Code++].Weight;
  }
  return Code;
}

static uint8_t ByteOf(const OPERATION &Operation) {
  unsigned Byte = 0;
  for (unsigned Code = 0; Code < Operation.Code; Code++) {
    Byte += Operation.Grammar->Operations[Code].Weight;
  }
  return static_cast<uint8_t>(Byte);
}

static OPERATION FromRecord(const GRAMMAR &Grammar, const uint8_t *Record) {
  uint64_t Bits = 0;
  for (unsigned Byte = RECORD_SIZE - 1; Byte >= 1; Byte--) {
    Bits = Bits << 8 | Record[Byte];
  }
  return {&Grammar, CodeOf(Grammar, Record[0]), Bits};
}

std::vector<uint8_t> EncodeSequence(const std::vector<OPERATION> &Sequence) {
  std::vector<uint8_t> Bytes;
  for (const OPERATION &Operation : Sequence) {
    Bytes.push_back(ByteOf(Operation));
    for (unsigned Byte = 0; Byte < RECORD_SIZE - 1; Byte++) {
      Bytes.push_back(static_cast<uint8_t>(Operation.Bits >> (8 * Byte)));
    }
  }
  return Bytes;
}

std::string Describe(const OPERATION &Operation) {
  std::string Line = Operation.Form().Name;
  for (const FIELD &Field : Operation.Form().Fields) {
    const uint64_t Raw = RawValue(Operation.Bits, Field);
    if (Raw == 0) {
      continue;
    }
    char Value[32];
    if (!Field.Values.empty()) {
      std::snprintf(Value, sizeof(Value), "%s", Field.Values[Raw % Field.Values.size()]);
    } else {
      std::snprintf(Value, sizeof(Value), Field.Hex ? "0x%llX" : "%llu", static_cast<unsigned long long>(Raw));
    }
    Line += std::string(" ") + Field.Name + "=" + Value;
  }
  return Line;
}

std::string DescribeSequence(const std::vector<OPERATION> &Sequence, const std::string &Target) {
  std::string Text = WordsHeader + Target + "\n";
  for (const OPERATION &Operation : Sequence) {
    Text += Describe(Operation) + "\n";
  }
  return Text;
}

static bool ParseLine(const GRAMMAR &Grammar, const std::string &Line, OPERATION &Operation, std::string &Error) {
  std::istringstream Words(Line);
  std::string Name;
  Words >> Name;
  Operation = {&Grammar, static_cast<unsigned>(Grammar.Operations.size()), 0};
  for (unsigned Code = 0; Code < Grammar.Operations.size(); Code++) {
    if (Name == Grammar.Operations[Code].Name) {
      Operation.Code = Code;
    }
  }
  if (Operation.Code == Grammar.Operations.size()) {
    Error = "no operation " + Name;
    return false;
  }
  for (std::string Word; Words >> Word;) {
    const size_t Equals = Word.find('=');
    const FIELD *Field =
        Equals == std::string::npos ? nullptr : FindField(Operation.Form(), Word.substr(0, Equals).c_str());
    if (Field == nullptr) {
      Error = Name + " has no field " + Word.substr(0, Equals);
      return false;
    }
    const std::string Text = Word.substr(Equals + 1);
    uint64_t Value = 0;
    bool Found = false;
    for (size_t Index = 0; Index < Field->Values.size() && !Found; Index++) {
      Found = Text == Field->Values[Index];
      Value = Index;
    }
    if (!Found) {
      char *End = nullptr;
      Value = std::strtoull(Text.c_str(), &End, 0);
      if (!Field->Values.empty() || Text.empty() || *End != 0 || Value > Mask(Field->Bits)) {
        Error = "bad value " + Word;
        return false;
      }
    }
    Operation.Bits = (Operation.Bits & ~(Mask(Field->Bits) << Field->Shift)) | Value << Field->Shift;
  }
  return true;
}

std::vector<OPERATION> DecodeSequence(const GRAMMAR &Grammar, const uint8_t *Data, size_t Size,
                                      std::string &Error) {
  std::vector<OPERATION> Sequence;
  const size_t HeaderLength = sizeof(WordsHeader) - 1;
  if (Size < HeaderLength || std::memcmp(Data, WordsHeader, HeaderLength) != 0) {
    for (size_t Offset = 0; Offset + RECORD_SIZE <= Size; Offset += RECORD_SIZE) {
      Sequence.push_back(FromRecord(Grammar, Data + Offset));
    }
    return Sequence;
  }
  std::istringstream Lines(std::string(reinterpret_cast<const char *>(Data), Size));
  std::string Line;
  for (unsigned Number = 1; std::getline(Lines, Line); Number++) {
    if (Line.find_first_not_of(" \t\r") == std::string::npos || Line[Line.find_first_not_of(" \t")] == '#') {
      continue;
    }
    OPERATION Operation;
    if (!ParseLine(Grammar, Line, Operation, Error)) {
      Error = "line " + std::to_string(Number) + ": " + Error;
      return {};
    }
    Sequence.push_back(Operation);
  }
  return Sequence;
}

// ---------------------------------------------------------------------------
// Mutation

static std::vector<OPERATION> DecodeForMutation(const GRAMMAR &Grammar, const uint8_t *Data, size_t Size) {
  std::string Error;
  return DecodeSequence(Grammar, Data, Size, Error);
}

static size_t Store(const std::vector<OPERATION> &Sequence, uint8_t *Out, size_t MaxSize) {
  const std::vector<uint8_t> Bytes = EncodeSequence(Sequence);
  const size_t Size = std::min({Bytes.size(), MaxSize / RECORD_SIZE * RECORD_SIZE, size_t{MAX_OPERATIONS * RECORD_SIZE}});
  std::memcpy(Out, Bytes.data(), Size);
  return Size;
}

// Values worth trying in any field besides a random one.
static uint64_t FieldMutation(std::minstd_rand &Random, uint64_t Raw, unsigned Bits) {
  switch (Random() % 5) {
    case 0:
      return 0;
    case 1:
      return Mask(Bits);
    case 2:
      return Raw + 1;
    case 3:
      return Raw - 1;
    default:
      return (static_cast<uint64_t>(Random()) << 31) ^ Random();
  }
}

size_t MutateSequence(const GRAMMAR &Grammar, uint8_t *Data, size_t Size, size_t MaxSize, unsigned Seed) {
  std::minstd_rand Random(Seed);
  std::vector<OPERATION> Sequence = DecodeForMutation(Grammar, Data, Size);
  const size_t MaxOperations = std::min<size_t>(MaxSize / RECORD_SIZE, MAX_OPERATIONS);
  const auto Pick = [&](size_t Count) { return static_cast<size_t>(Random() % Count); };
  const unsigned Kind = Sequence.empty() ? 0 : Random() % 7;
  if (Kind <= 1 && Sequence.size() < MaxOperations) {
    // A new operation, or a copy of one, somewhere.
    OPERATION Operation = Kind == 0 || Sequence.empty()
                              ? OPERATION{&Grammar, CodeOf(Grammar, Random() & 0xFF), 0}
                              : Sequence[Pick(Sequence.size())];
    if (Kind == 0) {
      for (const FIELD &Field : Operation.Form().Fields) {
        if (Random() % 3 == 0) {
          Operation.Bits |= (FieldMutation(Random, 0, Field.Bits) & Mask(Field.Bits)) << Field.Shift;
        }
      }
    }
    Sequence.insert(Sequence.begin() + Pick(Sequence.size() + 1), Operation);
  } else if (Kind == 2 && Sequence.size() > 1) {
    Sequence.erase(Sequence.begin() + Pick(Sequence.size()));
  } else if (Kind == 3 && Sequence.size() > 1) {
    std::swap(Sequence[Pick(Sequence.size())], Sequence[Pick(Sequence.size())]);
  } else if (Kind == 4) {
    Sequence[Pick(Sequence.size())].Code = CodeOf(Grammar, Random() & 0xFF);
  } else if (Kind == 5) {
    // libFuzzer's own byte mutations, with what it learnt from comparisons.
    OPERATION &Operation = Sequence[Pick(Sequence.size())];
    uint8_t Bytes[RECORD_SIZE - 1];
    for (unsigned Byte = 0; Byte < sizeof(Bytes); Byte++) {
      Bytes[Byte] = static_cast<uint8_t>(Operation.Bits >> (8 * Byte));
    }
    LLVMFuzzerMutate(Bytes, sizeof(Bytes), sizeof(Bytes));
    Operation.Bits = 0;
    for (unsigned Byte = sizeof(Bytes); Byte-- > 0;) {
      Operation.Bits = Operation.Bits << 8 | Bytes[Byte];
    }
  } else if (!Sequence.empty()) {
    OPERATION &Operation = Sequence[Pick(Sequence.size())];
    if (!Operation.Form().Fields.empty()) {
      const FIELD &Field = Operation.Form().Fields[Pick(Operation.Form().Fields.size())];
      const uint64_t Value = FieldMutation(Random, RawValue(Operation.Bits, Field), Field.Bits) & Mask(Field.Bits);
      Operation.Bits = (Operation.Bits & ~(Mask(Field.Bits) << Field.Shift)) | Value << Field.Shift;
    }
  }
  return Store(Sequence, Data, MaxSize);
}

size_t CrossOverSequences(const GRAMMAR &Grammar, const uint8_t *First, size_t FirstSize, const uint8_t *Second,
                          size_t SecondSize, uint8_t *Out, size_t MaxOutSize, unsigned Seed) {
  std::minstd_rand Random(Seed);
  std::vector<OPERATION> Head = DecodeForMutation(Grammar, First, FirstSize);
  const std::vector<OPERATION> Tail = DecodeForMutation(Grammar, Second, SecondSize);
  Head.resize(Head.empty() ? 0 : Random() % (Head.size() + 1));
  Head.insert(Head.end(), Tail.begin() + (Tail.empty() ? 0 : Random() % Tail.size()), Tail.end());
  return Store(Head, Out, MaxOutSize);
}
