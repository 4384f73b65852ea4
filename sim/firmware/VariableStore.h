// The board's UEFI variable store: what SetVariable/GetVariable act on, persisted in the
// board folder as JSON.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "uefi/UefiBaseType.h"

namespace sim {

std::string GuidToString(const EFI_GUID& guid);
std::optional<EFI_GUID> GuidFromString(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& s);
std::u16string Utf8ToUtf16(const std::string& s);

struct Variable {
  std::u16string name;
  EFI_GUID guid{};
  uint32_t attributes = 0;
  std::vector<uint8_t> data;
};

class VariableStore {
 public:
  // UEFI SetVariable semantics for the attributes this board supports (NV, BS, RT):
  // size 0 or attributes 0 delete; RT requires BS; a write replaces the old value.
  EFI_STATUS Set(const std::u16string& name, const EFI_GUID& guid, uint32_t attributes,
                 const std::vector<uint8_t>& data);
  const Variable* Get(const std::u16string& name, const EFI_GUID& guid) const;
  std::vector<const Variable*> All() const;

  // Only non-volatile variables survive a reboot or a save.
  void DropVolatile();
  // Replaces the store with the file's variables (a missing file is an empty store). A damaged
  // or malformed file is refused whole with a one-line std::runtime_error naming the file, and
  // the line for JSON syntax; the store is then left as it was.
  void Load(const std::filesystem::path& file);
  // The same for the file's text; `source` names it in errors.
  void Parse(std::string_view text, const std::string& source);
  void Save(const std::filesystem::path& file) const;  // temp file + rename

  // Fault injection: the next SetVariable calls return this status and change nothing.
  void FailNextSets(EFI_STATUS status, unsigned count = 1) {
    fail_status_ = status;
    fail_count_ = count;
  }
  unsigned set_calls() const { return set_calls_; }

 private:
  using Key = std::pair<std::u16string, std::string>;
  std::map<Key, Variable> vars_;
  EFI_STATUS fail_status_ = EFI_SUCCESS;
  unsigned fail_count_ = 0;
  unsigned set_calls_ = 0;
};

}  // namespace sim
