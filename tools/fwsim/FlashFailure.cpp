#include "tools/fwsim/FlashFailure.h"

#include "tools/fwsim/UpdatePlan.h"

void FailFlashCommand(FwsimContext& ctx, sim::Board& board, const std::string& command,
                      const std::vector<uint8_t>& before, const std::vector<uint8_t>& target, uint32_t unit,
                      const std::string& what, const std::string& again) {
  const bool power_lost = board.power_lost();  // the part has settled what it was doing then
  const std::vector<uint8_t>& now = board.flash().contents();
  nlohmann::json j{{"command", command}, {"error", what}, {"power_lost", power_lost}};
  if (now == before) {
    j["flash_changed"] = false;
    if (ctx.json) ctx.Emit(j, "");
    throw FwsimError(what + "; the flash did not change and the board folder is unchanged");
  }
  board.Save();
  const auto ranges = fwsim::RangesNeitherOldNorNew(before, target, now, unit);
  nlohmann::json list = nlohmann::json::array();
  std::string text;
  for (const fwsim::FlashRange& r : ranges) {
    list.push_back({{"offset", HexString(r.base, 8)}, {"bytes", r.limit - r.base + 1}});
    text += (text.empty() ? "" : ", ") + fwsim::HexRange(r);
  }
  j["flash_changed"] = true;
  j["saved"] = true;
  j["neither_old_nor_new"] = list;
  j["next"] = again;
  if (ctx.json) ctx.Emit(j, "");
  throw FwsimError(what + "; the board folder now holds the flash as the part holds it" +
                   (ranges.empty() ? std::string(", every block old or new")
                                   : ": neither old nor new at flash offsets " + text) +
                   "; " + again);
}
