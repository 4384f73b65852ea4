#include "sim/firmware/ProtocolDatabase.h"

namespace sim {

EFI_STATUS ProtocolDatabase::Install(EFI_HANDLE* handle, const EFI_GUID& guid, void* interface) {
  if (handle == nullptr) return EFI_INVALID_PARAMETER;
  if (*handle == nullptr) {
    handles_.push_back(std::make_unique<int>(static_cast<int>(handles_.size())));
    *handle = handles_.back().get();
  } else {
    bool known = false;
    for (auto& h : handles_) known = known || h.get() == *handle;
    if (!known) return EFI_INVALID_PARAMETER;
    for (auto& e : entries_)
      if (e.handle == *handle && GuidEquals(e.guid, guid)) return EFI_INVALID_PARAMETER;
  }
  entries_.push_back({*handle, guid, interface, current_owner});
  // Notifications registered so far for this protocol; the list may grow while they run.
  std::vector<Notify*> due;
  for (auto& n : notifies_)
    if (GuidEquals(n->guid, guid)) due.push_back(n.get());
  for (Notify* n : due) {
    if (run_notify)
      run_notify(n->fn, &n->guid, interface, *handle);
    else
      n->fn(&n->guid, interface, *handle);
  }
  return EFI_SUCCESS;
}

EFI_STATUS ProtocolDatabase::Locate(const EFI_GUID& guid, void** interface) const {
  if (interface == nullptr) return EFI_INVALID_PARAMETER;
  for (auto& e : entries_)
    if (GuidEquals(e.guid, guid)) {
      *interface = e.interface;
      return EFI_SUCCESS;
    }
  *interface = nullptr;
  return EFI_NOT_FOUND;
}

bool ProtocolDatabase::Has(const EFI_GUID& guid) const {
  for (auto& e : entries_)
    if (GuidEquals(e.guid, guid)) return true;
  return false;
}

bool ProtocolDatabase::Remove(const EFI_GUID& guid) {
  return std::erase_if(entries_, [&](const Entry& e) { return GuidEquals(e.guid, guid); }) > 0;
}

EFI_STATUS ProtocolDatabase::RegisterNotify(const EFI_GUID& guid, EFI_SMM_NOTIFY_FN fn, void** registration) {
  if (registration == nullptr) return EFI_INVALID_PARAMETER;
  if (fn == nullptr) {
    for (auto it = notifies_.begin(); it != notifies_.end(); ++it)
      if (it->get() == *registration) {
        notifies_.erase(it);
        return EFI_SUCCESS;
      }
    return EFI_NOT_FOUND;
  }
  for (auto& n : notifies_)
    if (n->fn == fn && GuidEquals(n->guid, guid)) {
      *registration = n.get();
      return EFI_SUCCESS;
    }
  notifies_.push_back(std::make_unique<Notify>(Notify{guid, fn, current_owner}));
  *registration = notifies_.back().get();
  return EFI_SUCCESS;
}

}  // namespace sim
