// What every fuzz target treats as a finding besides a sanitizer report: a broken promise of
// the code under test, reported on stderr before the process aborts (libFuzzer then saves
// the input as a crash).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

[[noreturn]] inline void Finding(const std::string& what) {
  std::fprintf(stderr, "FINDING: %s\n", what.c_str());
  std::abort();
}

// Tools print an error as one line: a message with a line break is a finding.
inline void OneLine(const char* message) {
  if (std::strchr(message, '\n') != nullptr) Finding(std::string("error message of several lines: ") + message);
  if (message[0] == '\0') Finding("empty error message");
}

}  // namespace fuzz
