// Flash-update benchmark: a W25Q128JV at 48 MHz on the simulated board, updated through
// software SMI 0x90 by the operating system's flash tool (read, erase what must be erased,
// write what changed, verify), once with a whole new 16 MiB image and once with four
// changed 64 KiB blocks.
//
// For each run it prints the simulated device time next to physical bounds computed from
// the part's datasheet figures and the PCH's 64-byte cycle limit:
//   - "bound, same operations": the SPI bus time of every transaction the part received
//     (opcode, address, dummy clocks, data at 48 MHz, 64 bytes per read or program cycle)
//     plus the part's typical busy time for every program and erase. What the simulation
//     adds on top is register traffic, polling and the driver's stalls.
//   - "bound, minimal update": one read of the flash, the erases and programs the update
//     needs, and one verifying read, without the read-backs the driver makes around each
//     erase step and program chunk.
// Host wall time (and the processor time it took, which other load on the machine does not
// inflate) and the simulator's peak memory are printed too.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/board/Board.h"
#include "tests/flash_device/support/FlashTestImage.h"
#include "tools/fwsim/FlashDeviceTool.h"

namespace {

// W25Q128JV datasheet typical figures and the PCH's SPI clock.
constexpr double kClockHz = 48e6;
constexpr double kProgramFirstByteS = 30e-6;
constexpr double kProgramPerByteS = 2.5e-6;
constexpr double kErase4kS = 45e-3;
constexpr double kErase32kS = 120e-3;
constexpr double kErase64kS = 150e-3;
constexpr unsigned kCycleBytes = 64;  // FDATA0-FDATA15

double Clocks(double clocks) { return clocks / kClockHz; }
// Fast read (0Bh): opcode, 3 address bytes, 8 dummy clocks, data.
double ReadTime(double commands, double bytes) { return Clocks(commands * (8 + 24 + 8) + bytes * 8); }
// WREN, then 02h with address and data, the part's programming time, one status read.
double ProgramTime(double commands, double bytes) {
  return Clocks(commands * (8 + 32 + 16) + bytes * 8) + commands * kProgramFirstByteS +
         (bytes - commands) * kProgramPerByteS;
}
double EraseTime(const sim::FlashPartStats& s) {
  return Clocks(double(s.erase_commands) * (8 + 32 + 16)) + double(s.erases_4k) * kErase4kS +
         double(s.erases_32k) * kErase32kS + double(s.erases_64k + s.erases_larger) * kErase64kS;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Result {
  fwsim::UpdateReport update;
  double cpu_seconds = 0;  // processor time of this process during the update
  sim::FlashPartStats stats;
  double bound_same_ops = 0;
  double bound_minimal = 0;
};

Result Run(const std::vector<uint8_t>& old_image, const std::vector<uint8_t>& new_image) {
  toml::table d = sim::Board::DefaultDescription();
  d.insert_or_assign("flash", toml::table{{"part", "W25Q128JV"}, {"image", "flash.bin"}});
  auto firmware = *d["firmware"].as_table();
  firmware.insert_or_assign("platform_flash", "driver");
  d.insert_or_assign("firmware", firmware);
  auto board = sim::Board::CreateInMemory(d, old_image);
  board->Boot();
  board->flash().part().ResetStats();
  fwsim::FlashDeviceTool tool(*board);
  Result r;
  double cpu0 = CpuSeconds();
  fwsim::UpdateOptions options;
  options.force = true;  // pattern images carry no firmware volume at the top
  r.update = tool.Update(new_image, options);
  r.cpu_seconds = CpuSeconds() - cpu0;
  r.stats = board->flash().part().stats();
  const auto& s = r.stats;
  double status_reads = double(s.status_reads) * 16;
  r.bound_same_ops = ReadTime(double(s.read_commands), double(s.read_bytes)) +
                     ProgramTime(double(s.program_commands), double(s.programmed_bytes)) + EraseTime(s) +
                     Clocks(status_reads);
  double flash = double(new_image.size());
  double chunks = flash / kCycleBytes;
  r.bound_minimal = 2 * ReadTime(chunks, flash) + ProgramTime(double(s.program_commands), double(s.programmed_bytes)) +
                    EraseTime(s);
  return r;
}

void Print(const char* title, const Result& r) {
  const auto& u = r.update;
  const auto& s = r.stats;
  double sim_s = double(u.device_ns) / 1e9;
  std::printf("%s\n", title);
  std::printf("  blocks: %u erased+written, %u written, %u unchanged (of %u x %u KiB)\n", u.erased, u.programmed,
              u.skipped, u.blocks, u.block_bytes / 1024);
  std::printf("  part operations: %llu erases (%llu x 64 KiB, %llu x 4 KiB), %llu program cycles (%llu bytes),\n",
              (unsigned long long)s.erase_commands, (unsigned long long)s.erases_64k, (unsigned long long)s.erases_4k,
              (unsigned long long)s.program_commands, (unsigned long long)s.programmed_bytes);
  std::printf("                   %llu read cycles (%llu bytes), %llu status reads\n", (unsigned long long)s.read_commands,
              (unsigned long long)s.read_bytes, (unsigned long long)s.status_reads);
  std::printf("  simulated device time          %10.3f s\n", sim_s);
  std::printf("  bound, same operations         %10.3f s   ratio %.3f\n", r.bound_same_ops, sim_s / r.bound_same_ops);
  std::printf("  bound, minimal update          %10.3f s   ratio %.3f\n", r.bound_minimal, sim_s / r.bound_minimal);
  std::printf("  host wall time                 %10.3f s   (%.1fx below simulated time)\n", u.host_seconds,
              sim_s / u.host_seconds);
  std::printf("  host processor time            %10.3f s   (%.1fx below simulated time)\n", r.cpu_seconds,
              sim_s / r.cpu_seconds);
}

}  // namespace

int main() {
  constexpr uint32_t kSize = 16u << 20;
  flashtest::ImageLayout layout;
  layout.flash_size = kSize;
  layout.clock_code = 2;  // 48 MHz
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
    Result full = Run(old_image, new_image);
    Print("Full 16 MiB update, W25Q128JV at 48 MHz, through SMI 0x90", full);

    std::vector<uint8_t> four = old_image;
    for (uint32_t block : {0x300000u, 0x7A0000u, 0xC10000u, 0xFF0000u})
      std::copy(b.begin() + block, b.begin() + block + 0x10000, four.begin() + block);
    Result diff = Run(old_image, four);
    Print("Four-block update (4 x 64 KiB changed), W25Q128JV at 48 MHz, through SMI 0x90", diff);
    double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory %.1f MiB; benchmark wall time %.1f s\n", double(usage.ru_maxrss) / 1024.0, total);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "flash_update_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
