// fwsim flash read|erase|write|locate and fwsim smi 0x90: the operating system's flash tool.
// Each request is a FlashServiceRequest placed in simulated OS memory; its address goes
// into EBX (low half) and ECX (high half) of the chosen processor, which then writes 0x90
// to the software-SMI port. The board folder is saved when every request succeeded, and
// after a failure that changed the flash (as the part then holds it).
#include <unistd.h>

#include <cinttypes>
#include <iostream>
#include <sstream>

#include "flash/service/FlashServiceRequest.h"
#include "sim/board/AtomicFile.h"
#include "sim/board/MemoryMap.h"
#include "tools/fwsim/CommandLine.h"
#include "tools/fwsim/FlashFailure.h"
#include "tools/fwsim/FwsimContext.h"

namespace {

constexpr uint8_t kFlashServiceSmi = 0x90;
constexpr uint32_t kChunkBytes = 0x10000;      // one request moves at most this much
constexpr uint32_t kSectorBytes = 0x1000;      // erase granularity of the parts
constexpr uint64_t kStatusNotWritten = ~0ULL;  // no EFI_STATUS has this value
constexpr uint64_t kFourGiB = 0x100000000ULL;

uint32_t Signature(const std::string& text) {
  if (text.size() == 4) {
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
  }
  const FwsimError bad("signature '" + text + "' is neither four characters nor a 32-bit number");
  uint64_t v = 0;
  try {
    v = ParseNumber(text);
  } catch (const FwsimError&) {
    throw bad;
  }
  if (v > 0xFFFFFFFF) throw bad;
  return uint32_t(v);
}

std::string SignatureText(uint32_t s) {
  std::string t;
  for (int i = 0; i < 4; ++i) {
    char c = char(s >> (8 * i));
    if (c < 0x20 || c > 0x7E) return HexString(s, 8);
    t += c;
  }
  return "\"" + t + "\"";
}

uint32_t Number32(const std::string& text, const char* what) {
  uint64_t v = ParseNumber(text);
  if (v > 0xFFFFFFFF) throw FwsimError(std::string(what) + " " + text + " does not fit in 32 bits");
  return uint32_t(v);
}

std::string StatusName(EFI_STATUS s) {
  switch (s) {
    case EFI_SUCCESS: return "EFI_SUCCESS";
    case EFI_LOAD_ERROR: return "EFI_LOAD_ERROR";
    case EFI_INVALID_PARAMETER: return "EFI_INVALID_PARAMETER";
    case EFI_UNSUPPORTED: return "EFI_UNSUPPORTED";
    case EFI_BAD_BUFFER_SIZE: return "EFI_BAD_BUFFER_SIZE";
    case EFI_BUFFER_TOO_SMALL: return "EFI_BUFFER_TOO_SMALL";
    case EFI_NOT_READY: return "EFI_NOT_READY";
    case EFI_DEVICE_ERROR: return "EFI_DEVICE_ERROR";
    case EFI_WRITE_PROTECTED: return "EFI_WRITE_PROTECTED";
    case EFI_OUT_OF_RESOURCES: return "EFI_OUT_OF_RESOURCES";
    case EFI_NOT_FOUND: return "EFI_NOT_FOUND";
    case EFI_ACCESS_DENIED: return "EFI_ACCESS_DENIED";
    case EFI_TIMEOUT: return "EFI_TIMEOUT";
    case 0x5AA5AA55: return "part name reported";
    case kStatusNotWritten: return "not written (the request was not accepted)";
  }
  return "status";
}

std::string StatusText(EFI_STATUS s) { return StatusName(s) + " (" + HexString(s, 16) + ")"; }

// The OS flash tool on one processor of a booted board.
class FlashTool {
 public:
  FlashTool(sim::Board& board, unsigned cpu) : board_(board), cpu_(cpu) {
    if (cpu >= board.firmware().cpu_count())
      throw FwsimError("the board has no processor " + std::to_string(cpu) + " (it has " +
                       std::to_string(board.firmware().cpu_count()) + ")");
    if (!board.firmware().HasSwHandler(kFlashServiceSmi))
      throw FwsimError("software SMI 0x90 has no handler on this board: SpiFlashSmm did not start (see `fwsim boot`)");
    record_ = board.OsAlloc(sizeof(FlashServiceRequest), 8);
  }

  // Places the request (Status preset to a value no handler writes) and raises the SMI.
  FlashServiceRequest Send(FlashServiceRequest request, uint64_t at = 0) {
    const uint64_t address = at != 0 ? at : record_;
    request.Status = kStatusNotWritten;
    if (Writable(address)) board_.bus().PokeBytes(address, &request, sizeof request);
    board_.SetCpuRegister(cpu_, EFI_SMM_SAVE_STATE_REGISTER_RBX, address & 0xFFFFFFFF);
    board_.SetCpuRegister(cpu_, EFI_SMM_SAVE_STATE_REGISTER_RCX, address >> 32);
    sim::SmiResult r = board_.RaiseSoftwareSmi(cpu_, kFlashServiceSmi);
    if (r.power_lost) throw FwsimError("the board lost power during SMI 0x90");
    if (!r.fault.empty()) throw FwsimError("the processor faulted in SMI 0x90: " + r.fault);
    if (r.reset) throw FwsimError("the board reset during SMI 0x90 (" + r.reset_kind + ")");
    if (!r.handled) throw FwsimError("SMI 0x90 was not handled");
    device_ns_ += r.device_ns;
    FlashServiceRequest after{};
    if (Writable(address)) board_.bus().PeekBytes(address, &after, sizeof after);
    else after.Status = kStatusNotWritten;
    return after;
  }

  // OS memory the tool can fill (the record must not land in SMRAM or outside RAM).
  bool Writable(uint64_t address) const {
    return board_.bus().HostPointer(address, sizeof(FlashServiceRequest)) != nullptr &&
           !board_.bus().InSmram(address) && !board_.bus().InSmram(address + sizeof(FlashServiceRequest) - 1);
  }

  uint64_t device_ns() const { return device_ns_; }
  uint64_t record() const { return record_; }

 private:
  sim::Board& board_;
  unsigned cpu_;
  uint64_t record_ = 0;
  uint64_t device_ns_ = 0;
};

// Progress of a long transfer, on stderr, in place on a terminal.
class Progress {
 public:
  Progress(const FwsimContext& ctx, std::string verb, uint64_t total)
      : verb_(std::move(verb)), total_(total), enabled_(!ctx.json && total > kChunkBytes), tty_(isatty(2)) {}
  void Update(uint64_t done) {
    if (!enabled_) return;
    unsigned percent = unsigned(done * 100 / total_);
    if (!tty_ && percent / 25 == last_ / 25 && done != total_) return;
    last_ = percent;
    std::fprintf(stderr, "%s%s %.1f / %.1f MiB (%u%%)%s", tty_ ? "\r" : "", verb_.c_str(), double(done) / (1 << 20),
                 double(total_) / (1 << 20), percent, tty_ ? "" : "\n");
    if (tty_ && done == total_) std::fputc('\n', stderr);
  }

 private:
  std::string verb_;
  uint64_t total_;
  bool enabled_;
  bool tty_;
  unsigned last_ = 0;
};

void CheckFlashRange(uint64_t address, uint64_t size) {
  if (size == 0) throw FwsimError("the size must not be 0");
  if (address < sim::kFlashWindowBase || address >= kFourGiB || size > kFourGiB - address)
    throw FwsimError("flash range " + HexString(address) + "+" + HexString(size) +
                     " is not inside the flash window 0xFE000000-0xFFFFFFFF");
}

FlashServiceRequest FlashRequest(uint32_t function, uint64_t address, uint32_t size, uint64_t buffer) {
  FlashServiceRequest r{};
  r.Signature = Signature("$GB1");
  r.Function = function;
  r.Address = uint32_t(address);
  r.Size = size;
  r.Buffer = uint32_t(buffer);
  return r;
}

void Fail(const char* verb, uint64_t address, EFI_STATUS s) {
  throw FwsimError(std::string(verb) + " at " + HexString(address, 8) + " failed: " + StatusText(s));
}

// What the flash should hold after writing `data` at window address `address`.
void FillTarget(std::vector<uint8_t>& flash, uint64_t address, const std::vector<uint8_t>& data) {
  const uint64_t offset = address - (kFourGiB - flash.size());
  if (address < kFourGiB - flash.size()) return;  // below the part: the driver refuses it
  for (size_t i = 0; i < data.size() && offset + i < flash.size(); ++i) flash[offset + i] = data[i];
}

std::string HexDump(uint64_t base, const std::vector<uint8_t>& data) {
  std::ostringstream o;
  for (size_t i = 0; i < data.size(); i += 16) {
    char b[32];
    std::snprintf(b, sizeof b, "%08" PRIX64 ":", base + i);
    o << b;
    for (size_t j = i; j < i + 16 && j < data.size(); ++j) {
      std::snprintf(b, sizeof b, " %02X", data[j]);
      o << b;
    }
    o << "\n";
  }
  return o.str();
}

struct FlashOptions {
  std::string address;
  std::string size;
  std::string file;
  std::string out;
  unsigned cpu = 0;
  bool erase = false;
  std::string what = "area";
  std::string volume = "0";
  std::string signature;
};

void RunRead(FwsimContext& ctx, const FlashOptions& o) {
  const uint64_t address = ParseNumber(o.address);
  const uint64_t size = ParseNumber(o.size);
  CheckFlashRange(address, size);
  auto board = ctx.OpenBoard();
  FlashTool tool(*board, o.cpu);
  const uint64_t buffer = board->OsAlloc(kChunkBytes, 0x1000);
  std::vector<uint8_t> data;
  data.reserve(size);
  Progress progress(ctx, "read", size);
  for (uint64_t done = 0; done < size;) {
    uint32_t n = uint32_t(std::min<uint64_t>(kChunkBytes, size - done));
    auto r = tool.Send(FlashRequest(4, address + done, n, buffer));
    if (r.Status != EFI_SUCCESS) Fail("read", address + done, r.Status);
    std::vector<uint8_t> chunk(n);
    board->bus().PeekBytes(buffer, chunk.data(), n);
    data.insert(data.end(), chunk.begin(), chunk.end());
    done += n;
    progress.Update(done);
  }
  if (!o.out.empty()) sim::WriteFileAtomically(o.out, data);
  board->Save();
  nlohmann::json j{{"command", "flash read"}, {"address", HexString(address, 8)}, {"size", size},
                   {"status", StatusName(EFI_SUCCESS)}, {"device_time_ns", tool.device_ns()}};
  std::string text;
  if (o.out.empty()) {
    j["data"] = data;
    text = HexDump(address, data);
  } else {
    j["file"] = o.out;
    text = "Read " + std::to_string(size) + " bytes at " + HexString(address, 8) + " into " + o.out + "\n";
  }
  ctx.Emit(j, text);
}

void RunErase(FwsimContext& ctx, const FlashOptions& o) {
  const uint64_t address = ParseNumber(o.address);
  const uint64_t size = ParseNumber(o.size);
  CheckFlashRange(address, size);
  if (address % kSectorBytes || size % kSectorBytes)
    throw FwsimError("erase works on whole 4 KiB sectors: address and size must be multiples of 0x1000");
  auto board = ctx.OpenBoard();
  FlashTool tool(*board, o.cpu);
  const std::vector<uint8_t> before = board->flash().contents();
  Progress progress(ctx, "erase", size);
  try {
    for (uint64_t done = 0; done < size;) {
      uint32_t n = uint32_t(std::min<uint64_t>(kChunkBytes, size - done));
      auto r = tool.Send(FlashRequest(5, address + done, n, 0));
      if (r.Status != EFI_SUCCESS) Fail("erase", address + done, r.Status);
      done += n;
      progress.Update(done);
    }
  } catch (const FwsimError& e) {
    std::vector<uint8_t> target = before;
    FillTarget(target, address, std::vector<uint8_t>(size, 0xFF));
    FailFlashCommand(ctx, *board, "flash erase", before, target, kSectorBytes, e.what(), "run the same erase again");
  }
  board->Save();
  ctx.Emit({{"command", "flash erase"}, {"address", HexString(address, 8)}, {"size", size},
            {"status", StatusName(EFI_SUCCESS)}, {"device_time_ns", tool.device_ns()}},
           "Erased " + std::to_string(size) + " bytes at " + HexString(address, 8) + "\n");
}

void RunWrite(FwsimContext& ctx, const FlashOptions& o) {
  const uint64_t address = ParseNumber(o.address);
  std::vector<uint8_t> data;
  try {
    data = sim::ReadBinaryFile(o.file);
  } catch (const std::exception& e) {
    throw FwsimError(e.what());
  }
  CheckFlashRange(address, data.size());
  if (o.erase && (address % kSectorBytes || data.size() % kSectorBytes))
    throw FwsimError("--erase works on whole 4 KiB sectors: the address and the file size must be multiples of 0x1000");
  auto board = ctx.OpenBoard();
  FlashTool tool(*board, o.cpu);
  const std::vector<uint8_t> before = board->flash().contents();
  const uint64_t buffer = board->OsAlloc(kChunkBytes, 0x1000);
  Progress progress(ctx, o.erase ? "erase and write" : "write", data.size());
  try {
    for (uint64_t done = 0; done < data.size();) {
      uint32_t n = uint32_t(std::min<uint64_t>(kChunkBytes, data.size() - done));
      if (o.erase) {
        auto e = tool.Send(FlashRequest(5, address + done, n, 0));
        if (e.Status != EFI_SUCCESS) Fail("erase", address + done, e.Status);
      }
      board->bus().PokeBytes(buffer, data.data() + done, n);
      auto r = tool.Send(FlashRequest(6, address + done, n, buffer));
      if (r.Status != EFI_SUCCESS) Fail("write", address + done, r.Status);
      done += n;
      progress.Update(done);
    }
  } catch (const FwsimError& e) {
    std::vector<uint8_t> target = before;
    FillTarget(target, address, data);
    FailFlashCommand(ctx, *board, "flash write", before, target, kSectorBytes, e.what(), "run the same write again");
  }
  board->Save();
  ctx.Emit({{"command", "flash write"}, {"address", HexString(address, 8)}, {"size", data.size()},
            {"erased", o.erase}, {"status", StatusName(EFI_SUCCESS)}, {"device_time_ns", tool.device_ns()}},
           "Wrote " + std::to_string(data.size()) + " bytes from " + o.file + " at " + HexString(address, 8) +
               (o.erase ? " (sectors erased first)" : "") + "\n");
}

void RunLocate(FwsimContext& ctx, const FlashOptions& o) {
  const uint32_t function = o.what == "layout" ? 1 : o.what == "entry" ? 2 : 3;
  FlashServiceRequest req{};
  req.Signature = Signature(o.signature);
  req.Function = function;
  req.VolumeBase = Number32(o.volume, "volume base");
  auto board = ctx.OpenBoard();
  FlashTool tool(*board, o.cpu);
  auto r = tool.Send(req);
  if (r.Status != EFI_SUCCESS)
    throw FwsimError("locate " + o.what + " for " + SignatureText(req.Signature) + ": " + StatusText(r.Status));
  board->Save();
  ctx.Emit({{"command", "flash locate"}, {"signature", SignatureText(req.Signature)}, {"what", o.what},
            {"address", HexString(r.Address, 8)}, {"size", r.Size}, {"status", StatusName(r.Status)}},
           SignatureText(req.Signature) + " " + o.what + ": address " + HexString(r.Address, 8) + ", size " +
               HexString(r.Size) + " (" + std::to_string(r.Size) + " bytes)\n");
}

struct RawOptions {
  std::string signature;
  std::string function;
  std::string address = "0";
  std::string size = "0";
  std::string buffer;
  std::string volume = "0";
  std::string record_at;
  std::string alloc;
  std::string in;
  bool dump = false;
  unsigned cpu = 0;
};

void RunRaw(FwsimContext& ctx, const RawOptions& o) {
  FlashServiceRequest req{};
  req.Signature = Signature(o.signature);
  req.Function = Number32(o.function, "function");
  req.Address = Number32(o.address, "address");
  req.Size = Number32(o.size, "size");
  req.VolumeBase = Number32(o.volume, "volume base");
  const uint64_t record_at = o.record_at.empty() ? 0 : ParseNumber(o.record_at);
  std::vector<uint8_t> input;
  if (!o.in.empty()) input = sim::ReadBinaryFile(o.in);
  auto board = ctx.OpenBoard();
  FlashTool tool(*board, o.cpu);
  uint64_t buffer = 0;
  uint64_t buffer_bytes = 0;
  if (!o.alloc.empty() || !input.empty()) {
    buffer_bytes = o.alloc.empty() ? input.size() : ParseNumber(o.alloc);
    if (input.size() > buffer_bytes) throw FwsimError("--in file is larger than the --alloc buffer");
    buffer = board->OsAlloc(std::max<uint64_t>(buffer_bytes, 1), 0x1000);
    if (!input.empty()) board->bus().PokeBytes(buffer, input.data(), input.size());
    req.Buffer = uint32_t(buffer);
  }
  if (!o.buffer.empty()) req.Buffer = Number32(o.buffer, "buffer");
  if (record_at != 0 && !tool.Writable(record_at))
    std::cerr << "fwsim: " << HexString(record_at) << " is not OS memory: the record there is left as it is\n";
  auto r = tool.Send(req, record_at);
  board->Save();
  const bool written = r.Status != kStatusNotWritten;
  nlohmann::json j{{"command", "smi 0x90"},
                   {"record", HexString(record_at ? record_at : tool.record())},
                   {"signature", SignatureText(req.Signature)},
                   {"function", req.Function},
                   {"status_written", written}};
  std::ostringstream t;
  t << "SMI 0x90 " << SignatureText(req.Signature) << " function " << req.Function << ": Status " << StatusText(r.Status)
    << "\n";
  if (written) {
    j["status"] = HexString(r.Status, 16);
    j["status_name"] = StatusName(r.Status);
    j["address"] = HexString(r.Address, 8);
    j["size"] = HexString(r.Size, 8);
    j["buffer"] = HexString(r.Buffer, 8);
    j["volume_base"] = HexString(r.VolumeBase, 8);
    t << "  Address " << HexString(r.Address, 8) << "  Size " << HexString(r.Size, 8) << "  Buffer "
      << HexString(r.Buffer, 8) << "  VolumeBase " << HexString(r.VolumeBase, 8) << "\n";
    if (r.PartNameSignature != 0 || r.PartNameLength != 0) {
      std::string name(r.PartNameText, strnlen(r.PartNameText, sizeof r.PartNameText));
      j["part_name_signature"] = SignatureText(r.PartNameSignature);
      j["part_name_length"] = r.PartNameLength;
      j["part_name"] = name;
      t << "  PartName " << SignatureText(r.PartNameSignature) << " length " << r.PartNameLength << " \"" << name
        << "\"\n";
    }
  }
  if (o.dump && buffer_bytes != 0) {
    std::vector<uint8_t> data(buffer_bytes);
    board->bus().PeekBytes(buffer, data.data(), data.size());
    j["buffer_data"] = data;
    t << HexDump(buffer, data);
  }
  ctx.Emit(j, t.str());
}

}  // namespace

void RegisterFlashServiceCommands(cli::App& flash, cli::App& smi, FwsimContext& ctx) {
  auto o = std::make_shared<FlashOptions>();
  auto cpu = [&](cli::App* c, unsigned* value) {
    c->add_option("--cpu", *value, "processor that raises the SMI (default 0)");
  };

  auto* read = flash.add_subcommand("read", "Read flash through SMI 0x90 (\"$GB1\" function 4)");
  read->add_option("address", o->address, "flash window address, 0xFE000000 and up")->required();
  read->add_option("size", o->size, "bytes to read")->required();
  read->add_option("--out", o->out, "write the bytes to FILE instead of printing them");
  cpu(read, &o->cpu);
  read->callback([&ctx, o] { RunRead(ctx, *o); });

  auto* erase = flash.add_subcommand("erase", "Erase whole 4 KiB sectors through SMI 0x90 (function 5)");
  erase->add_option("address", o->address, "flash window address, 4 KiB aligned")->required();
  erase->add_option("size", o->size, "bytes to erase, a multiple of 4 KiB")->required();
  cpu(erase, &o->cpu);
  erase->callback([&ctx, o] { RunErase(ctx, *o); });

  auto* write = flash.add_subcommand("write", "Program a file into the flash through SMI 0x90 (function 6)");
  write->add_option("address", o->address, "flash window address")->required();
  write->add_option("file", o->file, "the bytes to program")->required();
  write->add_flag("--erase", o->erase, "erase the sectors first (programming only clears bits)");
  cpu(write, &o->cpu);
  write->callback([&ctx, o] { RunWrite(ctx, *o); });

  auto* locate = flash.add_subcommand("locate", "Find an area of the firmware image through SMI 0x90");
  locate->add_option("signature", o->signature, "area signature: $SDB DECG $STL $TPM $BDR $FMR $MTR")->required();
  locate->add_option("--what", o->what, "area: the area file (function 3); entry: its layout entry (2); "
                                        "layout: the layout file (1)")
      ->check(cli::IsMember({"area", "entry", "layout"}));
  locate->add_option("--volume", o->volume, "firmware volume base (default 0: the one named at 0xFFFFFFFC)");
  cpu(locate, &o->cpu);
  locate->callback([&ctx, o] { RunLocate(ctx, *o); });

  auto r = std::make_shared<RawOptions>();
  auto* raw = smi.add_subcommand("0x90", "Send one raw flash-service request and print what came back");
  raw->add_option("--signature", r->signature, "four characters (\"$GB1\") or a 32-bit number")->required();
  raw->add_option("--function", r->function, "function number")->required();
  raw->add_option("--address", r->address, "Address field");
  raw->add_option("--size", r->size, "Size field");
  raw->add_option("--buffer", r->buffer, "Buffer field (a physical address)");
  raw->add_option("--volume", r->volume, "VolumeBase field");
  raw->add_option("--alloc", r->alloc, "allocate a buffer of N bytes in OS memory and put its address in Buffer");
  raw->add_option("--in", r->in, "fill the allocated buffer from FILE");
  raw->add_flag("--dump", r->dump, "print the allocated buffer after the SMI");
  raw->add_option("--record-at", r->record_at, "physical address for the request record (default: OS memory)");
  cpu(raw, &r->cpu);
  raw->callback([&ctx, r] { RunRaw(ctx, *r); });
}
