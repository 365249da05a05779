// The fake firmware's HOB lists, built HOB by HOB.
#include "FakeFirmwareParts.h"

#define PHIT_HOB_LENGTH 56

VOID *FakeHobList::Append(UINT16 Type, UINT16 Length, UINTN Footprint) {
  const size_t Offset = Storage.size() * sizeof(UINT64);
  Offsets.push_back(Offset);
  Storage.resize(Storage.size() + (Footprint + 7) / 8, 0);
  auto *Header = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(reinterpret_cast<UINT8 *>(Storage.data()) + Offset);
  Header->HobType = Type;
  Header->HobLength = Length;
  return Header;
}

FakeHobList &FakeHobList::Handoff() {
  Append(EFI_HOB_TYPE_HANDOFF, PHIT_HOB_LENGTH, PHIT_HOB_LENGTH);
  return *this;
}

FakeHobList &FakeHobList::GuidHob(const EFI_GUID &Name, UINTN DataSize) {
  const UINT16 Length = static_cast<UINT16>(sizeof(EFI_HOB_GUID_TYPE) + (DataSize + 7) / 8 * 8);
  static_cast<EFI_HOB_GUID_TYPE *>(Append(EFI_HOB_TYPE_GUID_EXTENSION, Length, Length))->Name = Name;
  return *this;
}

FakeHobList &FakeHobList::Hob(UINT16 Type, UINT16 Length, const EFI_GUID *Name) {
  const UINTN Footprint = std::max<UINTN>(Length, Name != nullptr ? sizeof(EFI_HOB_GUID_TYPE) : 8);
  VOID *Hob = Append(Type, Length, Footprint);
  if (Name != nullptr) {
    static_cast<EFI_HOB_GUID_TYPE *>(Hob)->Name = *Name;
  }
  return *this;
}

FakeHobList &FakeHobList::End() {
  Append(EFI_HOB_TYPE_END_OF_HOB_LIST, sizeof(EFI_HOB_GENERIC_HEADER), sizeof(EFI_HOB_GENERIC_HEADER));
  return *this;
}

