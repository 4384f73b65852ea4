// BiosGuardVarDxe, loaded as its own image by the simulated DXE dispatcher.
#include <gtest/gtest.h>

#include <cstring>

#include "biosguard_var/BiosGuardVarDxe.h"
#include "sim/board/Board.h"

namespace {

const sim::ImageReport& DxeReport(const sim::BootReport& r) {
  for (auto& i : r.images)
    if (i.name == "BiosGuardVarDxe") return i;
  throw std::runtime_error("BiosGuardVarDxe not in the boot report");
}

struct Run {
  std::unique_ptr<sim::Board> board;
  sim::BootReport report;
  std::vector<std::string> msr_reads;  // in order
};

// Boots a board whose processor has the given MSRs (absent when nullopt) and board faults.
Run Boot(std::optional<uint64_t> platform_info, std::optional<uint64_t> bios_guard_config, toml::table faults = {},
         std::function<void(sim::Board&)> before = {}) {
  auto d = sim::Board::DefaultDescription();
  d.insert_or_assign("faults", faults);
  Run run;
  run.board = sim::Board::CreateInMemory(d, std::vector<uint8_t>(4096, 0xFF));
  auto& bus = run.board->bus();
  if (platform_info) bus.DefineMsr(0xCE, *platform_info); else bus.RemoveMsr(0xCE);
  if (bios_guard_config) bus.DefineMsr(0x110, *bios_guard_config); else bus.RemoveMsr(0x110);
  if (before) before(*run.board);
  bus.AddObserver([&run](const sim::Bus::Access& a) {
    if (a.kind == "MSRR") run.msr_reads.push_back(std::to_string(a.address));
  });
  run.report = run.board->Boot();
  return run;
}

EFI_GUID VendorGuid() {
  EFI_GUID g;
  std::memcpy(&g, kBiosGuardCapsuleVariableGuidWords, sizeof g);
  return g;
}

TEST(BiosGuardVarDxe, WritesSixteenZeroBytesWithTheExactNameGuidAndAttributesWhenEnabled) {
  auto run = Boot(1ULL << 35, 0x2);
  const auto& image = DxeReport(run.report);
  ASSERT_TRUE(image.loaded);
  EXPECT_EQ(image.status, EFI_SUCCESS);
  const uint8_t expected_guid[16] = {0x53, 0x31, 0x8B, 0x36, 0x3D, 0x56, 0x10, 0x46,
                                     0x8D, 0x94, 0x47, 0xA9, 0xFA, 0x8C, 0x4C, 0x16};
  EFI_GUID g = VendorGuid();
  EXPECT_EQ(std::memcmp(&g, expected_guid, 16), 0);
  auto all = run.board->firmware().variables().All();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(sim::Utf16ToUtf8(all[0]->name), "BiosGuardCapsuleVariable");
  EXPECT_EQ(sim::GuidToString(all[0]->guid), "368B3153-563D-4610-8D94-47A9FA8C4C16");
  EXPECT_EQ(all[0]->attributes, 7u);
  EXPECT_EQ(all[0]->data, std::vector<uint8_t>(16, 0));
  // The SMM flash drivers make the same BIOS Guard test: every reader of 0x110 read 0xCE
  // just before it, and the DXE driver's pair comes last.
  ASSERT_GE(run.msr_reads.size(), 2u);
  for (size_t i = 0; i < run.msr_reads.size(); ++i)
    if (run.msr_reads[i] == "272") {
      EXPECT_TRUE(i > 0 && run.msr_reads[i - 1] == "206") << "0xCE, then 0x110";
    }
  EXPECT_EQ(std::vector<std::string>(run.msr_reads.end() - 2, run.msr_reads.end()),
            (std::vector<std::string>{"206", "272"}));
  EXPECT_TRUE(run.report.unfreed_boot_pool.empty());
}

TEST(BiosGuardVarDxe, NeverReadsMsr0x110WhenThePlatformInfoBitIsClear) {
  // The processor has no MSR 0x110 at all: reading it would fault the image.
  auto run = Boot(~(1ULL << 35), std::nullopt);
  const auto& image = DxeReport(run.report);
  EXPECT_EQ(image.status, EFI_SUCCESS);
  EXPECT_EQ(image.outcome.rfind("returned", 0), 0u) << image.outcome;
  ASSERT_FALSE(run.msr_reads.empty());
  for (const auto& read : run.msr_reads) EXPECT_EQ(read, "206");
  EXPECT_TRUE(run.board->firmware().variables().All().empty());
}

TEST(BiosGuardVarDxe, WritesNothingWhenBiosGuardIsAvailableButNotEnabled) {
  for (uint64_t config : {0x0ULL, 0x1ULL, ~0x2ULL}) {
    auto run = Boot(1ULL << 35, config);
    EXPECT_EQ(DxeReport(run.report).status, EFI_SUCCESS);
    EXPECT_TRUE(run.board->firmware().variables().All().empty()) << config;
    EXPECT_EQ(run.board->firmware().variables().set_calls(), 0u);
  }
}

TEST(BiosGuardVarDxe, PoolFailureGivesOutOfResourcesWithoutSetVariable) {
  auto run = Boot(1ULL << 35, 0x2, toml::table{{"boot_pool_failures", 1}});
  EXPECT_EQ(DxeReport(run.report).status, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(run.board->firmware().variables().set_calls(), 0u);
}

TEST(BiosGuardVarDxe, SetVariableFailureIsReturnedAndTheBufferIsStillFreed) {
  for (auto [name, status] : {std::pair{"write-protected", EFI_WRITE_PROTECTED},
                              std::pair{"out-of-resources", EFI_OUT_OF_RESOURCES}}) {
    auto run = Boot(1ULL << 35, 0x2, toml::table{{"set_variable_status", name}});
    EXPECT_EQ(DxeReport(run.report).status, status) << name;
    EXPECT_TRUE(run.report.unfreed_boot_pool.empty()) << name;
    EXPECT_TRUE(run.board->firmware().variables().All().empty());
  }
}

TEST(BiosGuardVarDxe, ReplacesAnOlderValueAndLeavesItAloneWhenBiosGuardIsOff) {
  auto run = Boot(1ULL << 35, 0x2);
  auto& store = run.board->firmware().variables();
  ASSERT_EQ(store.Set(kBiosGuardCapsuleVariableName, VendorGuid(), 7, {1, 2, 3, 4}), EFI_SUCCESS);
  run.board->Reboot();
  EXPECT_EQ(run.board->firmware().variables().Get(kBiosGuardCapsuleVariableName, VendorGuid())->data,
            std::vector<uint8_t>(16, 0));
  // Same store, a boot without BIOS Guard: the variable stays as it was.
  ASSERT_EQ(run.board->firmware().variables().Set(kBiosGuardCapsuleVariableName, VendorGuid(), 7, {5}), EFI_SUCCESS);
  run.board->bus().DefineMsr(0x110, 0);
  run.board->Reboot();
  EXPECT_EQ(run.board->firmware().variables().Get(kBiosGuardCapsuleVariableName, VendorGuid())->data,
            std::vector<uint8_t>{5});
}

}  // namespace
