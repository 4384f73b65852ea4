#include "tests/flash_service/support/FlashTestSupport.h"

#include <stdexcept>

#include "platform/host/HostBusOps.h"

namespace fstest {

const AreaSignature kAreaSignatures[7] = {
    {"$SDB", Sig("$SDB"), kSdbGuid}, {"DECG", Sig("DECG"), kDecgGuid}, {"$STL", Sig("$STL"), kStlGuid},
    {"$TPM", Sig("$TPM"), kTpmGuid}, {"$BDR", Sig("$BDR"), kLayoutFileGuid}, {"$FMR", Sig("$FMR"), kFmrGuid},
    {"$MTR", Sig("$MTR"), kMtrGuid},
};

std::vector<uint8_t> GuidBytes(const EFI_GUID& g) {
  std::vector<uint8_t> b(sizeof g);
  std::memcpy(b.data(), &g, sizeof g);
  return b;
}

namespace {
constexpr uint8_t kFileTypeFreeform = 0x02;
constexpr uint8_t kSectionRaw = 0x19;
constexpr uint8_t kStateValid = 0xF8;  // HEADER_CONSTRUCTION | HEADER_VALID | DATA_VALID, inverted
constexpr EFI_GUID kFfs2FileSystem = {0x8C8CE578, 0x8A3D, 0x4F1C, {0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}};

void Align8(std::vector<uint8_t>& v) {
  while (v.size() % 8) v.push_back(0xFF);
}

void Put24(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
}

std::vector<uint8_t> FileHeader(const EFI_GUID& name, uint32_t size_field) {
  std::vector<uint8_t> h(0x18, 0);
  std::memcpy(h.data(), &name, 16);
  h[0x12] = kFileTypeFreeform;
  Put24(&h[0x14], size_field);
  uint8_t sum = 0;
  for (auto b : h) sum = uint8_t(sum + b);
  h[0x10] = uint8_t(0x100 - sum);  // header checksum (State and file checksum count as 0)
  h[0x11] = 0xAA;                  // no file checksum
  h[0x17] = kStateValid;
  return h;
}
}  // namespace

VolumeBuilder& VolumeBuilder::File(const EFI_GUID& name, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> body(4, 0);
  Put24(body.data(), uint32_t(4 + data.size()));
  body[3] = kSectionRaw;
  body.insert(body.end(), data.begin(), data.end());
  return RawFile(name, uint32_t(0x18 + body.size()), body);
}

VolumeBuilder& VolumeBuilder::RawFile(const EFI_GUID& name, uint32_t size_field, const std::vector<uint8_t>& body) {
  Align8(body_);
  auto h = FileHeader(name, size_field);
  body_.insert(body_.end(), h.begin(), h.end());
  body_.insert(body_.end(), body.begin(), body.end());
  return *this;
}

VolumeBuilder& VolumeBuilder::Bytes(const std::vector<uint8_t>& bytes) {
  Align8(body_);
  body_.insert(body_.end(), bytes.begin(), bytes.end());
  return *this;
}

std::vector<uint8_t> VolumeBuilder::Build(std::optional<uint64_t> fv_length, uint64_t pad_to) const {
  std::vector<uint8_t> v(0x48, 0);
  std::memcpy(&v[0x10], &kFfs2FileSystem, 16);
  std::memcpy(&v[0x28], "_FVH", 4);
  const uint32_t attributes = 0x0004FEFF;  // read/write enabled, erase polarity 1, 8-byte alignment
  std::memcpy(&v[0x2C], &attributes, 4);
  std::memcpy(&v[0x30], &header_length_, 2);
  v[0x37] = 2;  // Revision
  while (v.size() < header_length_) v.push_back(0xFF);
  v.resize(header_length_);
  v.insert(v.end(), body_.begin(), body_.end());
  Align8(v);
  if (v.size() < 0x48) v.resize(0x48, 0xFF);
  if (v.size() < pad_to) v.resize(pad_to, 0xFF);
  uint64_t length = fv_length.value_or(v.size());
  std::memcpy(&v[0x20], &length, 8);
  const uint32_t blocks[4] = {uint32_t((v.size() + 0xFFF) / 0x1000), 0x1000, 0, 0};
  std::memcpy(&v[0x38], blocks, sizeof blocks);
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < 0x48; i += 2) sum = uint16_t(sum + (v[i] | v[i + 1] << 8));
  uint16_t checksum = uint16_t(0x10000 - sum);
  std::memcpy(&v[0x32], &checksum, 2);
  return v;
}

std::vector<uint8_t> LayoutData(const std::vector<LayoutEntry>& entries, uint16_t first_entry) {
  std::vector<uint8_t> d(std::max<size_t>(0x67, first_entry + 32 * entries.size()), 0);
  std::memcpy(&d[0x64], &first_entry, 2);
  d[0x66] = uint8_t(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* e = &d[first_entry + 32 * i];
    std::memcpy(e, &entries[i].signature, 4);
    std::memset(e + 4, 0xEE, 6);  // the requester's bytes
    std::memcpy(e + 10, &entries[i].guid, 16);
    std::memset(e + 26, 0xEE, 6);
  }
  return d;
}

void PutBytes(std::vector<uint8_t>& flash, uint64_t window_address, const std::vector<uint8_t>& bytes) {
  uint64_t base = 0x100000000ULL - flash.size();
  if (window_address < base || window_address - base + bytes.size() > flash.size())
    throw std::out_of_range("bytes do not fit in the flash");
  std::copy(bytes.begin(), bytes.end(), flash.begin() + static_cast<std::ptrdiff_t>(window_address - base));
}

std::vector<uint8_t> FlashWithVolume(uint64_t flash_size, uint64_t base, const std::vector<uint8_t>& volume) {
  std::vector<uint8_t> flash(flash_size, 0xFF);
  PutBytes(flash, base, volume);
  uint32_t b = uint32_t(base);
  PutBytes(flash, 0xFFFFFFFC, {uint8_t(b), uint8_t(b >> 8), uint8_t(b >> 16), uint8_t(b >> 24)});
  return flash;
}

std::vector<uint8_t> StandardVolume() {
  std::vector<LayoutEntry> entries;
  for (auto& a : kAreaSignatures) entries.push_back({a.value, a.guid});
  VolumeBuilder v;
  v.File(kLayoutFileGuid, LayoutData(entries));
  for (size_t i = 0; i < 7; ++i)
    if (!GuidEquals(kAreaSignatures[i].guid, kLayoutFileGuid))
      v.File(kAreaSignatures[i].guid, std::vector<uint8_t>(16, uint8_t(i + 1)));
  v.File(kOtherGuid, std::vector<uint8_t>(0x30, 0x5A));
  return v.Build(std::nullopt, 0x10000);
}

FlashServiceRequest Request(uint32_t signature, uint32_t function) {
  FlashServiceRequest r{};
  r.Signature = signature;
  r.Function = function;
  return r;
}

FlashBoard::FlashBoard(const BoardOptions& o) {
  auto d = sim::Board::DefaultDescription();
  d.insert_or_assign("firmware", toml::table{{"flash_update_prepare", o.prepare},
                                             {"prepare_status", o.prepare_status},
                                             {"frame_support", o.frame_support},
                                             {"platform_flash", o.platform_flash}});
  if (o.describe) o.describe(d);
  auto flash = o.flash.empty() ? FlashWithVolume(o.flash_size, kStandardVolumeBase, StandardVolume()) : o.flash;
  board_ = sim::Board::CreateInMemory(d, std::move(flash));
  board_->Boot();
  FwHostBindPlatform(board_->cpu().ops());
}

uint64_t FlashBoard::NewRequest(const FlashServiceRequest& fields) {
  uint64_t a = board_->OsAlloc(sizeof fields, 8);
  WriteRequest(a, fields);
  return a;
}

FlashServiceRequest FlashBoard::ReadRequest(uint64_t address) {
  FlashServiceRequest r{};
  board_->bus().PeekBytes(address, &r, sizeof r);
  return r;
}

void FlashBoard::WriteRequest(uint64_t address, const FlashServiceRequest& fields) {
  board_->bus().PokeBytes(address, &fields, sizeof fields);
}

sim::SmiResult FlashBoard::Raise(uint64_t address, unsigned cpu) {
  board_->SetCpuRegister(cpu, EFI_SMM_SAVE_STATE_REGISTER_RBX, address & 0xFFFFFFFF);
  board_->SetCpuRegister(cpu, EFI_SMM_SAVE_STATE_REGISTER_RCX, address >> 32);
  return board_->RaiseSoftwareSmi(cpu, 0x90);
}

FlashServiceRequest FlashBoard::Call(const FlashServiceRequest& fields, unsigned cpu) {
  uint64_t a = NewRequest(fields);
  auto r = Raise(a, cpu);
  if (!r.handled) throw std::runtime_error("software SMI 0x90 was not handled");
  return ReadRequest(a);
}

uint64_t FlashBoard::OsBuffer(const std::vector<uint8_t>& bytes, uint64_t align) {
  uint64_t a = board_->OsAlloc(std::max<uint64_t>(bytes.size(), 1), align);
  if (!bytes.empty()) board_->bus().PokeBytes(a, bytes.data(), bytes.size());
  return a;
}

std::vector<uint8_t> FlashBoard::Peek(uint64_t address, size_t n) {
  std::vector<uint8_t> v(n);
  board_->bus().PeekBytes(address, v.data(), n);
  return v;
}

std::vector<uint8_t> FlashBoard::FlashAt(uint64_t window_address, size_t n) {
  const auto& c = board_->flash().contents();
  uint64_t offset = window_address - (0x100000000ULL - c.size());
  return std::vector<uint8_t>(c.begin() + static_cast<std::ptrdiff_t>(offset),
                              c.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

void FlashBoard::InSmm(const std::function<void()>& code) {
  auto r = board_->firmware().RunAs("ProtocolCaller", true, code);
  if (r.outcome != sim::Cpu::Outcome::kReturned) throw std::runtime_error("SMM code did not return: " + r.fault);
}

}  // namespace fstest
