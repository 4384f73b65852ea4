// Area lookups through software SMI 0x90: the firmware-volume walk and the layout table.
#include <gtest/gtest.h>

#include "tests/flash_service/support/FlashTestSupport.h"

namespace {
using fstest::FlashBoard;
using fstest::Request;
using fstest::Sig;
using fstest::VolumeBuilder;

constexpr uint32_t kSentinel = 0xA5A5A5A5;

FlashServiceRequest Lookup(uint32_t signature, uint32_t function, uint32_t volume = 0) {
  auto r = Request(signature, function);
  r.Address = kSentinel;
  r.Size = kSentinel;
  r.VolumeBase = volume;
  return r;
}

// A board whose flash holds `volume` at `base`, with `base` at 0xFFFFFFFC.
std::unique_ptr<FlashBoard> BoardWithVolume(const std::vector<uint8_t>& volume, uint64_t base = 0xFFE00000) {
  fstest::BoardOptions o;
  o.flash = fstest::FlashWithVolume(o.flash_size, base, volume);
  return std::make_unique<FlashBoard>(o);
}

uint32_t Dword(const std::vector<uint8_t>& v) {
  uint32_t d = 0;
  std::memcpy(&d, v.data(), 4);
  return d;
}

TEST(AreaLookup, EachAreaSignatureFindsTheDataOfItsAreaFile) {
  FlashBoard fb;
  for (size_t i = 0; i < 7; ++i) {
    const auto& a = fstest::kAreaSignatures[i];
    auto r = fb.Call(Lookup(a.value, 3));
    ASSERT_EQ(r.Status, EFI_SUCCESS) << a.text;
    // The found data lies behind the file header and the section header, and the name
    // before it is the area GUID.
    EXPECT_EQ(fb.FlashAt(r.Address - 0x1C, 16), fstest::GuidBytes(a.guid)) << a.text;
    if (a.value == Sig("$BDR")) continue;  // its area is the layout file itself
    EXPECT_EQ(r.Size, 16u) << a.text;
    EXPECT_EQ(fb.FlashAt(r.Address, 16), std::vector<uint8_t>(16, uint8_t(i + 1))) << a.text;
  }
}

TEST(AreaLookup, FunctionOneFindsTheLayoutFileWhateverTheSignature) {
  FlashBoard fb;
  auto bdr = fb.Call(Lookup(Sig("$BDR"), 3));
  ASSERT_EQ(bdr.Status, EFI_SUCCESS);
  for (auto& a : fstest::kAreaSignatures) {
    auto r = fb.Call(Lookup(a.value, 1));
    EXPECT_EQ(r.Status, EFI_SUCCESS) << a.text;
    EXPECT_EQ(r.Address, bdr.Address) << a.text;
    EXPECT_EQ(r.Size, bdr.Size) << a.text;
  }
}

TEST(AreaLookup, FunctionTwoAnswersTheLayoutEntryOfTheSignatureAndItsGuid) {
  FlashBoard fb;
  for (auto& a : fstest::kAreaSignatures) {
    auto r = fb.Call(Lookup(a.value, 2));
    ASSERT_EQ(r.Status, EFI_SUCCESS) << a.text;
    EXPECT_EQ(r.Size, 0u);
    auto entry = fb.FlashAt(r.Address, 32);
    EXPECT_EQ(Dword(entry), a.value);
    EXPECT_EQ(std::vector<uint8_t>(entry.begin() + 10, entry.begin() + 26), fstest::GuidBytes(a.guid));
  }
}

TEST(AreaLookup, VolumeBaseZeroMeansTheVolumeWhoseBaseTheFlashKeepsAt0xFFFFFFFC) {
  FlashBoard fb;
  // A second volume in OS memory holds the "$STL" area with other contents.
  auto other = VolumeBuilder().File(fstest::kStlGuid, std::vector<uint8_t>(40, 0x77)).Build();
  uint64_t base = fb.OsBuffer(other, 8);
  auto from_flash = fb.Call(Lookup(Sig("$STL"), 3, 0));
  auto from_memory = fb.Call(Lookup(Sig("$STL"), 3, uint32_t(base)));
  ASSERT_EQ(from_flash.Status, EFI_SUCCESS);
  ASSERT_EQ(from_memory.Status, EFI_SUCCESS);
  EXPECT_GE(from_flash.Address, fstest::kStandardVolumeBase);
  EXPECT_EQ(from_memory.Address, base + 0x48 + 0x1C);
  EXPECT_EQ(from_memory.Size, 40u);
  EXPECT_EQ(fb.Peek(from_memory.Address, 40), std::vector<uint8_t>(40, 0x77));
}

TEST(AreaLookup, AFileSizeIsRoundedUpToEightBytesToReachTheNextFile) {
  // A file of 0x24 bytes is followed by the next header 0x28 bytes on.
  auto volume = VolumeBuilder()
                    .RawFile(fstest::kOtherGuid, 0x24, std::vector<uint8_t>(0x0C, 0x00))
                    .File(fstest::kTpmGuid, {1, 2, 3, 4})
                    .Build();
  auto fb = BoardWithVolume(volume);
  auto r = fb->Call(Lookup(Sig("$TPM"), 3));
  ASSERT_EQ(r.Status, EFI_SUCCESS);
  EXPECT_EQ(r.Address, 0xFFE00000u + 0x48 + 0x28 + 0x1C);
  EXPECT_EQ(r.Size, 4u);
}

TEST(AreaLookup, ErasedSpaceEndsTheWalkAndLeavesAddressAndSizeAlone) {
  auto volume = VolumeBuilder().Build(0x1000, 0x1000);  // no files: the first header reads all ones
  auto fb = BoardWithVolume(volume);
  for (uint32_t function : {1u, 2u, 3u}) {
    auto r = fb->Call(Lookup(Sig("$SDB"), function));
    EXPECT_EQ(r.Status, EFI_UNSUPPORTED);
    EXPECT_EQ(r.Address, kSentinel) << function;
    EXPECT_EQ(r.Size, kSentinel) << function;
  }
}

TEST(AreaLookup, TheWalkEndsAtFvLength) {
  // The "$MTR" file lies beyond the length the volume header claims.
  auto volume = VolumeBuilder()
                    .File(fstest::kOtherGuid, std::vector<uint8_t>(0x40, 0))
                    .File(fstest::kMtrGuid, {9})
                    .Build(0x48 + 0x60);
  auto fb = BoardWithVolume(volume);
  EXPECT_EQ(fb->Call(Lookup(Sig("$MTR"), 3)).Status, EFI_UNSUPPORTED);
}

TEST(AreaLookup, AFileTooShortForItsSectionHeaderIsNeverReported) {
  // 0x1A bytes: a file header and two bytes, no room for the 4-byte section header that
  // the reported size (Size - 0x1C) assumes.
  auto short_only = VolumeBuilder().RawFile(fstest::kFmrGuid, 0x1A, {0, 0}).Build();
  auto fb = BoardWithVolume(short_only);
  auto r = fb->Call(Lookup(Sig("$FMR"), 3));
  EXPECT_EQ(r.Status, EFI_UNSUPPORTED);
  EXPECT_EQ(r.Size, kSentinel);

  auto then_good = VolumeBuilder().RawFile(fstest::kFmrGuid, 0x1A, {0, 0}).File(fstest::kFmrGuid, {7, 7}).Build();
  fb.reset();  // one board at a time
  fb = BoardWithVolume(then_good);
  r = fb->Call(Lookup(Sig("$FMR"), 3));
  ASSERT_EQ(r.Status, EFI_SUCCESS);
  EXPECT_EQ(r.Size, 2u);
  EXPECT_EQ(r.Address, 0xFFE00000u + 0x48 + 0x20 + 0x1C);
}

TEST(AreaLookup, ALayoutTableWithoutEntriesAnswersZeroAddressAndSize) {
  auto volume = VolumeBuilder().File(fstest::kLayoutFileGuid, fstest::LayoutData({})).Build();
  auto fb = BoardWithVolume(volume);
  auto r = fb->Call(Lookup(Sig("DECG"), 2));
  EXPECT_EQ(r.Status, EFI_UNSUPPORTED);
  EXPECT_EQ(r.Address, 0u);
  EXPECT_EQ(r.Size, 0u);
}

TEST(AreaLookup, LayoutEntriesMustMatchSignatureAndGuidAndTheFirstMatchWins) {
  auto layout = fstest::LayoutData({
      {Sig("$SDB"), fstest::kDecgGuid},  // DECG's GUID under another signature
      {Sig("DECG"), fstest::kStlGuid},   // DECG's signature with another GUID
      {Sig("DECG"), fstest::kDecgGuid},  // the match
      {Sig("DECG"), fstest::kDecgGuid},  // a later duplicate
  }, 0x80);
  auto volume = VolumeBuilder().File(fstest::kLayoutFileGuid, layout).Build();
  auto fb = BoardWithVolume(volume);
  auto file = fb->Call(Lookup(Sig("DECG"), 1));
  ASSERT_EQ(file.Status, EFI_SUCCESS);
  auto r = fb->Call(Lookup(Sig("DECG"), 2));
  ASSERT_EQ(r.Status, EFI_SUCCESS);
  EXPECT_EQ(r.Address, file.Address + 0x80 + 2 * 32);
  EXPECT_EQ(r.Size, 0u);
  // No entry has "$TPM".
  r = fb->Call(Lookup(Sig("$TPM"), 2));
  EXPECT_EQ(r.Status, EFI_UNSUPPORTED);
  EXPECT_EQ(r.Address, 0u);
  EXPECT_EQ(r.Size, 0u);
}

TEST(AreaLookup, WithoutALayoutFileFunctionTwoLeavesAddressAndSizeAlone) {
  auto volume = VolumeBuilder().File(fstest::kSdbGuid, {1}).Build();
  auto fb = BoardWithVolume(volume);
  auto r = fb->Call(Lookup(Sig("$SDB"), 2));
  EXPECT_EQ(r.Status, EFI_UNSUPPORTED);
  EXPECT_EQ(r.Address, kSentinel);
  EXPECT_EQ(r.Size, kSentinel);
}

}  // namespace
