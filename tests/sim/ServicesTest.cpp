// Boot and runtime services of the simulated board: variables and pool.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "sim/board/Board.h"

namespace {

constexpr EFI_GUID kVendor = {0x368B3153, 0x563D, 0x4610, {0x8D, 0x94, 0x47, 0xA9, 0xFA, 0x8C, 0x4C, 0x16}};

EFI_STATUS Set(sim::Board& b, const char16_t* name, UINT32 attrs, std::vector<uint8_t> data) {
  EFI_GUID g = kVendor;
  return b.firmware().system_table()->RuntimeServices->SetVariable(const_cast<CHAR16*>(name), &g, attrs, data.size(),
                                                                    data.data());
}

TEST(Variables, ReplaceDeleteAndAttributeRules) {
  auto board = sim::Board::CreateInMemory(sim::Board::DefaultDescription(), std::vector<uint8_t>(4096, 0xFF));
  board->Boot();
  auto& store = board->firmware().variables();
  EXPECT_EQ(Set(*board, u"V", 7, {1, 2, 3}), EFI_SUCCESS);
  EXPECT_EQ(Set(*board, u"V", 7, {9}), EFI_SUCCESS);
  ASSERT_NE(store.Get(u"V", kVendor), nullptr);
  EXPECT_EQ(store.Get(u"V", kVendor)->data, std::vector<uint8_t>{9});
  EXPECT_EQ(Set(*board, u"V", 3, {9}), EFI_INVALID_PARAMETER) << "attributes of an existing variable cannot change";
  EXPECT_EQ(Set(*board, u"W", EFI_VARIABLE_RUNTIME_ACCESS, {1}), EFI_INVALID_PARAMETER) << "RT needs BS";
  EXPECT_EQ(Set(*board, u"V", 7, {}), EFI_SUCCESS) << "size 0 deletes";
  EXPECT_EQ(store.Get(u"V", kVendor), nullptr);
  EXPECT_EQ(Set(*board, u"V", 7, {}), EFI_NOT_FOUND);
  store.FailNextSets(EFI_WRITE_PROTECTED);
  EXPECT_EQ(Set(*board, u"V", 7, {1}), EFI_WRITE_PROTECTED);
  EXPECT_EQ(store.Get(u"V", kVendor), nullptr) << "a failed write changes nothing";
}

TEST(Variables, OnlyNonVolatileVariablesSurviveARebootAndTheBoardFolder) {
  auto dir = std::filesystem::temp_directory_path() / ("fwsim-vars-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  {
    std::ofstream(dir / "board.toml") << sim::Board::DefaultDescription();
    std::ofstream(dir / "flash.bin", std::ios::binary) << std::string(16u << 20, '\xFF');  // W25Q128JV
    auto board = sim::Board::Open(dir);
    board->Boot();
    ASSERT_EQ(Set(*board, u"Kept", 7, {0xAB}), EFI_SUCCESS);
    ASSERT_EQ(Set(*board, u"Gone", 6, {0xCD}), EFI_SUCCESS);
    board->Reboot();
    EXPECT_NE(board->firmware().variables().Get(u"Kept", kVendor), nullptr);
    EXPECT_EQ(board->firmware().variables().Get(u"Gone", kVendor), nullptr);
    board->Save();
  }
  auto again = sim::Board::Open(dir);
  again->Boot();
  const sim::Variable* v = again->firmware().variables().Get(u"Kept", kVendor);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->attributes, 7u);
  EXPECT_EQ(v->data, std::vector<uint8_t>{0xAB});
  again.reset();
  std::filesystem::remove_all(dir);
}

TEST(BootPool, ReportsBuffersThatWereNotFreedAndCanFail) {
  auto board = sim::Board::CreateInMemory(sim::Board::DefaultDescription(), std::vector<uint8_t>(4096, 0xFF));
  board->Boot();
  auto* bs = board->firmware().system_table()->BootServices;
  VOID* p = nullptr;
  board->firmware().RunAs("leaky", false, [&] { ASSERT_EQ(bs->AllocatePool(EfiBootServicesData, 32, &p), EFI_SUCCESS); });
  EXPECT_EQ(board->firmware().boot_pool().OwnerOf(reinterpret_cast<uint64_t>(p)), "leaky");
  EXPECT_EQ(bs->FreePool(p), EFI_SUCCESS);
  board->firmware().FailNextBootPoolAllocations(1);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 32, &p), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(bs->AllocatePool(EfiBootServicesData, 32, &p), EFI_SUCCESS);
}

}  // namespace
