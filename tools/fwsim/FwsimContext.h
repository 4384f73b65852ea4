// Shared state of one fwsim invocation: where the board lives, output form, trace file.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "sim/board/Board.h"

struct FwsimContext {
  std::filesystem::path board_dir = "board";
  bool json = false;
  std::string trace_path;
  std::FILE* trace = nullptr;
  // A power cut armed by --cut-at-ns / --cut-after-ops / --cut-after-transactions, counted
  // from the end of the boot (on top of one the board description may arm).
  sim::PowerCut cut;

  // Opens the board folder and boots it; the access trace (if asked for) starts here, and
  // the power cut (if one is armed) is counted from the end of the boot.
  std::unique_ptr<sim::Board> OpenBoard(sim::BootReport* report = nullptr);
  // Prints a command's result: JSON when --json was given, else the human text.
  void Emit(const nlohmann::json& result, const std::string& human) const;
};

// Errors that fwsim reports as "fwsim: <message>" with exit status 1.
struct FwsimError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string HexString(uint64_t value, int digits = 0);
uint64_t ParseNumber(const std::string& text);  // decimal or 0x-prefixed hex
nlohmann::json BootReportJson(const sim::BootReport& report);
std::string BootReportText(const sim::BootReport& report);
