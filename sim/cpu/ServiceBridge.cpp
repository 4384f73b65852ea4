#include "sim/cpu/ServiceBridge.h"

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "sim/core/Bus.h"
#include "sim/core/Cpu.h"
#include "sim/cpu/PeImage.h"
#include "sim/firmware/Firmware.h"
#include "sim/firmware/ImageLoader.h"
#include "sim/firmware/VariableStore.h"
#include "uefi/UefiSpec.h"

namespace sim {

// A native function the simulator can call; it runs one image function on the emulator.
struct ServiceBridge::Thunk {
  ServiceBridge* owner = nullptr;
  uint64_t function = 0;
  CallbackKind kind = CallbackKind::kValues;
  uint32_t context_size = 0;
};

namespace {
constexpr size_t kThunkCount = 256;
ServiceBridge::Thunk gThunks[kThunkCount];

template <size_t I>
UINT64 EFIAPI ThunkEntry(UINT64 a0, UINT64 a1, UINT64 a2, UINT64 a3) {
  return gThunks[I].owner->Invoke(gThunks[I], a0, a1, a2, a3);
}
using ThunkFunction = UINT64(EFIAPI*)(UINT64, UINT64, UINT64, UINT64);
template <size_t... I>
constexpr std::array<ThunkFunction, sizeof...(I)> MakeThunkEntries(std::index_sequence<I...>) {
  return {&ThunkEntry<I>...};
}
constexpr auto kThunkEntries = MakeThunkEntries(std::make_index_sequence<kThunkCount>());

using NativeService = UINT64(EFIAPI*)(UINT64, UINT64, UINT64, UINT64, UINT64, UINT64, UINT64, UINT64, UINT64, UINT64);

constexpr uint64_t kStubPagesSize = 0x2000;
constexpr uint64_t kScratchSize = 0x100000;
constexpr uint64_t kDxeStackSize = 0x40000;

std::string ReadText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

ServiceBridge::ServiceBridge(Bus& bus, Cpu& cpu, Firmware& firmware, uint64_t ram_base, uint64_t ram_size,
                             uint64_t smm_stack_base, uint64_t smm_stack_size, unsigned budget_ms)
    : bus_(bus),
      cpu_(cpu),
      firmware_(firmware),
      ram_base_(ram_base),
      ram_size_(ram_size),
      smm_stack_base_(smm_stack_base),
      smm_stack_top_(smm_stack_base + smm_stack_size) {
  emu_ = std::make_unique<Emulator>(bus, cpu, ram_base, budget_ms);
  for (const Bus::RamRegion& r : bus.ram_regions()) emu_->MapRam(r.base, r.size, r.host);
  next_ = ram_base + kStubPagesSize;
  scratch_ = Allocate(kScratchSize, 0x1000);
  scratch_end_ = scratch_ + kScratchSize;
  dxe_stack_base_ = Allocate(kDxeStackSize + 0x1000, 0x1000);
  dxe_stack_top_ = dxe_stack_base_ + kDxeStackSize;  // a page of slack above for argument reads

  // Executable mappings of this process: a table slot holding an address there is a service.
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    unsigned long long b = 0, e = 0;
    char perms[5] = {};
    if (std::sscanf(line.c_str(), "%llx-%llx %4s", &b, &e, perms) == 3 && perms[2] == 'x') host_code_.push_back({b, e});
  }

  // The tables every image is given.
  EFI_SYSTEM_TABLE* st = firmware.system_table();
  MakeView(st->BootServices, BootServicesLayout());
  MakeView(st->RuntimeServices, RuntimeServicesLayout());
  MakeView(firmware.smst(), SmstLayout());
  MakeView(st, SystemTableLayout());
}

ServiceBridge::~ServiceBridge() {
  for (Thunk& t : gThunks)
    if (t.owner == this) t = Thunk{};
}

uint64_t ServiceBridge::Allocate(uint64_t bytes, uint64_t align) {
  uint64_t a = (next_ + align - 1) & ~(align - 1);
  if (a + bytes > ram_base_ + ram_size_ || a + bytes < a) throw std::runtime_error("the emulator's firmware RAM is full");
  next_ = a + bytes;
  return a;
}

bool ServiceBridge::IsHostCode(uint64_t address) const {
  for (auto& [b, e] : host_code_)
    if (address >= b && address < e) return true;
  return false;
}

std::pair<uint64_t, uint64_t> ServiceBridge::StackFor(bool smm) const {
  return smm ? std::make_pair(smm_stack_base_, smm_stack_top_) : std::make_pair(dxe_stack_base_, dxe_stack_top_);
}

uint64_t ServiceBridge::ViewOf(const void* host) const {
  auto it = views_.find(host);
  return it == views_.end() ? 0 : it->second.address;
}

uint64_t ServiceBridge::MakeView(const void* host, const InterfaceLayout& layout) {
  if (uint64_t v = ViewOf(host)) return v;
  View view{Allocate(std::max<uint32_t>(layout.size, 8)), &layout, {}};
  hosts_[view.address] = host;
  auto& stored = views_[host] = view;
  Refresh(host, stored);
  return view.address;
}

// A view is the simulator's object byte for byte, except that service slots become stubs,
// pointers to other simulator objects become their views and strings and arrays the
// object points at are copied into emulated RAM.
void ServiceBridge::Refresh(const void* host, View& view) {
  const InterfaceLayout& layout = *view.layout;
  uint8_t* out = bus_.HostPointer(view.address, layout.size);
  std::memcpy(out, host, layout.size);
  for (uint32_t off = 0; off + 8 <= layout.size; off += 8) {
    uint64_t v;
    std::memcpy(&v, out + off, 8);
    if (v == 0 || emu_->IsMapped(v, 1)) continue;
    if (IsHostCode(v)) v = StubFor(v, layout.RuleAt(off));
    else if (uint64_t view_address = ViewOf(reinterpret_cast<const void*>(v))) v = view_address;
    else continue;
    std::memcpy(out + off, &v, 8);
  }
  for (const FieldRule& f : layout.fields) {
    uint64_t p;
    std::memcpy(&p, static_cast<const uint8_t*>(host) + f.offset, 8);
    if (p == 0 || emu_->IsMapped(p, 1)) continue;
    uint64_t bytes = 0;
    if (f.kind == FieldKind::kString16) {
      const auto* s = reinterpret_cast<const CHAR16*>(p);
      while (s[bytes / 2] != 0) bytes += 2;
      bytes += 2;
    } else {
      uint64_t count;
      std::memcpy(&count, static_cast<const uint8_t*>(host) + f.count_offset, 8);
      bytes = count * f.element_size;
    }
    auto& copy = view.copies[f.offset];
    if (copy.second < bytes) copy = {Allocate(bytes), bytes};
    if (bytes) {
      uint8_t* to = bus_.HostPointer(copy.first, bytes);
      std::memcpy(to, reinterpret_cast<const void*>(p), bytes);
      // Elements that point at simulator objects (a configuration table's VendorTable)
      // point at their views.
      for (uint64_t off = 0; off + 8 <= bytes; off += 8) {
        uint64_t v;
        std::memcpy(&v, to + off, 8);
        if (uint64_t view_address = v ? ViewOf(reinterpret_cast<const void*>(v)) : 0) std::memcpy(to + off, &view_address, 8);
      }
    }
    std::memcpy(out + f.offset, &copy.first, 8);
  }
}

void ServiceBridge::RefreshAll() {
  // Configuration tables may be published after the bridge came up (the DXE services
  // table arrives with the memory maps).
  const EFI_SYSTEM_TABLE* st = firmware_.system_table();
  for (UINTN i = 0; st->ConfigurationTable != nullptr && i < st->NumberOfTableEntries; ++i)
    if (const InterfaceLayout* layout = ConfigurationTableLayout(st->ConfigurationTable[i].VendorGuid))
      MakeView(st->ConfigurationTable[i].VendorTable, *layout);
  for (auto& [host, view] : views_) Refresh(host, view);
}

uint64_t ServiceBridge::StubFor(uint64_t native, const ServiceRule* rule) {
  auto key = std::make_pair(native, rule);
  if (auto it = stubs_.find(key); it != stubs_.end()) return it->second;
  uint64_t stub = emu_->AddStub([this, native, rule](Emulator::StubCall& c) { CallService(native, rule, c); });
  stubs_[key] = stub;
  return stub;
}

// A call from an image into a simulator service.
void ServiceBridge::CallService(uint64_t native, const ServiceRule* rule, Emulator::StubCall& call) {
  uint64_t a[10];
  for (int i = 0; i < 10; ++i) {
    a[i] = call.args[i];
    if (auto it = hosts_.find(a[i]); it != hosts_.end()) a[i] = reinterpret_cast<uint64_t>(it->second);
  }
  // The image hands over one of its functions (a handler, a notify function).
  for (int i = 0; i < 10; ++i) {
    const Emulator::Image* image = emu_->ImageAt(a[i]);
    if (image == nullptr || !image->InCode(a[i])) continue;
    bool declared = rule != nullptr && rule->callback_arg == i;
    a[i] = reinterpret_cast<uint64_t>(NativeEntry(a[i], declared ? rule->callback : CallbackKind::kValues,
                                                   declared ? rule->context_size : 0));
  }
  call.result = reinterpret_cast<NativeService>(native)(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
  if (rule != nullptr && rule->out_interface_arg >= 0 && !EFI_ERROR(call.result)) {
    uint64_t where = a[rule->out_interface_arg];
    if (where != 0 && emu_->IsMapped(where, 8)) {
      uint64_t value;
      std::memcpy(&value, bus_.HostPointer(where, 8), 8);
      const EFI_GUID* guid = nullptr;
      if (rule->guid_arg >= 0 && emu_->IsMapped(a[rule->guid_arg], sizeof(EFI_GUID)))
        guid = reinterpret_cast<const EFI_GUID*>(a[rule->guid_arg]);
      value = ToEmulated(value, guid);
      std::memcpy(bus_.HostPointer(where, 8), &value, 8);
    }
  }
}

// A simulator object handed to an image becomes its view; emulated memory stays as it is.
uint64_t ServiceBridge::ToEmulated(uint64_t value, const EFI_GUID* guid) {
  if (value == 0 || emu_->IsMapped(value, 1)) return value;
  const void* host = reinterpret_cast<const void*>(value);
  if (uint64_t v = ViewOf(host)) return v;
  const InterfaceLayout* layout = guid ? ProtocolLayout(*guid) : nullptr;
  if (layout == nullptr) {
    emu_->RequestStop(Emulator::Stop::kFault, "protocol " + (guid ? GuidToString(*guid) : std::string("?")) +
                                                  " of the simulator has no layout the emulated images can use");
    return 0;
  }
  return MakeView(host, *layout);
}

void* ServiceBridge::NativeEntry(uint64_t address, CallbackKind kind, uint32_t context_size) {
  auto key = std::make_pair(address, static_cast<int>(kind) << 16 | static_cast<int>(context_size));
  if (auto it = thunks_.find(key); it != thunks_.end()) return reinterpret_cast<void*>(kThunkEntries[it->second]);
  for (size_t i = 0; i < kThunkCount; ++i) {
    if (gThunks[i].owner != nullptr) continue;
    gThunks[i] = Thunk{this, address, kind, context_size};
    thunks_[key] = i;
    return reinterpret_cast<void*>(kThunkEntries[i]);
  }
  throw std::runtime_error("more image functions registered than the emulator can call");
}

void* ServiceBridge::NativeInterface(uint64_t emulated, size_t bytes) {
  auto& copy = native_interfaces_[emulated];
  if (copy.empty()) {
    copy.resize((bytes + 7) / 8);
    const uint8_t* from = bus_.HostPointer(emulated, bytes);
    if (from == nullptr) throw std::runtime_error("no interface at " + std::to_string(emulated));
    std::memcpy(copy.data(), from, bytes);
    for (uint64_t& slot : copy) {
      const Emulator::Image* image = emu_->ImageAt(slot);
      if (image != nullptr && image->InCode(slot)) slot = reinterpret_cast<uint64_t>(NativeEntry(slot, CallbackKind::kValues));
    }
  }
  return copy.data();
}

// The simulator calls an image function: records it passes from its own memory are copied
// into emulated RAM for the call (and back, for those the function may change).
uint64_t ServiceBridge::Invoke(const Thunk& thunk, uint64_t a0, uint64_t a1, uint64_t a2, uint64_t a3) {
  uint64_t rax = 0;
  {
    std::vector<uint64_t> args{a0, a1, a2, a3};
    struct Copy {
      uint64_t host, emulated, bytes;
      bool back;
    };
    std::vector<Copy> copies;
    const uint64_t mark = scratch_;
    auto copy_in = [&](int i, uint64_t bytes, bool back) {
      if (args[i] == 0 || bytes == 0 || emu_->IsMapped(args[i], bytes)) return;
      uint64_t at = (scratch_ + 15) & ~uint64_t{15};
      if (at + bytes > scratch_end_) throw std::runtime_error("emulator scratch RAM exhausted");
      scratch_ = at + bytes;
      std::memcpy(bus_.HostPointer(at, bytes), reinterpret_cast<const void*>(args[i]), bytes);
      copies.push_back({args[i], at, bytes, back});
      args[i] = at;
    };
    const EFI_GUID* guid = nullptr;
    if (thunk.kind == CallbackKind::kSmiHandler) {
      uint64_t comm = SmiHandlerCommBufferSize(thunk.context_size);
      if (a3 != 0) std::memcpy(&comm, reinterpret_cast<const void*>(a3), 8);
      copy_in(1, thunk.context_size, false);
      copy_in(2, comm, true);
      copy_in(3, 8, true);
    } else if (thunk.kind == CallbackKind::kNotify) {
      if (a0 != 0) guid = reinterpret_cast<const EFI_GUID*>(a0);
      copy_in(0, sizeof(EFI_GUID), false);
    }
    for (auto& a : args)
      if (uint64_t v = ViewOf(reinterpret_cast<const void*>(a))) a = v;
    if (thunk.kind == CallbackKind::kNotify) args[1] = ToEmulated(args[1], guid);
    RefreshAll();
    auto [stack_base, stack_top] = StackFor(bus_.InSmm());
    if (emu_->depth() == 0) emu_->CloseSmmUnmapped(bus_.InSmm());
    if (emu_->stop() == Emulator::Stop::kNone) rax = emu_->Call(thunk.function, args, stack_base, stack_top);
    for (const Copy& c : copies)
      if (c.back) std::memcpy(reinterpret_cast<void*>(c.host), bus_.HostPointer(c.emulated, c.bytes), c.bytes);
    scratch_ = mark;
  }
  // The outermost call hands a reset or fault to the simulated processor, which ends the
  // run as it does for host images.
  if (emu_->depth() == 0 && emu_->stop() != Emulator::Stop::kNone) {
    constexpr Cpu::Outcome kOutcomes[] = {Cpu::Outcome::kReturned, Cpu::Outcome::kFault, Cpu::Outcome::kReset,
                                          Cpu::Outcome::kPowerLost};
    Cpu::Outcome outcome = kOutcomes[static_cast<int>(emu_->stop())];
    std::string report = emu_->stop_report();
    emu_->ClearStop();
    cpu_.EndRun(outcome, report);
  }
  return rax;
}

std::unique_ptr<LoadedImage> ServiceBridge::Load(const std::string& name, bool smm, const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read image " + file.string());
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  PeImage pe = ParsePe(bytes);
  if (!pe.errors.empty()) throw std::runtime_error(file.string() + ": " + pe.errors.front());
  uint64_t size = (uint64_t{pe.size_of_image} + 0xFFF) & ~uint64_t{0xFFF};
  uint64_t base;
  if (smm) {
    // The SMM core loads SMM images into SMRAM pages of its own pool.
    uint64_t raw = firmware_.smram_pool().Allocate(size + 0x1000, name + " image");
    if (raw == 0) throw std::runtime_error("no SMRAM left for image " + name);
    base = (raw + 0xFFF) & ~uint64_t{0xFFF};
  } else {
    base = Allocate(size, 0x1000);
  }
  auto map_file = std::filesystem::path(file).replace_extension(".map");
  const Emulator::Image& image = emu_->Load(name, bytes, base, ReadText(map_file));
  return LoadedImage::FromEntry(name, reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(NativeEntry(image.entry, CallbackKind::kValues)));
}

}  // namespace sim
