// The fake firmware's events, event groups and protocol-notify registrations,
// whose notify functions really run.
#include "FakeFirmwareParts.h"

#define TPL_HIGH_LEVEL 31

FAKE_EVENT *FakeFirmware::FindEvent(EFI_EVENT Event) const {
  for (const auto &Candidate : EventList) {
    if (reinterpret_cast<EFI_EVENT>(Candidate.get()) == Event) {
      return Candidate.get();
    }
  }
  return nullptr;
}

std::vector<FAKE_EVENT *> FakeFirmware::Events() const {
  std::vector<FAKE_EVENT *> Result;
  for (const auto &Event : EventList) {
    Result.push_back(Event.get());
  }
  return Result;
}

EFI_STATUS FakeFirmware::CreateFakeEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                         const VOID *Context, const EFI_GUID *Group, EFI_EVENT *Event) {
  const UINT32 NotifyKinds = Type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT);
  if (Event == nullptr || (Type & ~(EVT_TIMER | EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) != 0 ||
      NotifyKinds == (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) {
    return EFI_INVALID_PARAMETER;
  }
  if (NotifyKinds != 0 && (NotifyFunction == nullptr || NotifyTpl <= TPL_APPLICATION || NotifyTpl > TPL_HIGH_LEVEL)) {
    return EFI_INVALID_PARAMETER;
  }
  std::optional<EFI_GUID> GroupValue;
  if (Group != nullptr) {
    GroupValue = *Group;
  }
  EventList.push_back(std::make_unique<FAKE_EVENT>(FAKE_EVENT{Type, NotifyTpl, NotifyFunction, Context, GroupValue}));
  *Event = reinterpret_cast<EFI_EVENT>(EventList.back().get());
  return EFI_SUCCESS;
}

void FakeFirmware::SignalEvent(EFI_EVENT Event) {
  FAKE_EVENT *Fake = FindEvent(Event);
  ASSERT_NE(Fake, nullptr) << "signal of an event the firmware never created";
  if ((Fake->Type & EVT_NOTIFY_SIGNAL) == 0) {
    return;
  }
  if (HoldNotifies) {
    if (std::find(HeldNotifies.begin(), HeldNotifies.end(), Event) == HeldNotifies.end()) {
      HeldNotifies.push_back(Event);
    }
    return;
  }
  if (NotifyObserver) {
    NotifyObserver(*Fake, false);
  }
  Fake->NotifyFunction(Event, const_cast<VOID *>(Fake->NotifyContext));
  if (NotifyObserver) {
    NotifyObserver(*Fake, true);
  }
}

// The waiting notify functions run once each, higher levels first, then in
// the order the events were created, as the dispatcher runs its queue when
// the TPL drops.
void FakeFirmware::ReleaseNotifies() {
  HoldNotifies = false;
  std::vector<FAKE_EVENT *> Waiting;
  for (FAKE_EVENT *Event : Events()) {
    if (std::find(HeldNotifies.begin(), HeldNotifies.end(), reinterpret_cast<EFI_EVENT>(Event)) !=
        HeldNotifies.end()) {
      Waiting.push_back(Event);
    }
  }
  HeldNotifies.clear();
  std::stable_sort(Waiting.begin(), Waiting.end(),
                   [](const FAKE_EVENT *A, const FAKE_EVENT *B) { return A->NotifyTpl > B->NotifyTpl; });
  for (FAKE_EVENT *Event : Waiting) {
    SignalEvent(reinterpret_cast<EFI_EVENT>(Event));
  }
}

// Higher notify levels run first, then creation order, as the dispatcher
// orders its queue.
void FakeFirmware::SignalEventGroup(const EFI_GUID &Group) {
  std::vector<FAKE_EVENT *> Members;
  for (FAKE_EVENT *Event : Events()) {
    if (Event->Group.has_value() && *Event->Group == Group) {
      Members.push_back(Event);
    }
  }
  std::stable_sort(Members.begin(), Members.end(),
                   [](const FAKE_EVENT *A, const FAKE_EVENT *B) { return A->NotifyTpl > B->NotifyTpl; });
  for (FAKE_EVENT *Event : Members) {
    SignalEvent(reinterpret_cast<EFI_EVENT>(Event));
  }
}

void FakeFirmware::InstallEventServices() {
  OnCall<&EFI_BOOT_SERVICES::CreateEvent>(
      [this](UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify, VOID *Context, EFI_EVENT *Event) {
        return CreateFakeEvent(Type, Tpl, Notify, Context, nullptr, Event);
      });
  OnCall<&EFI_BOOT_SERVICES::CreateEventEx>([this](UINT32 Type, EFI_TPL Tpl, EFI_EVENT_NOTIFY Notify,
                                                   const VOID *Context, const EFI_GUID *Group, EFI_EVENT *Event) {
    return CreateFakeEvent(Type, Tpl, Notify, Context, Group, Event);
  });
  OnCall<&EFI_BOOT_SERVICES::RegisterProtocolNotify>(
      [this](const EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration) {
        if (Protocol == nullptr || Registration == nullptr || FindEvent(Event) == nullptr) {
          return EFI_INVALID_PARAMETER;
        }
        RegistrationList.push_back(std::make_unique<FAKE_REGISTRATION>(FAKE_REGISTRATION{*Protocol, Event, {}}));
        *Registration = RegistrationList.back().get();
        return EFI_SUCCESS;
      });
}

std::vector<FAKE_REGISTRATION *> FakeFirmware::Registrations() const {
  std::vector<FAKE_REGISTRATION *> Result;
  for (const auto &Registration : RegistrationList) {
    Result.push_back(Registration.get());
  }
  return Result;
}

void FakeFirmware::NotifyRegistrations(const EFI_GUID &Protocol) {
  for (FAKE_REGISTRATION *Registration : Registrations()) {
    if (Registration->Protocol == Protocol) {
      SignalEvent(Registration->Event);
    }
  }
}

