// The fake firmware's variable store and ResetSystem.
#include "FakeFirmwareParts.h"

static std::pair<std::u16string, std::string> VariableKey(const CHAR16 *Name, const EFI_GUID &Guid) {
  return {Name, GuidName(Guid)};
}

void FakeFirmware::PutVariable(const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes, std::vector<UINT8> Data) {
  Variables[VariableKey(Name, Guid)] = {Attributes, std::move(Data)};
}

const FAKE_VARIABLE *FakeFirmware::FindVariable(const CHAR16 *Name, const EFI_GUID &Guid) const {
  const auto Variable = Variables.find(VariableKey(Name, Guid));
  return Variable == Variables.end() ? nullptr : &Variable->second;
}

void FakeFirmware::InstallVariableServices() {
  OnCall<&EFI_RUNTIME_SERVICES::GetVariable>(
      [this](const CHAR16 *Name, const EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
        if (Name == nullptr || Guid == nullptr || DataSize == nullptr) {
          return EFI_INVALID_PARAMETER;
        }
        const FAKE_VARIABLE *Variable = FindVariable(Name, *Guid);
        if (Variable == nullptr) {
          return EFI_NOT_FOUND;
        }
        if (*DataSize < Variable->Data.size()) {
          *DataSize = Variable->Data.size();
          return EFI_BUFFER_TOO_SMALL;
        }
        if (Data == nullptr) {
          return EFI_INVALID_PARAMETER;
        }
        if (!Variable->Data.empty()) {
          std::memcpy(Data, Variable->Data.data(), Variable->Data.size());
        }
        *DataSize = Variable->Data.size();
        if (Attributes != nullptr) {
          *Attributes = Variable->Attributes;
        }
        return EFI_SUCCESS;
      });
  OnCall<&EFI_RUNTIME_SERVICES::SetVariable>(
      [this](const CHAR16 *Name, const EFI_GUID *Guid, UINT32 Attributes, UINTN DataSize, const VOID *Data) {
        if (Name == nullptr || Name[0] == 0 || Guid == nullptr || (DataSize != 0 && Data == nullptr)) {
          return EFI_INVALID_PARAMETER;
        }
        // Run-time access needs boot-service access as well.
        if ((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0 && (Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0) {
          return EFI_INVALID_PARAMETER;
        }
        const auto Key = VariableKey(Name, *Guid);
        if (DataSize == 0 || Attributes == 0) {
          return Variables.erase(Key) != 0 ? EFI_SUCCESS : EFI_NOT_FOUND;
        }
        const auto Existing = Variables.find(Key);
        if (Existing != Variables.end() && Existing->second.Attributes != Attributes) {
          return EFI_INVALID_PARAMETER;
        }
        const UINT8 *Bytes = static_cast<const UINT8 *>(Data);
        Variables[Key] = {Attributes, std::vector<UINT8>(Bytes, Bytes + DataSize)};
        return EFI_SUCCESS;
      });
  // Real firmware does not return; the record lets the test check the call.
  OnCall<&EFI_RUNTIME_SERVICES::ResetSystem>(
      [this](EFI_RESET_TYPE Type, EFI_STATUS Status, UINTN DataSize, VOID *Data) {
        Resets.push_back({Type, Status, DataSize, Data});
      });
}

