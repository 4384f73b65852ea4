// SpiFlashSmm whose start-up fails after its SMI 0x90 handler is registered: the SMM core
// refuses the protocol installation, or the protocol notification. The handler stays
// registered, so the SMRAM map and the memory maps it judges addresses by must stay too:
// an attack through it after such a start-up is refused exactly as after a sound one.
#include <gtest/gtest.h>

#include "sim/board/MemoryMap.h"
#include "tests/security/HostileCampaign.h"

namespace {
using fstest::Sig;

fstest::BoardOptions Failing(const char* fault, const char* prepare) {
  fstest::BoardOptions o;
  o.prepare = prepare;
  o.describe = [=](toml::table& d) { d.insert_or_assign("faults", toml::table{{fault, "out-of-resources"}}); };
  return o;
}

TEST(StartUpFailure, HandlerLeftRegisteredStillRefusesSmramAndOsMemory) {
  struct Case {
    const char* fault;
    const char* prepare;  // the notification is registered only while the prepare protocol is missing
  };
  for (const Case& c : {Case{"smm_install_protocol", "present"}, Case{"smm_register_protocol_notify", "late"}}) {
    hostile::Campaign h(Failing(c.fault, c.prepare));
    const sim::ImageReport* spi = nullptr;
    for (auto& image : h.fb().board().last_boot().images)
      if (image.name == "SpiFlashSmm") spi = &image;
    ASSERT_NE(spi, nullptr);
    EXPECT_EQ(spi->status, EFI_OUT_OF_RESOURCES) << c.fault;
    ASSERT_TRUE(h.fb().board().firmware().HasSwHandler(0x90)) << c.fault;

    const uint64_t hash = h.SmramHash();
    const uint64_t smram = sim::kSmramPoolBase + 0x100;
    const uint64_t record = h.fb().board().OsAlloc(sizeof(FlashServiceRequest), 8);
    for (uint64_t buffer : {smram, uint64_t(sim::kBootPoolBase), uint64_t(0xFE010010)}) {
      FlashServiceRequest req = fstest::Request(Sig("$GB1"), 4);
      req.Address = 0xFFF00000;
      req.Size = 0x40;
      req.Buffer = uint32_t(buffer);
      h.fb().WriteRequest(record, req);
      hostile::Observation o = h.Attack(record);
      EXPECT_EQ(o.status, EFI_ACCESS_DENIED) << c.fault << " buffer " << std::hex << buffer;
      EXPECT_EQ(o.smram_reads + o.smram_writes, 0u) << c.fault;
      EXPECT_EQ(o.platform_calls, 0u) << c.fault;
    }
    // A record inside SMRAM is neither read nor written.
    hostile::Observation o = h.Attack(smram);
    EXPECT_EQ(o.accesses, 0u) << c.fault;
    EXPECT_EQ(h.SmramHash(), hash) << c.fault;
  }
}

}  // namespace
