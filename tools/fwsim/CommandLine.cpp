// The one fwsim unit that includes CLI11.
#include "tools/fwsim/CommandLine.h"

#include <CLI/CLI.hpp>
#include <iostream>

namespace cli {
namespace {
CLI::App* Cli(void* app) { return static_cast<CLI::App*>(app); }
CLI::Option* CliOption(void* option) { return static_cast<CLI::Option*>(option); }
}  // namespace

Option* Option::required() {
  CliOption(option_)->required();
  return this;
}

Option* Option::check(const IsMember& choices) {
  CliOption(option_)->check(CLI::IsMember(choices.values));
  return this;
}

Option* Option::excludes(Option* other) {
  CliOption(option_)->excludes(CliOption(other->option_));
  return this;
}

App::~App() = default;

App* App::add_subcommand(const std::string& name, const std::string& description) {
  subcommands_.push_back(std::unique_ptr<App>(new App(Cli(app_)->add_subcommand(name, description))));
  return subcommands_.back().get();
}

Option* App::add_option(const std::string& name, std::string& value, const std::string& description) {
  options_.push_back(std::unique_ptr<Option>(new Option(Cli(app_)->add_option(name, value, description))));
  return options_.back().get();
}

Option* App::add_option(const std::string& name, unsigned& value, const std::string& description) {
  options_.push_back(std::unique_ptr<Option>(new Option(Cli(app_)->add_option(name, value, description))));
  return options_.back().get();
}

Option* App::add_option(const std::string& name, uint64_t& value, const std::string& description) {
  options_.push_back(std::unique_ptr<Option>(new Option(Cli(app_)->add_option(name, value, description))));
  return options_.back().get();
}

Option* App::add_option(const std::string& name, std::optional<uint64_t>& value, const std::string& description) {
  auto* option = Cli(app_)->add_option_function<uint64_t>(name, [&value](uint64_t n) { value = n; }, description);
  options_.push_back(std::unique_ptr<Option>(new Option(option)));
  return options_.back().get();
}

Option* App::add_option(const std::string& name, std::vector<std::string>& values, const std::string& description) {
  options_.push_back(std::unique_ptr<Option>(new Option(Cli(app_)->add_option(name, values, description))));
  return options_.back().get();
}

Option* App::add_flag(const std::string& name, bool& value, const std::string& description) {
  options_.push_back(std::unique_ptr<Option>(new Option(Cli(app_)->add_flag(name, value, description))));
  return options_.back().get();
}

void App::require_subcommand(int count) { Cli(app_)->require_subcommand(count); }

void App::callback(std::function<void()> action) { Cli(app_)->callback(std::move(action)); }

struct Program::Impl {
  explicit Impl(const std::string& description) : app(description) {}
  CLI::App app;
};

// The CLI11 application lives in Impl, which is built after the App base.
Program::Program(const std::string& description) : App(nullptr), impl_(std::make_unique<Impl>(description)) {
  app_ = &impl_->app;
}

Program::~Program() = default;

void Program::parse_complete_callback(std::function<void()> action) {
  impl_->app.parse_complete_callback([action = std::move(action)] {
    try {
      action();
    } catch (const UsageError& e) {
      throw CLI::ValidationError(e.what());
    }
  });
}

int Program::Run(int argc, char** argv) {
  try {
    impl_->app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and version texts go out as CLI11 prints them; a bad command line is one error line.
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return impl_->app.exit(e);
    std::cerr << "fwsim: " << e.what() << " (fwsim --help lists the commands)\n";
    return e.get_exit_code();
  }
  return 0;
}

}  // namespace cli
