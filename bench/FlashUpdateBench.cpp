// Flash-update benchmark: a W25Q128JV on the simulated board (descriptor: fast read at
// 48 MHz), updated through software SMI 0x90 by the operating system's flash tool, with a
// whole new 16 MiB image and with k = 1, 4, 16 and 64 changed 64 KiB blocks.
//
// Each run is set against two figures computed from the change alone and the part's
// datasheet times (never from the run's own counts): the bound (one read pass, the
// cheapest erase and the chunks that must be programmed in each changed block, one read of
// each changed block) and flashrom's plan priced through the same PCH. It prints the
// longest SMI of the update and how far below the simulated device time the host's
// processor time stays.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/UpdateBounds.h"
#include "sim/board/Board.h"
#include "tests/flash_device/support/FlashTestImage.h"
#include "tools/fwsim/FlashDeviceTool.h"

namespace {

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Run {
  std::string name;
  fwsim::UpdateReport update;
  double cpu_seconds = 0;
  double longest_smi_s = 0;
  bench::UpdateCost bound, flashrom;
  sim::FlashPartStats part;
};

Run Update(const std::string& name, const std::vector<uint8_t>& old_image, const std::vector<uint8_t>& new_image) {
  toml::table d = sim::Board::DefaultDescription();
  d.insert_or_assign("flash", toml::table{{"part", "W25Q128JV"}, {"image", "flash.bin"}});
  auto firmware = *d["firmware"].as_table();
  firmware.insert_or_assign("platform_flash", "driver");
  d.insert_or_assign("firmware", firmware);
  auto board = sim::Board::CreateInMemory(d, old_image);
  board->Boot();

  // The PCH's reading of the descriptor and the part's datasheet price the plans.
  const sim::SpiControllerDescriptor& fd = board->flash().controller().descriptor();
  bench::SpiBus bus{double(fd.fast_read ? fd.fast_read_hz : fd.read_hz), fd.fast_read, double(fd.write_erase_hz),
                    double(fd.id_status_hz)};
  bench::UpdateBounds bounds(board->flash().part().datasheet().timing, bus);
  Run r;
  r.name = name;
  r.bound = bounds.Bound(old_image, new_image);
  r.flashrom = bounds.Flashrom(old_image, new_image);

  board->flash().part().ResetStats();
  board->ResetLongestSmi();
  fwsim::FlashDeviceTool tool(*board);
  double cpu0 = CpuSeconds();
  fwsim::UpdateOptions options;
  options.force = true;  // pattern images carry no firmware volume at the top
  r.update = tool.Update(new_image, options);
  r.cpu_seconds = CpuSeconds() - cpu0;
  r.longest_smi_s = double(board->longest_smi_ns()) / 1e9;
  r.part = board->flash().part().stats();
  if (board->flash().contents() != new_image) throw std::runtime_error(name + ": the flash does not hold the new image");
  return r;
}

void Print(const Run& r) {
  const auto& u = r.update;
  const auto& s = r.part;
  double sim_s = double(u.device_ns) / 1e9;
  std::printf("%s\n", r.name.c_str());
  std::printf("  blocks: %u erased+written, %u written, %u unchanged (of %u x %u KiB)\n", u.erased, u.programmed,
              u.skipped, u.blocks, u.block_bytes / 1024);
  std::printf("  part: %llu erases (%llu x 64 KiB, %llu x 4 KiB), %llu program cycles, %llu read cycles (%.1f MiB)\n",
              (unsigned long long)s.erase_commands, (unsigned long long)s.erases_64k, (unsigned long long)s.erases_4k,
              (unsigned long long)s.program_commands, (unsigned long long)s.read_commands,
              double(s.read_bytes) / (1 << 20));
  std::printf("  simulated device time   %9.3f s\n", sim_s);
  std::printf("  bound                   %9.3f s   ratio %.3f   (%llu x 64 KiB + %llu x 4 KiB erases, %llu program "
              "cycles, %.1f MiB read)\n",
              r.bound.seconds, sim_s / r.bound.seconds, (unsigned long long)r.bound.erases_64k,
              (unsigned long long)r.bound.erases_4k, (unsigned long long)r.bound.program_cycles,
              double(r.bound.bytes_read) / (1 << 20));
  std::printf("  flashrom's plan         %9.3f s   %.2fx the simulated time\n", r.flashrom.seconds,
              r.flashrom.seconds / sim_s);
  std::printf("  longest SMI             %9.3f ms\n", r.longest_smi_s * 1e3);
  std::printf("  host processor time     %9.3f s   (%.1fx below simulated time; wall %.3f s)\n", r.cpu_seconds,
              sim_s / r.cpu_seconds, u.host_seconds);
}

}  // namespace

int main() {
  constexpr uint32_t kSize = 16u << 20;
  constexpr uint32_t kBlock = 0x10000;
  flashtest::ImageLayout layout;
  layout.flash_size = kSize;
  layout.clock_code = 2;  // 48 MHz, fast read: what the default board's descriptor carries
  layout.fast_read = true;
  layout.vscc_table = {{0x1840EF, 0x2025}};
  std::vector<uint8_t> old_image = flashtest::BuildImage(layout);
  std::vector<uint8_t> new_image = old_image;
  auto a = flashtest::Pattern(kSize, 11), b = flashtest::Pattern(kSize, 12);
  // Everything past the descriptor holds data; the new image differs in every block.
  std::copy(a.begin() + 0x1000, a.end(), old_image.begin() + 0x1000);
  std::copy(b.begin() + 0x1000, b.end(), new_image.begin() + 0x1000);

  try {
    auto t0 = std::chrono::steady_clock::now();
    std::vector<Run> runs;
    runs.push_back(Update("Full 16 MiB update", old_image, new_image));
    for (uint32_t k : {1u, 4u, 16u, 64u}) {
      // k blocks spread over the flash past the descriptor's block.
      std::vector<uint8_t> partial = old_image;
      const uint32_t blocks = kSize / kBlock;
      for (uint32_t i = 0; i < k; ++i) {
        uint32_t at = (1 + i * ((blocks - 1) / k)) * kBlock;
        std::copy(b.begin() + at, b.begin() + at + kBlock, partial.begin() + at);
      }
      runs.push_back(Update(std::to_string(k) + " changed 64 KiB block" + (k == 1 ? "" : "s"), old_image, partial));
    }
    std::printf("W25Q128JV, fast read at 48 MHz, updated through SMI 0x90\n\n");
    for (const Run& r : runs) Print(r);
    double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("\npeak resident memory %.1f MiB; benchmark wall time %.1f s\n", double(usage.ru_maxrss) / 1024.0, total);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "flash_update_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
