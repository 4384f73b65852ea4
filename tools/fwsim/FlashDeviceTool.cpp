#include "tools/fwsim/FlashDeviceTool.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "flash/service/FlashServiceRequest.h"

namespace fwsim {
namespace {

constexpr uint32_t kSignatureFlash = 0x31424724;     // "$GB1"
constexpr uint32_t kSignaturePartName = 0x52444224;  // "$BDR"
constexpr uint32_t kFunctionPartName = 0;
constexpr uint32_t kFunctionRead = 4;
constexpr uint32_t kFunctionErase = 5;
constexpr uint32_t kFunctionWrite = 6;
constexpr uint32_t kPartNameSignature = 0x53504624;  // "$FPS"
constexpr uint64_t kPartNameResult = 0x5AA5AA55;
constexpr uint64_t kStatusNotWritten = ~0ULL;
constexpr uint32_t kLargestEraseUnit = 0x40000;
constexpr uint32_t kUnidentifiedFlashSize = 0x00E00000;
// flashrom's units on a part with 4 KiB sectors and 256-byte pages.
constexpr uint32_t kFlashromSector = 0x1000;
constexpr uint32_t kFlashromPage = 0x100;

// An erase of the plan was refused before it changed anything: the part erases larger units.
struct LargerEraseUnit {};

bool AllErased(const std::vector<uint8_t>& data, uint32_t from, uint32_t to) {
  return std::all_of(data.begin() + from, data.begin() + to, [](uint8_t b) { return b == 0xFF; });
}

}  // namespace

std::string StatusString(uint64_t status) {
  const char* name = nullptr;
  switch (status) {
    case EFI_SUCCESS: name = "EFI_SUCCESS"; break;
    case EFI_INVALID_PARAMETER: name = "EFI_INVALID_PARAMETER"; break;
    case EFI_UNSUPPORTED: name = "EFI_UNSUPPORTED"; break;
    case EFI_NOT_READY: name = "EFI_NOT_READY"; break;
    case EFI_DEVICE_ERROR: name = "EFI_DEVICE_ERROR"; break;
    case EFI_WRITE_PROTECTED: name = "EFI_WRITE_PROTECTED"; break;
    case EFI_ACCESS_DENIED: name = "EFI_ACCESS_DENIED"; break;
    case EFI_NOT_FOUND: name = "EFI_NOT_FOUND"; break;
    case kPartNameResult: name = "part name reported"; break;
    case kStatusNotWritten: name = "no status written"; break;
    default: break;
  }
  char hex[24];
  std::snprintf(hex, sizeof hex, "0x%016llX", static_cast<unsigned long long>(status));
  return name ? std::string(name) + " (" + hex + ")" : std::string(hex);
}

struct FlashDeviceTool::Request : FlashServiceRequest {};

FlashDeviceTool::FlashDeviceTool(sim::Board& board, unsigned cpu) : board_(board), cpu_(cpu) {
  if (cpu >= board.firmware().cpu_count()) throw FlashToolError("the board has no processor " + std::to_string(cpu));
  request_ = board_.OsAlloc(sizeof(FlashServiceRequest), 16);
  buffer_ = board_.OsAlloc(kReadRequest, 4096);
}

uint64_t FlashDeviceTool::Raise(uint32_t signature, uint32_t function, uint32_t address, uint32_t size, uint64_t buffer,
                                Request* out) {
  FlashServiceRequest r{};
  r.Signature = signature;
  r.Function = function;
  r.Status = kStatusNotWritten;
  r.Address = address;
  r.Size = size;
  r.Buffer = static_cast<uint32_t>(buffer);
  board_.bus().PokeBytes(request_, &r, sizeof r);
  board_.SetCpuRegister(cpu_, EFI_SMM_SAVE_STATE_REGISTER_RBX, request_ & 0xFFFFFFFF);
  board_.SetCpuRegister(cpu_, EFI_SMM_SAVE_STATE_REGISTER_RCX, request_ >> 32);
  sim::SmiResult smi = board_.RaiseSoftwareSmi(cpu_, kFlashServiceSmi);
  if (smi.power_lost) {
    char what[96];
    std::snprintf(what, sizeof what, "the board lost power during SMI 0x90 (function %u at 0x%08X)", function, address);
    throw PowerLostError(what);
  }
  if (!smi.fault.empty()) throw FlashToolError("the SMI 0x90 handler faulted: " + smi.fault);
  if (smi.reset) throw FlashToolError("the board reset during SMI 0x90 (" + smi.reset_kind + ")");
  if (!smi.handled) throw FlashToolError("nothing handles software SMI 0x90 (is SpiFlashSmm loaded?)");
  longest_request_ns_ = std::max(longest_request_ns_, smi.device_ns);
  board_.bus().PeekBytes(request_, &r, sizeof r);
  if (out) static_cast<FlashServiceRequest&>(*out) = r;
  return r.Status;
}

void FlashDeviceTool::Check(uint64_t status, const char* verb, uint32_t address, uint32_t size) {
  if (status == EFI_SUCCESS) return;
  char what[96];
  std::snprintf(what, sizeof what, "%s 0x%X bytes at 0x%08X failed: ", verb, size, address);
  throw FlashToolError(what + StatusString(status));
}

PartReport FlashDeviceTool::ReportPart() {
  Request r{};
  PartReport p;
  p.status = Raise(kSignaturePartName, kFunctionPartName, 0, 0, 0, &r);
  if (p.status != kPartNameResult) throw FlashToolError("the part-name report answered " + StatusString(p.status));
  p.flash_size = r.Buffer;
  p.named = r.PartNameSignature == kPartNameSignature;
  if (p.named) p.part_name.assign(r.PartNameText, strnlen(r.PartNameText, sizeof r.PartNameText));
  return p;
}

std::vector<uint8_t> FlashDeviceTool::Read(uint32_t address, uint32_t size) {
  std::vector<uint8_t> out(size);
  for (uint32_t done = 0; done < size;) {
    uint32_t n = std::min<uint32_t>(size - done, kReadRequest);
    Check(Raise(kSignatureFlash, kFunctionRead, address + done, n, buffer_), "reading", address + done, n);
    ++read_requests_;
    board_.bus().PeekBytes(buffer_, out.data() + done, n);
    done += n;
  }
  return out;
}

void FlashDeviceTool::Erase(uint32_t address, uint32_t size) {
  ++erase_requests_;
  Check(Raise(kSignatureFlash, kFunctionErase, address, size, 0), "erasing", address, size);
}

void FlashDeviceTool::Write(const std::vector<uint8_t>& image, uint32_t base, uint32_t from, uint32_t to,
                            uint32_t request) {
  for (uint32_t at = from; at < to;) {
    uint32_t n = std::min(to - at, request);
    board_.bus().PokeBytes(buffer_, image.data() + at, n);
    ++write_requests_;
    Check(Raise(kSignatureFlash, kFunctionWrite, base + at, n, buffer_), "writing", base + at, n);
    at += n;
  }
}

void FlashDeviceTool::VerifyRange(const std::vector<uint8_t>& image, uint32_t base, uint32_t from, uint32_t to) {
  std::vector<uint8_t> back = Read(base + from, to - from);
  auto m = std::mismatch(back.begin(), back.end(), image.begin() + from);
  if (m.first == back.end()) return;
  char what[128];
  std::snprintf(what, sizeof what, "verification failed: flash offset 0x%08zX reads 0x%02X, the image has 0x%02X",
                size_t(from + (m.first - back.begin())), *m.first, *m.second);
  throw FlashToolError(what);
}

void FlashDeviceTool::NoteBootChange(bool critical, uint64_t start_ns) {
  if (!critical) return;
  if (!boot_touched_) boot_first_ns_ = start_ns;
  boot_touched_ = true;
  boot_last_ns_ = board_.bus().clock().Now();
}

void FlashDeviceTool::RunPlan(const std::vector<uint8_t>& image, const std::vector<uint8_t>& current, uint32_t base,
                              const UpdateOptions& options, uint32_t block, UpdateReport& report) {
  // After a part refused a 4 KiB erase the plan keeps to the part's larger unit.
  const UpdatePlan plan = PlanUpdate(current, image, options.regions, block, block < kLargestEraseUnit);
  report.block_bytes = block;
  report.boot_critical = plan.boot_critical;
  report.notes = plan.notes;
  const uint32_t changed = uint32_t(plan.changed());
  uint32_t done = 0;
  std::vector<const PlannedUnit*> unverified;
  auto verify_written = [&] {
    if (options.verify == VerifyMode::kChanged)
      for (const PlannedUnit* u : unverified) VerifyRange(image, base, u->offset, u->offset + u->size);
    unverified.clear();
  };
  for (const PlannedUnit& u : plan.units) {
    if (u.action == PlannedUnit::Action::kSkip) continue;
    // Everything else is written and verified before the first block the board boots from.
    if (u.boot_critical && !unverified.empty() && !unverified.front()->boot_critical) verify_written();
    const uint64_t start_ns = board_.bus().clock().Now();
    if (u.action == PlannedUnit::Action::kErase) {
      ++erase_requests_;
      const uint64_t status = Raise(kSignatureFlash, kFunctionErase, base + u.offset, u.size, 0);
      // A part with larger erase units refuses a smaller erase before touching anything.
      // The units done so far hold the new data already; planning again redoes them.
      if (status == EFI_INVALID_PARAMETER && block < kLargestEraseUnit) throw LargerEraseUnit{};
      Check(status, "erasing", base + u.offset, u.size);
    }
    Write(image, base, u.write_from, u.write_to, kWriteRequest);
    NoteBootChange(u.boot_critical, start_ns);
    unverified.push_back(&u);
    if (options.progress) options.progress(++done, changed);
  }
  verify_written();
  for (const PlannedUnit& u : plan.units)
    report.units.push_back({u.offset, u.size, u.action == PlannedUnit::Action::kErase,
                            u.action != PlannedUnit::Action::kSkip && u.write_from < u.write_to, u.boot_critical});
}

// flashrom 1.3's walk on a part with 4 KiB sectors and 256-byte pages: a sector is erased
// when a page that differs is not all 0xFF on the chip; then every page of the new sector
// that is not all 0xFF is programmed (only the differing ones when nothing was erased).
void FlashDeviceTool::RunFlashrom(const std::vector<uint8_t>& image, const std::vector<uint8_t>& current, uint32_t base,
                                  const UpdateOptions& options, UpdateReport& report) {
  report.block_bytes = kFlashromSector;
  report.boot_critical = BootCriticalRanges(current, image);
  const uint32_t size = uint32_t(image.size());
  uint32_t changed = 0;
  for (uint32_t s = 0; s < size; s += kFlashromSector)
    changed += !std::equal(image.begin() + s, image.begin() + s + kFlashromSector, current.begin() + s);
  uint32_t done = 0;
  for (uint32_t s = 0; s < size; s += kFlashromSector) {
    UpdateReport::Block unit{s, kFlashromSector};
    unit.boot_critical = std::any_of(report.boot_critical.begin(), report.boot_critical.end(),
                                     [&](const FlashRange& r) { return r.Overlaps(s, kFlashromSector); });
    if (std::equal(image.begin() + s, image.begin() + s + kFlashromSector, current.begin() + s)) {
      report.units.push_back(unit);
      continue;
    }
    const uint64_t start_ns = board_.bus().clock().Now();
    for (uint32_t p = s; p < s + kFlashromSector && !unit.erased; p += kFlashromPage)
      unit.erased = !std::equal(image.begin() + p, image.begin() + p + kFlashromPage, current.begin() + p) &&
                    !AllErased(current, p, p + kFlashromPage);
    if (unit.erased) Erase(base + s, kFlashromSector);
    for (uint32_t p = s; p < s + kFlashromSector; p += kFlashromPage) {
      const bool differs = !std::equal(image.begin() + p, image.begin() + p + kFlashromPage, current.begin() + p);
      if (AllErased(image, p, p + kFlashromPage) || (!unit.erased && !differs)) continue;
      Write(image, base, p, p + kFlashromPage, kFlashromPage);
      unit.programmed = true;
    }
    NoteBootChange(unit.boot_critical, start_ns);
    report.units.push_back(unit);
    if (options.progress) options.progress(++done, changed);
  }
}

UpdateReport FlashDeviceTool::Update(const std::vector<uint8_t>& image,
                                     const std::function<void(uint32_t, uint32_t)>& progress, uint32_t block_bytes) {
  UpdateOptions options;
  options.progress = progress;
  options.block_bytes = block_bytes;
  return Update(image, options);
}

UpdateReport FlashDeviceTool::Update(const std::vector<uint8_t>& image, const UpdateOptions& options) {
  const uint32_t block_bytes = options.block_bytes;
  if (block_bytes == 0 || (block_bytes & (block_bytes - 1)) != 0 || block_bytes > kLargestEraseUnit ||
      block_bytes < 0x1000)
    throw FlashToolError("the erase block must be a power of two from 4 KiB to 256 KiB");
  auto host_start = std::chrono::steady_clock::now();
  const uint64_t device_start = board_.bus().clock().Now();
  read_requests_ = write_requests_ = erase_requests_ = longest_request_ns_ = 0;
  boot_touched_ = false;
  UpdateReport report;
  report.verify = options.verify;
  report.strategy = options.strategy;
  PartReport part = ReportPart();
  // With BIOS Guard the service reports the part's size without its name; only the size
  // it answers before any part was identified means it does not know the part.
  if (!part.named && part.flash_size == kUnidentifiedFlashSize)
    throw FlashToolError("the flash service does not know this board's flash part");
  if (image.size() != part.flash_size || part.flash_size % block_bytes != 0)
    throw FlashToolError("the image holds " + std::to_string(image.size()) + " bytes but the flash holds " +
                         std::to_string(part.flash_size));
  if (!options.force) {
    std::vector<std::string> problems = CheckImage(image);
    if (!problems.empty()) {
      std::string text;
      for (const std::string& p : problems) text += (text.empty() ? "" : "; ") + p;
      throw FlashToolError("the image looks broken (" + text + "); nothing was written (--force writes it anyway)");
    }
  }
  const uint32_t size = part.flash_size;
  const uint32_t base = static_cast<uint32_t>(FlashWindowAddress(size));
  report.flash_bytes = size;
  const std::vector<uint8_t> current = Read(base, size);  // the one read-compare pass

  if (options.strategy == UpdateStrategy::kFlashrom) {
    RunFlashrom(image, current, base, options, report);
  } else {
    for (uint32_t block = block_bytes;;) {
      try {
        report.units.clear();
        RunPlan(image, current, base, options, block, report);
        break;
      } catch (const LargerEraseUnit&) {
        block = kLargestEraseUnit;  // plan again from the beginning; nothing changed yet
      }
    }
  }
  if (options.verify == VerifyMode::kFull || options.strategy == UpdateStrategy::kFlashrom) {
    // With --region the bytes outside it are left as they were, so compare to what was read.
    std::vector<uint8_t> want = image;
    for (const UpdateReport::Block& u : report.units)
      if (!u.erased && !u.programmed) std::copy(current.begin() + u.offset, current.begin() + u.offset + u.size, want.begin() + u.offset);
    VerifyRange(want, base, 0, size);
  }
  report.blocks = uint32_t(report.units.size());
  for (const UpdateReport::Block& u : report.units) {
    if (u.erased)
      ++report.erased;
    else if (u.programmed)
      ++report.programmed;
    else
      ++report.skipped;
  }
  report.read_requests = read_requests_;
  report.write_requests = write_requests_;
  report.erase_requests = erase_requests_;
  report.longest_request_ns = longest_request_ns_;
  report.brick_window_ns = boot_touched_ ? boot_last_ns_ - boot_first_ns_ : 0;
  report.device_ns = board_.bus().clock().Now() - device_start;
  report.host_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - host_start).count();
  return report;
}

}  // namespace fwsim
