// What a fuzzer's input means: a list of operations. In binary each is one
// 8-byte record, an operation byte and 56 bits of fields, so every byte
// string decodes to some list (the operation byte taken by weight); in words each is one line, "plug root=0x7
// class=8", after a first line "# fuzz TARGET". Mutation works on whole
// operations and single fields, so a finding stays a readable list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct FIELD {
  const char *Name;
  unsigned Shift;  // within the record's 56 bits
  unsigned Bits;
  // Names of the values, taken modulo their count; none for a plain number.
  std::vector<const char *> Values = {};
  bool Hex = false;
};

struct OPERATION_FORM {
  const char *Name;
  std::vector<FIELD> Fields;
  // How often the operation is read from a random byte, against the others.
  unsigned Weight = 4;
};

struct GRAMMAR {
  const char *Kind;  // "policy" or "reset": the word after "# fuzz" names a target of this kind
  std::vector<OPERATION_FORM> Operations;
};

struct OPERATION {
  const GRAMMAR *Grammar;
  unsigned Code;  // the operation's place in its grammar
  uint64_t Bits;
  const OPERATION_FORM &Form() const { return Grammar->Operations[Code]; }
  // The field's value; a named field's is reduced modulo its names.
  unsigned operator[](const char *Field) const;
  bool Is(const char *Operation) const;
};

#define RECORD_SIZE 8
// Mutation keeps sequences at most this long: most of a sequence's cost is
// its notifications, and short sequences minimise to readable findings.
#define MAX_OPERATIONS 24

// Binary or words; Error is set, and nothing returned, for words that do
// not parse (binary always decodes).
std::vector<OPERATION> DecodeSequence(const GRAMMAR &Grammar, const uint8_t *Data, size_t Size,
                                      std::string &Error);
std::vector<uint8_t> EncodeSequence(const std::vector<OPERATION> &Sequence);
// One line; fields at 0 are left out.
std::string Describe(const OPERATION &Operation);
// The whole list as a file in words, headed "# fuzz Target".
std::string DescribeSequence(const std::vector<OPERATION> &Sequence, const std::string &Target);

size_t MutateSequence(const GRAMMAR &Grammar, uint8_t *Data, size_t Size, size_t MaxSize, unsigned Seed);
size_t CrossOverSequences(const GRAMMAR &Grammar, const uint8_t *First, size_t FirstSize, const uint8_t *Second,
                          size_t SecondSize, uint8_t *Out, size_t MaxOutSize, unsigned Seed);
