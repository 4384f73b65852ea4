#include "tools/fwsim/FwsimContext.h"
#include "tools/JsonText.h"

#include <cstdio>
#include <iostream>
#include <sstream>

std::unique_ptr<sim::Board> FwsimContext::OpenBoard(sim::BootReport* report) {
  auto board = sim::Board::Open(board_dir);
  if (!trace_path.empty() && trace == nullptr) {
    trace = std::fopen(trace_path.c_str(), "w");
    if (trace == nullptr) throw FwsimError("cannot open trace file " + trace_path);
  }
  if (trace) board->bus().SetTrace(trace);
  auto r = board->Boot();
  board->ArmPowerCut(cut);
  if (report) *report = r;
  return board;
}

void FwsimContext::Emit(const nlohmann::json& result, const std::string& human) const {
  if (json)
    std::cout << JsonText(result) << "\n";
  else
    std::cout << human;
  std::cout.flush();
}

std::string HexString(uint64_t value, int digits) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return b;
}

uint64_t ParseNumber(const std::string& text) {
  // stoull takes a leading '-' and wraps the value around: "-3" would be 2^64 - 3.
  if (text.empty() || text.find_first_of("-+ \t") != std::string::npos)
    throw FwsimError("not a number: '" + text + "' (give a decimal or 0x-prefixed hexadecimal number)");
  try {
    size_t used = 0;
    uint64_t v = std::stoull(text, &used, 0);
    if (used != text.size()) throw FwsimError("not a number: '" + text + "'");
    return v;
  } catch (const std::logic_error&) {
    throw FwsimError("not a number: '" + text + "'");
  }
}

nlohmann::json BootReportJson(const sim::BootReport& report) {
  nlohmann::json images = nlohmann::json::array();
  for (auto& i : report.images) {
    nlohmann::json j{{"name", i.name}, {"kind", i.kind}, {"loaded", i.loaded}};
    if (i.loaded) {
      j["status"] = HexString(i.status, 16);
      j["outcome"] = i.outcome;
      j["registered"] = i.registered;
    } else {
      j["reason"] = i.not_loaded_reason;
    }
    images.push_back(j);
  }
  return {{"boot", report.boot_count},
          {"images", images},
          {"bios_guard_active", report.bios_guard_active},
          {"capsule_variable_present", report.capsule_variable_present},
          {"memory_map_offered", report.memory_map_offered},
          {"boot_time_ns", report.boot_ns},
          {"unfreed_boot_pool", report.unfreed_boot_pool},
          {"warnings", report.warnings}};
}

std::string BootReportText(const sim::BootReport& report) {
  std::ostringstream o;
  o << "Boot " << report.boot_count << " (" << report.boot_ns / 1000 << " us simulated)\n";
  for (auto& i : report.images) {
    o << "  " << i.name << " [" << i.kind << "]: ";
    if (!i.loaded) {
      o << "not loaded, " << i.not_loaded_reason << "\n";
      continue;
    }
    o << i.outcome << "\n";
    if (i.registered.empty()) o << "      registered nothing\n";
    for (auto& r : i.registered) o << "      " << r << "\n";
  }
  o << "  BIOS Guard: " << (report.bios_guard_active ? "active" : "not active")
    << "; BiosGuardCapsuleVariable: " << (report.capsule_variable_present ? "present" : "absent") << "\n";
  o << "  caller memory: "
    << (report.memory_map_offered
            ? "judged by the memory-space and UEFI memory maps (reserved, runtime and ACPI NVS RAM only)"
            : "SMRAM check only (the firmware offers no memory-space map)")
    << "\n";
  for (auto& u : report.unfreed_boot_pool) o << "  WARNING: boot-services pool buffer not freed: " << u << "\n";
  for (auto& w : report.warnings) o << "  WARNING: " << w << "\n";
  return o.str();
}
