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
  buffer_size_ = kReadChunk;
  buffer_ = board_.OsAlloc(buffer_size_, 4096);
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
  if (!smi.fault.empty()) throw FlashToolError("the SMI 0x90 handler faulted: " + smi.fault);
  if (smi.reset) throw FlashToolError("the board reset during SMI 0x90 (" + smi.reset_kind + ")");
  if (!smi.handled) throw FlashToolError("nothing handles software SMI 0x90 (is SpiFlashSmm loaded?)");
  board_.bus().PeekBytes(request_, &r, sizeof r);
  if (out) static_cast<FlashServiceRequest&>(*out) = r;
  return r.Status;
}

void FlashDeviceTool::Check(uint64_t status, const std::string& what) {
  if (status != EFI_SUCCESS) throw FlashToolError(what + " failed: " + StatusString(status));
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
    uint32_t n = std::min<uint32_t>(size - done, kReadChunk);
    char what[64];
    std::snprintf(what, sizeof what, "reading 0x%X bytes at 0x%08X", n, address + done);
    Check(Raise(kSignatureFlash, kFunctionRead, address + done, n, buffer_), what);
    ++read_requests_;
    board_.bus().PeekBytes(buffer_, out.data() + done, n);
    done += n;
  }
  return out;
}

namespace {
constexpr uint32_t kUnidentifiedFlashSize = 0x00E00000;
}  // namespace

UpdateReport FlashDeviceTool::Update(const std::vector<uint8_t>& image,
                                     const std::function<void(uint32_t, uint32_t)>& progress, uint32_t block_bytes) {
  if (block_bytes == 0 || (block_bytes & (block_bytes - 1)) != 0 || block_bytes > kLargestEraseUnit ||
      block_bytes < 0x1000)
    throw FlashToolError("the erase block must be a power of two from 4 KiB to 256 KiB");
  auto host_start = std::chrono::steady_clock::now();
  uint64_t device_start = board_.bus().clock().Now();
  UpdateReport report;
  PartReport part = ReportPart();
  // With BIOS Guard the service reports the part's size without its name; only the size
  // it answers before any part was identified means it does not know the part.
  if (!part.named && part.flash_size == kUnidentifiedFlashSize)
    throw FlashToolError("the flash service does not know this board's flash part");
  if (image.size() != part.flash_size || part.flash_size % block_bytes != 0)
    throw FlashToolError("the image holds " + std::to_string(image.size()) + " bytes but the flash holds " +
                         std::to_string(part.flash_size));
  const uint32_t size = part.flash_size;
  const uint32_t base = static_cast<uint32_t>(FlashWindowAddress(size));
  report.flash_bytes = size;
  const uint64_t reads_before = read_requests_;
  std::vector<uint8_t> current = Read(base, size);

  auto write_span = [&](uint32_t from, uint32_t to) {
    // What erased flash already holds needs no write at either end.
    while (from < to && image[from] == 0xFF) ++from;
    while (to > from && image[to - 1] == 0xFF) --to;
    for (uint32_t at = from; at < to;) {
      uint32_t n = std::min<uint32_t>(to - at, static_cast<uint32_t>(buffer_size_));
      board_.bus().PokeBytes(buffer_, image.data() + at, n);
      char what[64];
      std::snprintf(what, sizeof what, "writing 0x%X bytes at 0x%08X", n, base + at);
      Check(Raise(kSignatureFlash, kFunctionWrite, base + at, n, buffer_), what);
      ++report.write_requests;
      at += n;
    }
  };

  uint32_t block = block_bytes;
  bool erased_any = false;
  for (bool restart = true; restart;) {
    restart = false;
    report.blocks = size / block;
    report.block_bytes = block;
    report.skipped = report.programmed = report.erased = 0;
    for (uint32_t b = 0; b < report.blocks; ++b) {
      const uint32_t start = b * block, end = start + block;
      if (std::equal(image.begin() + start, image.begin() + end, current.begin() + start)) {
        ++report.skipped;
      } else {
        bool only_clears = true;
        uint32_t first = end, last = start;
        for (uint32_t i = start; i < end; ++i) {
          if (image[i] == current[i]) continue;
          first = std::min(first, i);
          last = i + 1;
          if ((current[i] & image[i]) != image[i]) only_clears = false;
        }
        if (only_clears) {
          write_span(first, last);
          ++report.programmed;
        } else {
          uint64_t status = Raise(kSignatureFlash, kFunctionErase, base + start, block, 0);
          ++report.erase_requests;
          // Parts with larger erase units refuse a smaller erase before touching anything:
          // plan again with the largest unit, from the beginning.
          if (status == EFI_INVALID_PARAMETER && !erased_any && block < kLargestEraseUnit) {
            block = kLargestEraseUnit;
            restart = true;
            break;
          }
          char what[64];
          std::snprintf(what, sizeof what, "erasing 0x%X bytes at 0x%08X", block, base + start);
          Check(status, what);
          erased_any = true;
          std::fill(current.begin() + start, current.begin() + end, 0xFF);
          write_span(start, end);
          ++report.erased;
        }
      }
      if (progress) progress(b + 1, report.blocks);
    }
  }

  std::vector<uint8_t> back = Read(base, size);
  report.read_requests = read_requests_ - reads_before;
  auto mismatch = std::mismatch(back.begin(), back.end(), image.begin());
  if (mismatch.first != back.end()) {
    char what[128];
    std::snprintf(what, sizeof what, "verification failed: flash offset 0x%08zX reads 0x%02X, the image has 0x%02X",
                  size_t(mismatch.first - back.begin()), *mismatch.first, *mismatch.second);
    throw FlashToolError(what);
  }
  report.device_ns = board_.bus().clock().Now() - device_start;
  report.host_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - host_start).count();
  return report;
}

}  // namespace fwsim
