// fwsim var list / var get: the persisted UEFI variable store.
#include <sstream>

#include "tools/fwsim/CommandLine.h"
#include "tools/fwsim/FwsimContext.h"

namespace {

std::string AttributeText(uint32_t a) {
  std::string s;
  if (a & EFI_VARIABLE_NON_VOLATILE) s += "NV+";
  if (a & EFI_VARIABLE_BOOTSERVICE_ACCESS) s += "BS+";
  if (a & EFI_VARIABLE_RUNTIME_ACCESS) s += "RT+";
  if (!s.empty()) s.pop_back();
  return s;
}

nlohmann::json VariableJson(const sim::Variable& v) {
  return {{"name", sim::Utf16ToUtf8(v.name)}, {"guid", sim::GuidToString(v.guid)}, {"attributes", v.attributes},
          {"size", v.data.size()}, {"data", v.data}};
}

std::string HexDump(const std::vector<uint8_t>& data) {
  std::ostringstream o;
  for (size_t i = 0; i < data.size(); i += 16) {
    char b[32];
    std::snprintf(b, sizeof b, "    %08zX:", i);
    o << b;
    for (size_t j = i; j < i + 16 && j < data.size(); ++j) {
      std::snprintf(b, sizeof b, " %02X", data[j]);
      o << b;
    }
    o << "\n";
  }
  return o.str();
}

}  // namespace

void RegisterVarCommands(cli::App& app, FwsimContext& ctx) {
  auto* var = app.add_subcommand("var", "Show the board's persisted UEFI variables");
  var->require_subcommand(1);
  auto* list = var->add_subcommand("list", "List every variable");
  list->callback([&ctx] {
    sim::VariableStore store;
    store.Load(ctx.board_dir / "variables.json");
    nlohmann::json j = nlohmann::json::array();
    std::ostringstream o;
    for (const auto* v : store.All()) {
      j.push_back(VariableJson(*v));
      o << sim::GuidToString(v->guid) << ":" << sim::Utf16ToUtf8(v->name) << "  " << AttributeText(v->attributes)
        << "  " << v->data.size() << " bytes\n";
    }
    if (store.All().empty()) o << "(no variables)\n";
    ctx.Emit(j, o.str());
  });
  auto name = std::make_shared<std::string>();
  auto guid = std::make_shared<std::string>();
  auto* get = var->add_subcommand("get", "Show one variable");
  get->add_option("NAME", *name, "variable name")->required();
  get->add_option("--guid", *guid, "vendor GUID (needed when several variables share the name)");
  get->callback([&ctx, name, guid] {
    sim::VariableStore store;
    store.Load(ctx.board_dir / "variables.json");
    std::vector<const sim::Variable*> hits;
    for (const auto* v : store.All())
      if (sim::Utf16ToUtf8(v->name) == *name && (guid->empty() || sim::GuidToString(v->guid) == *guid))
        hits.push_back(v);
    if (hits.empty()) throw FwsimError("no variable named " + *name + (guid->empty() ? "" : " with GUID " + *guid));
    if (hits.size() > 1) throw FwsimError("several variables are named " + *name + "; give --guid");
    const auto& v = *hits.front();
    std::ostringstream o;
    o << "Variable " << sim::Utf16ToUtf8(v.name) << "\n  GUID        " << sim::GuidToString(v.guid)
      << "\n  Attributes  " << HexString(v.attributes) << " (" << AttributeText(v.attributes) << ")\n  Size        "
      << v.data.size() << " bytes\n  Data\n"
      << HexDump(v.data);
    ctx.Emit(VariableJson(v), o.str());
  });
}
