// A handle/protocol database as the UEFI boot services and the PI SMM core keep it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "uefi/PiSmm.h"

namespace sim {

class ProtocolDatabase {
 public:
  // Installs on *handle, or on a new handle when *handle is NULL. Notifications registered
  // for the protocol run synchronously, after the install (as the SMM core does).
  EFI_STATUS Install(EFI_HANDLE* handle, const EFI_GUID& guid, void* interface);
  EFI_STATUS Locate(const EFI_GUID& guid, void** interface) const;
  bool Has(const EFI_GUID& guid) const;
  // Takes every instance of a protocol away (a board that lacks it).
  bool Remove(const EFI_GUID& guid);
  // Registers a notify; returns the registration key through *registration.
  EFI_STATUS RegisterNotify(const EFI_GUID& guid, EFI_SMM_NOTIFY_FN fn, void** registration);

  struct Entry {
    EFI_HANDLE handle;
    EFI_GUID guid;
    void* interface;
    std::string installed_by;  // image name, or "board"
  };
  const std::vector<Entry>& entries() const { return entries_; }
  struct Notify {
    EFI_GUID guid;
    EFI_SMM_NOTIFY_FN fn;
    std::string registered_by;
  };
  const std::vector<std::unique_ptr<Notify>>& notifies() const { return notifies_; }

  // Who is installing right now (for the boot report).
  std::string current_owner = "board";
  // Runs notify callbacks; the firmware wraps them so they execute on the simulated processor.
  std::function<void(EFI_SMM_NOTIFY_FN, const EFI_GUID*, void*, EFI_HANDLE)> run_notify;

 private:
  std::vector<Entry> entries_;
  std::vector<std::unique_ptr<Notify>> notifies_;
  std::vector<std::unique_ptr<int>> handles_;  // handle objects: stable addresses
};

}  // namespace sim
