// ./fw campaign power-cut [--reduced] [--random N] [--operations N] [--recut-every N] [--seed S]
// Prints, per update, the cut points, how many recovered, the false successes and failed
// boots (both must be 0) and how long it took; exits 1 when any of those is wrong. The two
// updates run side by side in two processes (each board maps its RAM at fixed addresses).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "tests/campaigns/PowerCutCampaign.h"

int main(int argc, char** argv) {
  campaign::PowerCutOptions options;
  options.log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto number = [&]() -> uint64_t {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "power-cut campaign: %s needs a number\n", a.c_str());
        std::exit(2);
      }
      return std::strtoull(argv[++i], nullptr, 0);
    };
    if (a == "--reduced") {
      // The CI set: 12 erases and programs spread over each update (the instant each ends
      // and three inside it) and 24 random instants.
      options.operations_sampled = 12;
      options.random_cuts = 24;
    } else if (a == "--random") {
      options.random_cuts = number();
    } else if (a == "--operations") {
      options.operations_sampled = uint32_t(number());
    } else if (a == "--recut-every") {
      options.recut_every = uint32_t(std::max<uint64_t>(1, number()));
    } else if (a == "--seed") {
      options.seed = number();
    } else {
      std::fprintf(stderr, "usage: power-cut [--reduced] [--random N] [--operations N] [--recut-every N] [--seed S]\n");
      return 2;
    }
  }
  const auto started = std::chrono::steady_clock::now();
  // One child process per update; each sends back its figures and a verdict byte.
  std::vector<std::pair<pid_t, int>> children;
  for (unsigned which = 0; which < campaign::kPowerCutUpdates; ++which) {
    int fds[2];
    if (pipe(fds) != 0) return 1;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      std::string text;
      char verdict = 'F';
      try {
        const campaign::PowerCutFigures f = campaign::RunPowerCutUpdate(which, options);
        text = campaign::FormatFigures(f);
        verdict = f.false_successes == 0 && f.failed_boots == 0 && f.not_recovered == 0 ? 'P' : 'F';
      } catch (const std::exception& e) {
        text = std::string("power-cut campaign: ") + e.what() + "\n";
      }
      text.insert(text.begin(), verdict);
      for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fds[1], text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += size_t(n);
      }
      _exit(0);
    }
    close(fds[1]);
    children.push_back({pid, fds[0]});
  }
  bool ok = true;
  for (auto [pid, fd] : children) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    close(fd);
    waitpid(pid, nullptr, 0);
    ok = ok && !text.empty() && text[0] == 'P';
    std::cout << (text.empty() ? "power-cut campaign: an update's process died\n" : text.substr(1));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("power-cut campaign %s in %.1f s of host time\n", ok ? "passed" : "FAILED", seconds);
  return ok ? 0 : 1;
}
