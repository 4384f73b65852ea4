#include "tests/security/MalformedVolumes.h"

#include <cstring>
#include <random>

#include "tests/flash_service/support/FlashTestSupport.h"

namespace hostile {

namespace {
using fstest::VolumeBuilder;

constexpr size_t kFirstFile = 0x48;

void Set64(std::vector<uint8_t>& v, size_t at, uint64_t x) { std::memcpy(&v[at], &x, 8); }
void Set16(std::vector<uint8_t>& v, size_t at, uint16_t x) { std::memcpy(&v[at], &x, 2); }
void SetSize(std::vector<uint8_t>& v, size_t file, uint32_t size) {
  v[file + 0x14] = uint8_t(size);
  v[file + 0x15] = uint8_t(size >> 8);
  v[file + 0x16] = uint8_t(size >> 16);
}

// A sound volume: a filler file, the layout file, the "$TPM" area file.
std::vector<uint8_t> Sound() {
  return VolumeBuilder()
      .File(fstest::kOtherGuid, std::vector<uint8_t>(8, 0x11))
      .File(fstest::kLayoutFileGuid, fstest::LayoutData({{fstest::Sig("$TPM"), fstest::kTpmGuid}}))
      .File(fstest::kTpmGuid, std::vector<uint8_t>(16, 0x22))
      .Build(std::nullopt, 0x400);
}

std::vector<uint8_t> WithLayoutTable(uint16_t first_entry, uint8_t count, size_t data_size) {
  std::vector<uint8_t> data(data_size, 0);
  std::memcpy(&data[0x64], &first_entry, 2);
  data[0x66] = count;
  return VolumeBuilder().File(fstest::kLayoutFileGuid, data).Build(std::nullopt, 0x400);
}
}  // namespace

uint64_t StatedFvLength(const std::vector<uint8_t>& volume) {
  uint64_t x = 0;
  std::memcpy(&x, &volume[0x20], 8);
  return x;
}

std::vector<MalformedVolume> MalformedVolumes() {
  std::vector<MalformedVolume> out;
  const auto sound = Sound();

  for (uint64_t length : {0ULL, 1ULL, 0x18ULL, 0x47ULL, 0x48ULL, 0x49ULL, 0x5FULL, 0x3FFULL, 0xFFFFFFFFULL,
                          0x100000000ULL, 0x7FFFFFFFFFFFFFFFULL, 0x8000000000000000ULL, 0xFFFFFFFFFFFFFFB8ULL,
                          0xFFFFFFFFFFFFFFFFULL, 0x02000001ULL}) {
    auto v = sound;
    Set64(v, 0x20, length);
    out.push_back({"FvLength " + std::to_string(length), v});
  }
  for (uint16_t header : {0, 1, 2, 7, 0x18, 0x47, 0x49, 0x4B, 0x3FF, 0x400, 0x401, 0x8000, 0xFFFF}) {
    auto v = sound;
    Set16(v, 0x30, header);
    out.push_back({"HeaderLength " + std::to_string(header), v});
  }
  {
    auto v = sound;
    std::memcpy(&v[0x28], "_FVX", 4);
    out.push_back({"bad signature", v});
    v = sound;
    v[0x37] = 1;
    out.push_back({"revision 1", v});
    v = sound;
    v[0x32] ^= 0x5A;
    out.push_back({"bad header checksum", v});
    v = sound;
    Set16(v, 0x34, 0xFFFF);
    out.push_back({"ExtHeaderOffset past the end", v});
    out.push_back({"all zero", std::vector<uint8_t>(0x400, 0x00)});
    out.push_back({"all ones", std::vector<uint8_t>(0x400, 0xFF)});
  }
  for (uint32_t size : {0u, 1u, 7u, 8u, 0x17u, 0x18u, 0x19u, 0x1Bu, 0x1Cu, 0xFFFFFEu, 0x800000u, 0x3B8u, 0x3C0u}) {
    auto v = sound;
    SetSize(v, kFirstFile, size);
    out.push_back({"first file size " + std::to_string(size), v});
  }
  // Files named with the wanted GUID that must never be reported.
  for (uint32_t size : {0x18u, 0x1Au, 0x1Bu}) {
    auto v = VolumeBuilder().RawFile(fstest::kTpmGuid, size, std::vector<uint8_t>(size - 0x18, 0)).Build(std::nullopt, 0x400);
    out.push_back({"wanted file of size " + std::to_string(size), v});
  }
  {
    // The wanted file's header straddles the end that FvLength states.
    auto v = sound;
    size_t tpm = 0;
    for (size_t i = kFirstFile; i + 16 <= v.size(); i += 8)
      if (std::memcmp(&v[i], &fstest::kTpmGuid, 16) == 0) tpm = i;
    Set64(v, 0x20, tpm + 0x10);
    out.push_back({"wanted header straddles FvLength", v});
    v = sound;
    Set64(v, 0x20, tpm + 0x20);
    out.push_back({"wanted file runs past FvLength", v});
  }
  {
    VolumeBuilder tiny;
    for (int i = 0; i < 40; ++i) tiny.RawFile(fstest::kOtherGuid, 0x18, {});
    out.push_back({"forty empty files", tiny.Build(0xFFFFFFFFFFFFFFFFULL, 0x400)});
    VolumeBuilder named;
    for (int i = 0; i < 40; ++i) named.RawFile(fstest::kTpmGuid, 0x18, {});
    out.push_back({"forty empty files with the wanted name", named.Build(std::nullopt, 0x400)});
  }
  {
    // A large-file (FFS2) header: size field 0 and a huge ExtendedSize behind the header.
    auto v = VolumeBuilder().RawFile(fstest::kTpmGuid, 0, std::vector<uint8_t>(8, 0xFF)).Build(std::nullopt, 0x400);
    v[kFirstFile + 0x13] = 0x01;
    out.push_back({"large file with ExtendedSize 2^64-1", v});
  }
  for (uint8_t state : {0x00, 0xFF, 0xE8}) {
    auto v = sound;
    v[kFirstFile + 0x17] = state;
    out.push_back({"file state " + std::to_string(state), v});
  }
  out.push_back({"layout table at 0xFFFF with 255 entries", WithLayoutTable(0xFFFF, 255, 0x80)});
  out.push_back({"layout table at 0 with 255 entries", WithLayoutTable(0, 255, 0x80)});
  out.push_back({"layout table over its own header", WithLayoutTable(0x60, 255, 0x80)});
  out.push_back({"layout table of 255 entries in a small file", WithLayoutTable(0x68, 255, 0x88)});
  out.push_back({"layout file too small for its table header", VolumeBuilder().File(fstest::kLayoutFileGuid, {1, 2, 3}).Build(std::nullopt, 0x400)});
  {
    std::mt19937 rng(0x5EC0DE);
    for (int i = 0; i < 6; ++i) {
      std::vector<uint8_t> v(0x400);
      for (auto& b : v) b = uint8_t(rng());
      if (i % 2) {  // garbage behind a plausible header
        auto head = sound;
        std::copy(head.begin(), head.begin() + kFirstFile, v.begin());
      }
      out.push_back({"random bytes " + std::to_string(i), v});
    }
  }
  return out;
}

}  // namespace hostile
