// SpiFlashSmm start-up on the board: what it binds, and what a missing piece does.
#include <gtest/gtest.h>

#include <algorithm>

#include "flash/service/FlashServiceProtocol.h"
#include "tests/flash_service/support/FlashTestSupport.h"

namespace {
using fstest::FlashBoard;
using fstest::Request;
using fstest::Sig;

const sim::ImageReport& SpiFlashSmmReport(FlashBoard& fb) {
  for (auto& i : fb.board().last_boot().images)
    if (i.name == "SpiFlashSmm") return i;
  throw std::runtime_error("SpiFlashSmm did not boot");
}

uint64_t SmramHeldBy(FlashBoard& fb, const std::string& owner) {
  auto& pool = fb.board().firmware().smram_pool();
  uint64_t bytes = 0;
  for (auto& [address, size] : pool.live())
    if (pool.OwnerOf(address) == owner) bytes += size;
  return bytes;
}

bool Registered(const sim::ImageReport& r, const std::string& what) {
  return std::any_of(r.registered.begin(), r.registered.end(),
                     [&](const std::string& s) { return s.find(what) != std::string::npos; });
}

TEST(SpiFlashSmmBinding, BindsSmi0x90AndInstallsTheServiceProtocol) {
  FlashBoard fb;
  auto& r = SpiFlashSmmReport(fb);
  EXPECT_EQ(r.status, EFI_SUCCESS);
  EXPECT_TRUE(Registered(r, "software SMI 0x90"));
  EXPECT_TRUE(Registered(r, "SMM protocol A715AB9C-D147-41F6-AD46-D0C4E4CF6374"));
  EXPECT_FALSE(Registered(r, "notify")) << "FlashUpdatePrepareProtocol was there to locate";
  EXPECT_GT(SmramHeldBy(fb, "SpiFlashSmm"), 0u) << "the frame keeps its SMRAM map";
}

TEST(SpiFlashSmmBinding, WithoutPlatformFlashProtocolStartUpFailsBeforeRegisteringTheSmi) {
  fstest::BoardOptions o;
  o.platform_flash = "none";
  FlashBoard fb(o);
  auto& r = SpiFlashSmmReport(fb);
  EXPECT_EQ(r.status, EFI_NOT_FOUND);
  EXPECT_FALSE(fb.board().firmware().HasSwHandler(0x90));
  // The body ran: what it may have registered before failing keeps the maps its checks
  // need (the frame does not free them once the body has started).
  EXPECT_GT(SmramHeldBy(fb, "SpiFlashSmm"), 0u);
  EXPECT_FALSE(fb.board().firmware().smm_protocols().Has(FLASH_SERVICE_PROTOCOL_GUID));
}

TEST(SpiFlashSmmBinding, WithoutFrameSupportTheBodyDoesNotRun) {
  fstest::BoardOptions o;
  o.frame_support = false;
  FlashBoard fb(o);
  auto& r = SpiFlashSmmReport(fb);
  EXPECT_EQ(r.status, EFI_NOT_FOUND);
  EXPECT_TRUE(r.registered.empty());
  EXPECT_EQ(SmramHeldBy(fb, "SpiFlashSmm"), 0u);
}

TEST(SpiFlashSmmBinding, ALateFlashUpdatePrepareProtocolIsTakenUpByTheNotify) {
  fstest::BoardOptions o;
  o.prepare = "absent";
  FlashBoard fb(o);
  auto& r = SpiFlashSmmReport(fb);
  EXPECT_EQ(r.status, EFI_SUCCESS) << "the status of the notify registration";
  EXPECT_TRUE(Registered(r, "notify on protocol E7F1F38F-AC45-4304-A1E0-B6CDA704A001"));
  EXPECT_EQ(fb.Call(Request(Sig("$GB1"), 10)).Status, EFI_UNSUPPORTED);
  fb.board().InstallFlashUpdatePrepare();
  // The first erase outside the BIOS region now prepares the platform.
  auto erase = Request(Sig("$GB1"), 5);
  erase.Address = 0xFF000000;
  erase.Size = 0x1000;
  EXPECT_EQ(fb.Call(erase).Status, EFI_SUCCESS);
  EXPECT_EQ(fb.board().flash_update_prepare().prepare_calls, 1u);
  EXPECT_EQ(fb.Call(Request(Sig("$GB1"), 10)).Status, EFI_UNSUPPORTED) << "already prepared";
}

}  // namespace
