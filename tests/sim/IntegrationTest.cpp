// How the board's firmware integrates the drivers: which protocol database holds the flash
// driver's interface, what a platform with its SMI dispatchers last in the volume gets,
// and what the boot report warns about.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/board/Board.h"
#include "uefi/BoardProtocols.h"

namespace {

std::unique_ptr<sim::Board> BootBoard(const char* key, const char* value) {
  auto d = sim::Board::DefaultDescription();
  d["firmware"].as_table()->insert_or_assign(key, value);
  auto board = sim::Board::CreateInMemory(d, std::vector<uint8_t>(1u << 20, 0xFF));
  board->Boot();
  return board;
}

const sim::ImageReport& Image(const sim::BootReport& report, const std::string& name) {
  auto it = std::find_if(report.images.begin(), report.images.end(), [&](auto& i) { return i.name == name; });
  if (it == report.images.end()) throw std::runtime_error("no image " + name);
  return *it;
}

bool Warns(const sim::BootReport& report, const std::string& text) {
  return std::any_of(report.warnings.begin(), report.warnings.end(),
                     [&](auto& w) { return w.find(text) != std::string::npos; });
}

TEST(Integration, TheFlashDriverPublishesItsInterfaceOnlyInsideSmm) {
  auto board = BootBoard("platform_flash", "driver");
  const auto& report = board->last_boot();
  EXPECT_TRUE(board->firmware().smram_interfaces_in_boot_services().empty());
  EXPECT_FALSE(Warns(report, "SMRAM"));
  EXPECT_FALSE(board->firmware().dxe_protocols().Has(PLATFORM_FLASH_PROTOCOL_GUID))
      << "DXE code must not find a pointer into SMRAM";
  EXPECT_TRUE(board->firmware().smm_protocols().Has(PLATFORM_FLASH_PROTOCOL_GUID));
  EXPECT_EQ(Image(report, "SpiFlashSmm").status, EFI_SUCCESS) << "the flash service found it in SMM";
}

TEST(Integration, TheFlashServiceDoesNotBindToAFlashProtocolOfDxeCode) {
  // A DXE driver's table would make every flash request an SMM call-out into memory the
  // operating system can rewrite.
  auto board = BootBoard("platform_flash", "dxe-stand-in");
  const auto& spi = Image(board->last_boot(), "SpiFlashSmm");
  EXPECT_EQ(spi.status, EFI_NOT_FOUND);
  EXPECT_FALSE(board->firmware().HasSwHandler(0x90));
}

TEST(Integration, SmiDispatchersLastLeaveSleepGpioSmmWithoutHandlersAndTheBootSaysSo) {
  auto board = BootBoard("smi_dispatchers", "last");
  const auto& report = board->last_boot();
  // Its dependency expression is TRUE: it ran before the dispatchers and found neither.
  const auto& sleep = Image(report, "SleepGpioSmm");
  EXPECT_EQ(sleep.status, EFI_SUCCESS);
  EXPECT_TRUE(sleep.registered.empty());
  EXPECT_TRUE(Warns(report, "SleepGpioSmm registered no handler"));
  // The drivers whose dependency names the software-SMI dispatcher waited for it.
  EXPECT_EQ(Image(report, "SpiFlashSmm").status, EFI_SUCCESS);
  EXPECT_EQ(Image(report, "BoardSmiServiceSmm").status, EFI_SUCCESS);
  auto order = std::find_if(report.images.begin(), report.images.end(),
                            [](auto& i) { return i.name == "SpiFlashSmm"; }) -
               std::find_if(report.images.begin(), report.images.end(),
                            [](auto& i) { return i.name == "SleepGpioSmm"; });
  EXPECT_GT(order, 0) << "SpiFlashSmm started after SleepGpioSmm";
}

TEST(Integration, SmiDispatchersFirstGiveSleepGpioSmmItsFourHandlersAndNoWarning) {
  auto board = BootBoard("smi_dispatchers", "first");
  const auto& report = board->last_boot();
  EXPECT_EQ(Image(report, "SleepGpioSmm").registered.size(), 4u);
  EXPECT_TRUE(report.warnings.empty()) << report.warnings.front();
}

}  // namespace
