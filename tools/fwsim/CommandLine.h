// fwsim's command line as the commands see it: subcommands, options, flags and the action
// each command runs. CommandLine.cpp alone builds it on CLI11, whose header costs more to
// compile than everything else in a command's source file; the command files stay light.
#pragma once

#include <functional>
#include <initializer_list>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// Thrown by a parse-complete action for a command line that parsed but cannot be served;
// reported as a malformed command line is.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The values an option accepts.
struct IsMember {
  IsMember(std::initializer_list<const char*> values) : values(values.begin(), values.end()) {}
  std::vector<std::string> values;
};

class Option {
 public:
  Option* required();
  Option* check(const IsMember& choices);
  // The two options may not be given together.
  Option* excludes(Option* other);

 private:
  friend class App;
  explicit Option(void* option) : option_(option) {}
  void* option_;  // the CLI11 option
};

class App {
 public:
  App* add_subcommand(const std::string& name, const std::string& description);
  // A name starting with "--" is an option, any other a positional argument.
  Option* add_option(const std::string& name, std::string& value, const std::string& description);
  Option* add_option(const std::string& name, unsigned& value, const std::string& description);
  Option* add_option(const std::string& name, uint64_t& value, const std::string& description);
  Option* add_option(const std::string& name, std::optional<uint64_t>& value, const std::string& description);
  // May be given more than once; each value is appended.
  Option* add_option(const std::string& name, std::vector<std::string>& values, const std::string& description);
  Option* add_flag(const std::string& name, bool& value, const std::string& description);
  void require_subcommand(int count);
  void callback(std::function<void()> action);

  App(const App&) = delete;
  App& operator=(const App&) = delete;
  ~App();

 protected:
  explicit App(void* app) : app_(app) {}
  void* app_;  // the CLI11 application or subcommand

 private:
  std::vector<std::unique_ptr<App>> subcommands_;
  std::vector<std::unique_ptr<Option>> options_;
};

// The whole command line: the program's description, then its commands.
class Program : public App {
 public:
  explicit Program(const std::string& description);
  ~Program();
  // Called once the command line has been read, before any command runs.
  void parse_complete_callback(std::function<void()> action);
  // Parses and runs the chosen command. A malformed command line is reported (usage, or
  // the help asked for) and answers its exit status; what a command throws passes through.
  int Run(int argc, char** argv);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace cli
