// Hostile software-SMI 0x90 requests: records, buffers and volumes at every SMRAM edge, at
// wrapping addresses, with sizes 0, 1 and huge, corrupt volumes and layout tables, and
// fields rewritten between reads. Whatever is tried, SMRAM is neither read nor written,
// no request byte is read twice, and what is refused never reaches the flash.
#include <gtest/gtest.h>

#include <cinttypes>

#include "sim/board/MemoryMap.h"
#include "tests/security/HostileCampaign.h"
#include "tests/security/MalformedVolumes.h"

namespace {
using fstest::Sig;
using hostile::Campaign;
using hostile::Hex;
using hostile::Observation;
using hostile::Range;

constexpr uint64_t kFourGiB = 0x100000000ULL;
constexpr uint64_t kRecordBytes = sizeof(FlashServiceRequest);
constexpr uint64_t kVolumeHeaderBytes = 0x32;   // FvLength and HeaderLength lie within these
constexpr uint64_t kLargestVolume = 0x02000000;  // the flash decode window

std::vector<uint32_t> AllSignatures() {
  std::vector<uint32_t> s = {Sig("$GB1"), 0, 0xFFFFFFFF, Sig("$GB0")};
  for (auto& a : fstest::kAreaSignatures) s.push_back(a.value);
  return s;
}

std::vector<uint32_t> AllFunctions() {
  std::vector<uint32_t> f;
  for (uint32_t i = 0; i <= 11; ++i) f.push_back(i);
  f.push_back(0x80000004);
  f.push_back(0xFFFFFFFF);
  return f;
}

// The part-name report (slot 0) is not part of this campaign.
bool IsPartNameRequest(uint32_t signature, uint32_t function) { return signature == Sig("$BDR") && function == 0; }

struct HostileBoard : Campaign {
  uint64_t os_buffer = 0;
  // The board maps RAM right below TSEG (ACPI NVS) and above it (reserved), as boards
  // whose TSEG sits at the top of low DRAM do: caller memory reaches right up to SMRAM.
  HostileBoard() { os_buffer = fb().OsBuffer(std::vector<uint8_t>(0x1000, 0x42)); }
  // Each edge of each SMRAM range.
  std::vector<uint64_t> Edges() const {
    std::vector<uint64_t> e;
    for (auto& r : smram()) {
      e.push_back(r.base);
      e.push_back(r.end);
    }
    std::sort(e.begin(), e.end());
    e.erase(std::unique(e.begin(), e.end()), e.end());
    return e;
  }
  bool Smram(uint64_t a, uint64_t n) const { return InSmram(a, n == 0 ? 1 : n); }
};

void ExpectClean(const Observation& o, const std::string& what) {
  EXPECT_EQ(o.smram_reads, 0u) << what;
  EXPECT_EQ(o.smram_writes, 0u) << what;
  EXPECT_LE(o.max_record_byte_reads, 1u) << what;
}

// A refused record is not read and not written; nothing else happens either.
void RecordPlacement(HostileBoard& h) {
  std::vector<uint64_t> places;
  for (uint64_t x : h.Edges())
    for (int64_t d : {-88, -87, -80, -44, -8, -1, 0, 1, 44, 0x1000 - 88})
      places.push_back(x + static_cast<uint64_t>(d));
  // The top of the 64-bit space: the last record that fits, and ones that wrap.
  for (uint64_t r : {kFourGiB * 0xFFFFFFFFULL + 0xFFFFFFA8, kFourGiB * 0xFFFFFFFFULL + 0xFFFFFFA9,
                     kFourGiB * 0xFFFFFFFFULL + 0xFFFFFFF8, ~0ULL})
    places.push_back(r);

  for (uint64_t r : places) {
    const bool refuse = !h.CallerMemory(r, kRecordBytes);
    for (uint32_t signature : AllSignatures())
      for (uint32_t function : AllFunctions()) {
        if (IsPartNameRequest(signature, function)) continue;
        FlashServiceRequest req = fstest::Request(signature, function);
        req.Address = 0xFFF00000;
        req.Size = 0x10;
        req.Buffer = uint32_t(h.os_buffer);
        h.PokeOutsideSmram(r, &req, sizeof req);
        Observation o = h.Attack(r);
        std::string what = "record at " + Hex(r) + " signature " + Hex(signature) + " function " + Hex(function);
        ExpectClean(o, what);
        if (refuse) {
          EXPECT_EQ(o.accesses, 0u) << what;
          EXPECT_EQ(o.platform_calls, 0u) << what;
        }
        // A refused record is never written: any write to it would be a success it did not earn.
        h.Count(refuse ? "record at an SMRAM edge or wrapping" : "record next to SMRAM", o, refuse,
                refuse && !o.writes.empty());
      }
  }
}

struct BufferCase {
  uint32_t function;
  uint32_t address;
  uint32_t size;
  uint32_t buffer;
};

// Read and write buffers and flash ranges: refused with EFI_ACCESS_DENIED when the buffer
// touches SMRAM or either range runs past 4 GiB.
void BufferPlacement(HostileBoard& h) {
  std::vector<BufferCase> cases;
  const std::vector<uint32_t> sizes = {0, 1, 0x1000, 0x100000, 0x01000000, 0x7FFFFFFF, 0xFFFFFFFF};
  for (uint32_t function : {4u, 6u})
    for (uint32_t size : sizes) {
      uint32_t address = size <= 0x01000000 ? uint32_t(kFourGiB - std::max<uint32_t>(size, 0x1000)) : 0xFE000000;
      std::vector<uint64_t> buffers = {0, 0xFFFFFFFF, 0xFFFFF000, h.os_buffer};
      for (uint64_t x : h.Edges())
        for (int64_t d : std::initializer_list<int64_t>{-int64_t(size), -int64_t(size) + 1, -1, 0, 1, 0x800})
          buffers.push_back(x + static_cast<uint64_t>(d));
      buffers.push_back(h.smram().front().base - 0x1000);  // covering all of SMRAM with a huge size
      for (uint64_t b : buffers)
        if (b < kFourGiB) cases.push_back({function, address, size, uint32_t(b)});
    }
  for (uint32_t function : {4u, 5u, 6u}) {
    uint32_t buffer = uint32_t(h.os_buffer);
    cases.push_back({function, 0xFFFFF000, 0x2000, buffer});
    cases.push_back({function, 0xFFFFFFFF, 1, buffer});
    cases.push_back({function, 0xFFFFFFFF, 2, buffer});
    cases.push_back({function, 0, 0xFFFFFFFF, buffer});
    cases.push_back({function, 0xFE000000, 0x02000001, buffer});
  }

  // Above 4 GiB, where no 32-bit buffer can cover it: reads of the record are then the
  // handler's own.
  const uint64_t record = sim::kHighRamBase + 0x1000;
  for (auto& c : cases) {
    FlashServiceRequest req = fstest::Request(Sig("$GB1"), c.function);
    req.Address = c.address;
    req.Size = c.size;
    req.Buffer = c.buffer;
    h.fb().WriteRequest(record, req);
    const bool uses_buffer = c.function != 5;
    const uint64_t span = c.size == 0 ? 1 : c.size;
    const bool refuse = uint64_t(c.address) + c.size > kFourGiB ||
                        (uses_buffer && (uint64_t(c.buffer) + span > kFourGiB || !h.CallerMemory(c.buffer, span)));
    Observation o = h.Attack(record);
    std::string what = "function " + std::to_string(c.function) + " address " + Hex(c.address) + " size " +
                       Hex(c.size) + " buffer " + Hex(c.buffer);
    ExpectClean(o, what);
    if (refuse) {
      EXPECT_EQ(o.status, EFI_ACCESS_DENIED) << what;
      EXPECT_EQ(o.platform_calls, 0u) << what;
      ASSERT_EQ(o.writes.size(), 1u) << what;
      EXPECT_EQ(o.writes[0].first, record + 8) << "only Status is written: " << what;
    } else {
      EXPECT_NE(o.status, EFI_ACCESS_DENIED) << what;
    }
    h.Count(uses_buffer ? "read/write buffer at SMRAM edges, wraps" : "erase range wrapping 4 GiB", o, refuse,
            refuse && o.status == EFI_SUCCESS);
  }
}

// A volume base in SMRAM, or whose header runs into it or past 4 GiB, is refused; a volume
// that runs into SMRAM is searched only up to it.
void VolumeBases(HostileBoard& h) {
  std::vector<uint64_t> bases = {0xFFFFFFFF, 0xFFFFFFCE, 0xFFFFFFCF, 0xFFFFFFF0};
  for (uint64_t x : h.Edges())
    for (int64_t d : std::initializer_list<int64_t>{-int64_t(kVolumeHeaderBytes), -int64_t(kVolumeHeaderBytes) + 1, -0x10, -1, 0, 0x40})
      bases.push_back(x + static_cast<uint64_t>(d));
  const uint64_t record = h.fb().board().OsAlloc(kRecordBytes, 8);
  // Changes made behind the controller's back: fetch the array again for each, so the
  // controller drops what it had buffered from the flash.
  auto flash_bytes = [&h]() -> std::vector<uint8_t>& { return h.fb().board().flash().mutable_contents(); };
  const std::vector<uint8_t> saved_pointer(flash_bytes().end() - 4, flash_bytes().end());

  for (bool through_pointer : {false, true})
    for (uint64_t v : bases) {
      // A header that claims a huge volume whose files start beyond the header.
      auto header = fstest::VolumeBuilder().Build(~0ULL);
      h.PokeOutsideSmram(v, header.data(), header.size());
      uint32_t given = uint32_t(v);
      if (through_pointer) {
        auto& flash = flash_bytes();
        std::memcpy(&flash[flash.size() - 4], &given, 4);
        given = 0;
      }
      const bool beyond = v + kVolumeHeaderBytes > kFourGiB;
      const bool refuse = !beyond && !h.VolumeMemory(v, kVolumeHeaderBytes);
      for (uint32_t function : {1u, 2u, 3u})
        for (auto& a : fstest::kAreaSignatures) {
          FlashServiceRequest req = fstest::Request(a.value, function);
          req.VolumeBase = given;
          req.Address = 0x5A5A5A5A;
          h.fb().WriteRequest(record, req);
          std::vector<Range> allowed = {{v, v + std::min({kFourGiB - std::min(v, kFourGiB), kLargestVolume})}};
          if (through_pointer) allowed.push_back({0xFFFFFFFC, kFourGiB});
          Observation o = h.Attack(record, function == 2 ? std::nullopt : std::optional(allowed));
          std::string what = "volume at " + Hex(v) + " function " + std::to_string(function);
          ExpectClean(o, what);
          EXPECT_EQ(o.reads_outside_allowed, 0u) << what << " read " << Hex(o.first_read_outside);
          if (refuse || beyond) {
            EXPECT_EQ(o.status, refuse ? EFI_ACCESS_DENIED : EFI_UNSUPPORTED) << what;
            EXPECT_EQ(h.fb().ReadRequest(record).Address, 0x5A5A5A5Au) << what;
          } else {
            EXPECT_NE(o.status, EFI_SUCCESS) << what;
          }
          h.Count(through_pointer ? "volume base from 0xFFFFFFFC at SMRAM edges" : "volume base at SMRAM edges, wraps",
                  o, refuse || beyond);
        }
    }
  std::copy(saved_pointer.begin(), saved_pointer.end(), flash_bytes().end() - 4);
}

// Each malformed volume in ordinary OS memory and ending right at the SMRAM base.
void MalformedVolumeWalks(HostileBoard& h, unsigned* volumes) {
  const uint64_t record = h.fb().board().OsAlloc(kRecordBytes, 8);
  const uint64_t ordinary = h.fb().board().OsAlloc(0x10000, 0x1000);
  const uint64_t smram_base = h.smram().front().base;
  auto list = hostile::MalformedVolumes();
  *volumes = static_cast<unsigned>(list.size());
  const std::vector<uint8_t> clean(0x10000, 0);
  for (auto& m : list) {
    for (uint64_t v : {ordinary, smram_base - m.bytes.size()}) {
      h.PokeOutsideSmram(v, clean.data(), std::min<uint64_t>(clean.size(), smram_base - v));
      h.fb().board().bus().PokeBytes(v, m.bytes.data(), m.bytes.size());
      const uint64_t stated = hostile::StatedFvLength(m.bytes);
      const uint64_t span = std::min({stated, kFourGiB - v, kLargestVolume});
      for (uint32_t function : {1u, 2u, 3u}) {
        FlashServiceRequest req = fstest::Request(Sig("$TPM"), function);
        req.VolumeBase = uint32_t(v);
        h.fb().WriteRequest(record, req);
        std::optional<std::vector<Range>> allowed;
        // The header is read to learn the volume's length, whatever that length says.
        if (function != 2) allowed = std::vector<Range>{{v, v + std::max(span, kVolumeHeaderBytes)}};
        Observation o = h.Attack(record, allowed);
        std::string what = m.what + " at " + Hex(v) + " function " + std::to_string(function);
        ASSERT_TRUE(o.handled) << what;
        ExpectClean(o, what);
        EXPECT_EQ(o.reads_outside_allowed, 0u) << what << " read " << Hex(o.first_read_outside);
        auto after = h.fb().ReadRequest(record);
        if (o.status == EFI_SUCCESS && function != 2) {
          // Whatever is reported lies inside the volume.
          EXPECT_GE(after.Address, v) << what;
          EXPECT_LE(uint64_t(after.Address) + after.Size, v + span) << what;
        }
        h.Count("malformed volume walks", o, o.status != EFI_SUCCESS);
      }
    }
  }
}

// Fields changed by another processor after the handler read them: only the first value
// counts, for the check and for the use alike.
void DoubleFetch(HostileBoard& h) {
  const uint64_t record = h.fb().board().OsAlloc(kRecordBytes, 8);
  const uint32_t smram = uint32_t(h.smram().front().base);
  struct Race {
    uint32_t function;
    uint32_t signature;
    FlashServiceRequest first;
    uint32_t expect_status_denied;
  };
  auto make = [&](uint32_t sig, uint32_t fn, uint32_t address, uint32_t size, uint32_t buffer, uint32_t volume) {
    auto r = fstest::Request(sig, fn);
    r.Address = address;
    r.Size = size;
    r.Buffer = buffer;
    r.VolumeBase = volume;
    return r;
  };
  std::vector<FlashServiceRequest> honest = {
      make(Sig("$GB1"), 4, 0xFFFF0000, 0x100, uint32_t(h.os_buffer), 0),
      make(Sig("$GB1"), 6, 0xFFFF0000, 0x100, uint32_t(h.os_buffer), 0),
      make(Sig("$GB1"), 5, 0xFFFF0000, 0x1000, 0, 0),
      make(Sig("$TPM"), 3, 0, 0, 0, 0),
      make(Sig("$TPM"), 2, 0, 0, 0, 0),
      make(Sig("$GB1"), 4, 0xFFFF0000, 0x100, smram, 0),  // refused on its first value
  };
  const FlashServiceRequest hostile_values = make(Sig("$GB1"), 6, 0, 0xFFFFFFFF, smram, smram);
  for (auto& first : honest)
    for (int mode = 0; mode < 2; ++mode) {
      h.fb().WriteRequest(record, first);
      // mode 0: every field turns hostile right after its first read; mode 1: the hostile
      // record turns honest (the buffer moves out of SMRAM) after the first read.
      FlashServiceRequest after = hostile_values;
      if (mode == 1) {
        after = first;
        after.Buffer = uint32_t(h.os_buffer);
      }
      auto rewrite = [&](uint64_t address, unsigned) {
        if (address >= record && address < record + 0x20 && address != record + 8)
          h.fb().board().bus().PokeBytes(address, reinterpret_cast<const uint8_t*>(&after) + (address - record), 4);
      };
      size_t calls_before = h.fb().platform_flash().calls().size();
      Observation o = h.Attack(record, std::nullopt, rewrite);
      std::string what = "race on function " + std::to_string(first.Function) + " mode " + std::to_string(mode);
      ExpectClean(o, what);
      const bool refused = first.Buffer == smram;
      EXPECT_EQ(o.status == EFI_ACCESS_DENIED, refused) << what;
      for (size_t i = calls_before; i < h.fb().platform_flash().calls().size(); ++i) {
        auto& c = h.fb().platform_flash().calls()[i];
        EXPECT_EQ(c.args[0], first.Address) << what;
        EXPECT_EQ(c.args[1], first.Size) << what;
        if (c.op != sim::PlatformFlashStandIn::Op::kErase) {
          EXPECT_EQ(c.args[2], first.Buffer) << what;
        }
      }
      h.Count("fields rewritten after their first read", o, refused);
    }
}

TEST(HostileRequests, AreRefusedAndNeverTouchSmram) {
  HostileBoard h;
  const uint64_t hash = h.SmramHash();
  unsigned volumes = 0;

  RecordPlacement(h);
  EXPECT_EQ(h.SmramHash(), hash);
  BufferPlacement(h);
  EXPECT_EQ(h.SmramHash(), hash);
  VolumeBases(h);
  EXPECT_EQ(h.SmramHash(), hash);
  MalformedVolumeWalks(h, &volumes);
  EXPECT_EQ(h.SmramHash(), hash);
  DoubleFetch(h);

  const uint64_t final_hash = h.SmramHash();
  const size_t leaks = h.CanaryLeaks();
  h.PrintFigures();
  unsigned attacks = 0;
  for (auto& [name, t] : h.tallies()) {
    attacks += t.attacks;
    EXPECT_EQ(t.smram_reads, 0u) << name;
    EXPECT_EQ(t.smram_writes, 0u) << name;
    EXPECT_LE(t.max_record_byte_reads, 1u) << name;
    EXPECT_EQ(t.reads_outside_volume, 0u) << name;
    EXPECT_EQ(t.false_successes, 0u) << name;
    EXPECT_EQ(t.violations, 0u) << name << ": " << t.first_violation;
  }
  std::printf("malformed volumes: %u; SMRAM hash before %016" PRIx64 " after %016" PRIx64
              " (%s); SMRAM canary found outside SMRAM: %zu\n",
              volumes, hash, final_hash, hash == final_hash ? "unchanged" : "CHANGED", leaks);
  EXPECT_GE(volumes, 60u);
  EXPECT_GT(attacks, 5000u);
  EXPECT_EQ(final_hash, hash);
  EXPECT_EQ(leaks, 0u);
}

}  // namespace

namespace {

// A volume that claims 2^64 bytes and is packed with empty files for 40 MiB: the walk
// gives up at the size of the largest flash instead of stepping on through memory.
TEST(HostileRequests, AnEndlessVolumeOfEmptyFilesEndsAtTheLargestFlashSize) {
  HostileBoard h;
  const uint64_t base = 0x02000000;
  const uint64_t bytes = 40u << 20;
  fstest::VolumeBuilder one;
  one.RawFile(fstest::kOtherGuid, 0x18, {});
  auto header = fstest::VolumeBuilder().Build(~0ULL);
  auto file = one.Build();
  std::vector<uint8_t> file_header(file.begin() + 0x48, file.begin() + 0x60);
  uint8_t* p = h.fb().board().bus().HostPointer(base, bytes);
  ASSERT_NE(p, nullptr);
  std::memcpy(p, header.data(), 0x48);
  for (uint64_t o = 0x48; o + 0x18 <= bytes; o += 0x18) std::memcpy(p + o, file_header.data(), 0x18);

  const uint64_t record = h.fb().board().OsAlloc(kRecordBytes, 8);
  FlashServiceRequest req = fstest::Request(Sig("$TPM"), 3);
  req.VolumeBase = uint32_t(base);
  h.fb().WriteRequest(record, req);
  unsigned size_reads = 0;
  uint64_t last = 0;
  int id = h.fb().board().bus().AddObserver([&](const sim::Bus::Access& a) {
    if (a.kind == "MR" && a.address >= base + 0x48 && (a.address - base - 0x48) % 0x18 == 0x14) {
      ++size_reads;
      last = a.address;
    }
  });
  uint64_t t0 = h.fb().board().bus().clock().Now();
  auto r = h.fb().Raise(record);
  h.fb().board().bus().RemoveObserver(id);
  ASSERT_TRUE(r.handled);
  EXPECT_EQ(h.fb().ReadRequest(record).Status, EFI_UNSUPPORTED);
  EXPECT_LE(size_reads, kLargestVolume / 0x18);
  EXPECT_LT(last, base + kLargestVolume);
  std::printf("endless volume: %u file headers read, last at %s, %.1f ms simulated\n", size_reads, Hex(last).c_str(),
              double(h.fb().board().bus().clock().Now() - t0) / 1e6);
}

}  // namespace
