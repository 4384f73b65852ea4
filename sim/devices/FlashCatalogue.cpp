#include "sim/devices/FlashCatalogue.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace sim {
namespace {

constexpr uint32_t KiB = 1024;
constexpr uint32_t MiB = 1024 * 1024;
constexpr uint64_t us = 1000;
constexpr uint64_t ms = 1000 * us;
constexpr uint64_t s = 1000 * ms;

uint32_t Jedec(uint8_t manufacturer, uint8_t type, uint8_t capacity) {
  return manufacturer | uint32_t(type) << 8 | uint32_t(capacity) << 16;
}

void Put32(std::vector<uint8_t>& v, size_t at, uint32_t value) {
  if (v.size() < at + 4) v.resize(at + 4, 0xFF);
  for (int i = 0; i < 4; ++i) v[at + i] = uint8_t(value >> (8 * i));
}

// The W25Q128JV's SFDP space as the part answers it (JESD216 rev 1.5, one parameter
// header: the 16-word basic flash parameter table at 0x80).
std::vector<uint8_t> W25Q128JvSfdp() {
  std::vector<uint8_t> v(0x100, 0xFF);
  const uint8_t header[] = {0x53, 0x46, 0x44, 0x50, 0x05, 0x01, 0x00, 0xFF,
                            0x00, 0x05, 0x01, 0x10, 0x80, 0x00, 0x00, 0xFF};
  const uint8_t table[] = {0xE5, 0x20, 0xF9, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x44, 0xEB, 0x08, 0x6B, 0x08, 0x3B, 0x42, 0xBB,
                           0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x40, 0xEB, 0x0C, 0x20, 0x0F, 0x52,
                           0x10, 0xD8, 0x00, 0x00, 0x36, 0x02, 0xA6, 0x00, 0x82, 0xEA, 0x14, 0xC9, 0xE9, 0x63, 0x76, 0x33,
                           0x7A, 0x75, 0x7A, 0x75, 0xF7, 0xA2, 0xD5, 0x5C, 0x19, 0xF7, 0x4D, 0xFF, 0xE9, 0x30, 0xF8, 0x80};
  std::copy(std::begin(header), std::end(header), v.begin());
  std::copy(std::begin(table), std::end(table), v.begin() + 0x80);
  return v;
}

struct SfdpShape {
  uint8_t minor;            // JESD216 minor revision (0 for 1.0, 5 for 1.5, 6 for 1.6)
  uint32_t table_pointer;   // where the basic flash parameter table lies
  bool quad;                // 1-1-4 and 1-4-4 fast reads
  bool sector_map;          // an extra header for a sector map (SST26)
};

// A JESD216 header with the basic flash parameter table built from the part's geometry.
std::vector<uint8_t> BuildSfdp(const FlashPartDatasheet& p, const SfdpShape& shape) {
  std::vector<uint8_t> v(0x100, 0xFF);
  const uint32_t words = shape.minor == 0 ? 9 : 16;
  Put32(v, 0x00, 0x50444653);
  v[4] = shape.minor;
  v[5] = 1;
  v[6] = shape.sector_map ? 1 : 0;  // number of parameter headers minus one
  v[7] = 0xFF;
  v[8] = 0x00;                      // basic flash parameter table
  v[9] = shape.minor;
  v[10] = 1;
  v[11] = uint8_t(words);
  Put32(v, 12, shape.table_pointer | 0xFF000000u);
  if (shape.sector_map) {
    v[16] = 0x81;
    v[17] = 0x00;
    v[18] = 0x01;
    v[19] = 2;
    Put32(v, 20, (shape.table_pointer + words * 4) | 0xFF000000u);
    Put32(v, shape.table_pointer + words * 4, 0xFFFFFFFF);
    Put32(v, shape.table_pointer + words * 4 + 4, 0xFFFFFFFF);
  }
  uint8_t erase4k = 0xFF;
  for (auto& e : p.erase_commands)
    if (e.bytes == 4 * KiB) erase4k = e.opcode;
  uint32_t dw1 = 0xFF800000u | 0xE0u | uint32_t(erase4k) << 8;
  if (erase4k != 0xFF) dw1 |= 0x1;
  if (p.program_mode == ProgramMode::kPage) dw1 |= 0x4;
  dw1 |= 1u << 16 | 1u << 20;
  if (shape.quad) dw1 |= 1u << 21 | 1u << 22;
  uint32_t t = shape.table_pointer;
  Put32(v, t, dw1);
  Put32(v, t + 4, p.size * 8 - 1);
  for (uint32_t w = 2; w < words; ++w) Put32(v, t + 4 * w, 0xFFFFFFFF);
  // Erase types 1-4 (size as a power of two, opcode) in words 8 and 9.
  uint32_t types[4] = {0, 0, 0, 0};
  size_t n = 0;
  for (auto& e : p.erase_commands) {
    if (n == 4 || e.bytes < 4 * KiB || e.bytes > 256 * KiB) continue;
    uint32_t exponent = 0;
    while ((1u << exponent) < e.bytes) ++exponent;
    types[n++] = exponent | uint32_t(e.opcode) << 8;
  }
  Put32(v, t + 28, types[0] | types[1] << 16);
  Put32(v, t + 32, types[2] | types[3] << 16);
  return v;
}

std::vector<EraseCommand> Erase4k32k64k() { return {{0x20, 4 * KiB}, {0x52, 32 * KiB}, {0xD8, 64 * KiB}}; }

std::vector<FlashPartDatasheet> BuildCatalogue() {
  std::vector<FlashPartDatasheet> c;

  // Winbond W25Q128JV: non-volatile SR1 (BP0-2, TB, SEC, SRP). Typical times from the
  // datasheet: page program 0.7 ms (30 us first byte + 2.5 us per byte), 4/32/64 KiB erase
  // 45/120/150 ms, status write 10 ms, chip erase 40 s.
  FlashPartDatasheet w;
  w.name = "W25Q128JV";
  w.vendor = "Winbond";
  w.jedec_id = Jedec(0xEF, 0x40, 0x18);
  w.size = 16 * MiB;
  w.page_size = 256;
  w.program_mode = ProgramMode::kPage;
  w.erase_commands = Erase4k32k64k();
  w.sst26_block_geometry = false;
  w.protection = ProtectionScheme::kBpTbSec;
  w.volatile_status = false;
  w.power_up_status = 0x00;
  w.accepts_ewsr = true;
  w.sfdp = W25Q128JvSfdp();
  w.sfdp_leading_bytes = 0;
  w.max_clock_mhz = 133;
  w.timing = {30 * us, 2500, 10 * ms, 45 * ms, 120 * ms, 150 * ms, 40 * s};
  w.note = "16 MiB, 4 KiB sectors, SFDP 1.5";
  c.push_back(w);

  FlashPartDatasheet w16 = w;
  w16.name = "W25Q16JV";
  w16.jedec_id = Jedec(0xEF, 0x40, 0x15);
  w16.size = 2 * MiB;
  w16.sfdp = BuildSfdp(w16, {5, 0x80, true, false});
  w16.timing = {30 * us, 2500, 10 * ms, 45 * ms, 120 * ms, 150 * ms, 5 * s};
  w16.note = "2 MiB member of the W25Q family";
  c.push_back(w16);

  FlashPartDatasheet w32 = w;
  w32.name = "W25Q256JV";
  w32.jedec_id = Jedec(0xEF, 0x40, 0x19);
  w32.size = 32 * MiB;
  w32.sfdp = BuildSfdp(w32, {5, 0x80, true, false});
  w32.timing = {30 * us, 2500, 10 * ms, 45 * ms, 120 * ms, 150 * ms, 80 * s};
  w32.note = "32 MiB member of the W25Q family (decodes the whole 32 MiB window)";
  c.push_back(w32);

  FlashPartDatasheet mx = w;
  mx.name = "MX25L12835F";
  mx.vendor = "Macronix";
  mx.jedec_id = Jedec(0xC2, 0x20, 0x18);
  mx.protection = ProtectionScheme::kBp4Blocks;
  mx.accepts_ewsr = false;
  mx.sfdp = BuildSfdp(mx, {0, 0x30, true, false});
  mx.timing = {12 * us, 1300, 40 * ms, 43 * ms, 160 * ms, 340 * ms, 50 * s};
  mx.note = "16 MiB, BP0-BP3 top protection, SFDP 1.0";
  c.push_back(mx);

  FlashPartDatasheet gd = w;
  gd.name = "GD25Q128C";
  gd.vendor = "GigaDevice";
  gd.jedec_id = Jedec(0xC8, 0x40, 0x18);
  gd.sfdp = BuildSfdp(gd, {0, 0x30, true, false});
  gd.timing = {30 * us, 2200, 5 * ms, 50 * ms, 150 * ms, 200 * ms, 60 * s};
  gd.note = "16 MiB, BP0-BP4 (BP3 = TB, BP4 = SEC), SFDP 1.0";
  c.push_back(gd);

  FlashPartDatasheet at;
  at.name = "AT25DF641A";
  at.vendor = "Atmel/Adesto";
  at.jedec_id = Jedec(0x1F, 0x48, 0x00);
  at.id_reply = {0x1F, 0x48, 0x00, 0x01, 0x00};
  at.size = 8 * MiB;
  at.page_size = 256;
  at.program_mode = ProgramMode::kPage;
  at.erase_commands = Erase4k32k64k();
  at.sst26_block_geometry = false;
  at.protection = ProtectionScheme::kAtmelSectors;
  at.volatile_status = true;
  at.power_up_status = 0x00;
  at.accepts_ewsr = false;
  at.sfdp_leading_bytes = 0;
  at.max_clock_mhz = 85;
  at.timing = {7 * us, 3900, 0, 50 * ms, 250 * ms, 400 * ms, 32 * s};
  at.note = "8 MiB, every 64 KiB sector protected at power-up, no SFDP";
  c.push_back(at);

  FlashPartDatasheet sf = w;
  sf.name = "AT25SF641";
  sf.vendor = "Adesto";
  sf.jedec_id = Jedec(0x1F, 0x32, 0x17);
  sf.size = 8 * MiB;
  sf.sfdp = BuildSfdp(sf, {6, 0x30, true, false});
  sf.max_clock_mhz = 104;
  sf.timing = {20 * us, 1500, 10 * ms, 60 * ms, 120 * ms, 200 * ms, 30 * s};
  sf.note = "8 MiB, Winbond-style status register, SFDP 1.6";
  c.push_back(sf);

  FlashPartDatasheet sl = sf;
  sl.name = "AT25SL128A";
  sl.jedec_id = Jedec(0x1F, 0x42, 0x18);
  sl.size = 16 * MiB;
  sl.sfdp = BuildSfdp(sl, {6, 0x30, true, false});
  sl.max_clock_mhz = 133;
  sl.timing = {20 * us, 1500, 10 * ms, 60 * ms, 120 * ms, 200 * ms, 60 * s};
  sl.note = "16 MiB, Winbond-style status register, SFDP 1.6";
  c.push_back(sl);

  FlashPartDatasheet s25;
  s25.name = "SST25VF016B";
  s25.vendor = "Microchip/SST";
  s25.jedec_id = Jedec(0xBF, 0x25, 0x41);
  s25.size = 2 * MiB;
  s25.page_size = 256;
  s25.program_mode = ProgramMode::kByte;
  s25.erase_commands = Erase4k32k64k();
  s25.sst26_block_geometry = false;
  s25.protection = ProtectionScheme::kSst25;
  s25.volatile_status = true;
  s25.power_up_status = 0x1C;
  s25.accepts_ewsr = true;
  s25.sfdp_leading_bytes = 0;
  s25.max_clock_mhz = 50;
  s25.timing = {7 * us, 0, 0, 18 * ms, 18 * ms, 18 * ms, 35 * ms};
  s25.note = "2 MiB, byte program only, powers up block-protected (BP = 111b), no SFDP";
  c.push_back(s25);

  FlashPartDatasheet s26;
  s26.name = "SST26VF064B";
  s26.vendor = "Microchip/SST";
  s26.jedec_id = Jedec(0xBF, 0x26, 0x43);
  s26.size = 8 * MiB;
  s26.page_size = 256;
  s26.program_mode = ProgramMode::kPage;
  s26.erase_commands = {{0x20, 4 * KiB}, {0xD8, 64 * KiB}};
  s26.sst26_block_geometry = true;
  s26.protection = ProtectionScheme::kSst26Bpr;
  s26.volatile_status = true;
  s26.power_up_status = 0x00;
  s26.accepts_ewsr = false;
  s26.sfdp = BuildSfdp(s26, {6, 0x30, true, true});
  s26.sfdp_leading_bytes = 0;
  s26.max_clock_mhz = 104;
  s26.timing = {20 * us, 5000, 0, 18 * ms, 18 * ms, 18 * ms, 35 * ms};
  s26.note = "8 MiB, all blocks write-locked at power-up until the 0x98 global unlock, 8/32 KiB blocks at the array ends";
  c.push_back(s26);

  FlashPartDatasheet eq = w;
  eq.name = "EN25QH128A";
  eq.vendor = "EON";
  eq.jedec_id = Jedec(0x1C, 0x70, 0x18);
  eq.sfdp = BuildSfdp(eq, {0, 0x30, true, false});
  eq.sfdp_leading_bytes = 1;
  eq.max_clock_mhz = 104;
  eq.timing = {30 * us, 1800, 10 * ms, 40 * ms, 150 * ms, 200 * ms, 45 * s};
  eq.note = "16 MiB; answers SFDP reads one byte late (the signature arrives at byte 1)";
  c.push_back(eq);

  FlashPartDatasheet ep;
  ep.name = "EN25P64";
  ep.vendor = "EON";
  ep.jedec_id = Jedec(0x1C, 0x20, 0x17);
  ep.size = 8 * MiB;
  ep.page_size = 256;
  ep.program_mode = ProgramMode::kPage;
  ep.erase_commands = {{0xD8, 64 * KiB}};
  ep.sst26_block_geometry = false;
  ep.protection = ProtectionScheme::kBp3Fraction;
  ep.volatile_status = false;
  ep.power_up_status = 0x00;
  ep.accepts_ewsr = false;
  ep.sfdp_leading_bytes = 0;
  ep.max_clock_mhz = 100;
  ep.timing = {20 * us, 5000, 10 * ms, 0, 0, 500 * ms, 64 * s};
  ep.note = "8 MiB, 64 KiB sectors only, no SFDP";
  c.push_back(ep);

  FlashPartDatasheet m = ep;
  m.name = "M25P128";
  m.vendor = "STMicro/Micron";
  m.jedec_id = Jedec(0x20, 0x20, 0x18);
  m.size = 16 * MiB;
  m.erase_commands = {{0xD8, 256 * KiB}};
  m.max_clock_mhz = 54;
  m.timing = {20 * us, 5400, 5 * ms, 0, 0, 2 * s, 105 * s};
  m.note = "16 MiB, 256 KiB sectors (0xD8), no 4 KiB erase, no SFDP";
  c.push_back(m);

  FlashPartDatasheet sp = ep;
  sp.name = "S25FL032P";
  sp.vendor = "Spansion";
  sp.jedec_id = Jedec(0x01, 0x02, 0x15);
  sp.size = 4 * MiB;
  sp.erase_commands = {{0x20, 4 * KiB}, {0xD8, 64 * KiB}};
  sp.timing = {20 * us, 5000, 100 * ms, 30 * ms, 0, 500 * ms, 32 * s};
  sp.note = "4 MiB, 64 KiB sectors, no SFDP";
  c.push_back(sp);

  FlashPartDatasheet is = w;
  is.name = "IS25LP128";
  is.vendor = "ISSI";
  is.jedec_id = Jedec(0x9D, 0x60, 0x18);
  is.protection = ProtectionScheme::kBp4Blocks;
  is.accepts_ewsr = false;
  is.sfdp = BuildSfdp(is, {6, 0x30, true, false});
  is.timing = {8 * us, 800, 2 * ms, 70 * ms, 100 * ms, 150 * ms, 45 * s};
  is.note = "16 MiB, BP0-BP3 top protection, SFDP 1.6";
  c.push_back(is);

  FlashPartDatasheet xm = w;
  xm.name = "XM25QH128C";
  xm.vendor = "XMC";
  xm.jedec_id = Jedec(0x20, 0x40, 0x18);
  xm.sfdp = BuildSfdp(xm, {6, 0x30, true, false});
  xm.timing = {30 * us, 1800, 8 * ms, 45 * ms, 120 * ms, 150 * ms, 40 * s};
  xm.note = "16 MiB, Winbond-compatible status register, SFDP 1.6";
  c.push_back(xm);

  FlashPartDatasheet in = ep;
  in.name = "QH25F160S33";
  in.vendor = "Intel";
  in.jedec_id = Jedec(0x89, 0x89, 0x11);
  in.size = 2 * MiB;
  in.erase_commands = {{0xD8, 64 * KiB}};
  in.max_clock_mhz = 33;
  in.timing = {20 * us, 3000, 10 * ms, 0, 0, 500 * ms, 16 * s};
  in.note = "2 MiB, 64 KiB blocks, no SFDP";
  c.push_back(in);

  FlashPartDatasheet es = s25;
  es.name = "F25L32PA";
  es.vendor = "ESMT";
  es.jedec_id = Jedec(0x8C, 0x20, 0x16);
  es.size = 4 * MiB;
  es.protection = ProtectionScheme::kSst25;
  es.power_up_status = 0x00;
  es.timing = {7 * us, 0, 0, 40 * ms, 40 * ms, 40 * ms, 40 * s};
  es.note = "4 MiB, byte program, no SFDP";
  c.push_back(es);

  FlashPartDatasheet lf = s25;
  lf.name = "SST25LF040A";
  lf.jedec_id = Jedec(0xBF, 0x44, 0xBF);
  lf.id_reply = {0xBF, 0x44, 0xBF, 0x44, 0xBF, 0x44};
  lf.size = 512 * KiB;
  lf.erase_commands = {{0x20, 4 * KiB}, {0x52, 32 * KiB}};
  lf.max_clock_mhz = 33;
  lf.timing = {20 * us, 0, 0, 25 * ms, 25 * ms, 25 * ms, 100 * ms};
  lf.note = "512 KiB; answers the identification read with its read-ID bytes (BF 44 repeated), no SFDP";
  c.push_back(lf);

  FlashPartDatasheet py = w;
  py.name = "P25Q128H";
  py.vendor = "Puya";
  py.jedec_id = Jedec(0x85, 0x60, 0x18);
  py.sfdp = BuildSfdp(py, {6, 0x30, true, false});
  py.timing = {30 * us, 2000, 8 * ms, 30 * ms, 100 * ms, 150 * ms, 30 * s};
  py.note = "16 MiB, a manufacturer the identification tables do not know";
  c.push_back(py);

  return c;
}

std::string Lower(std::string s) {
  for (char& ch : s) ch = char(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

}  // namespace

const std::vector<FlashPartDatasheet>& FlashCatalogue() {
  static const std::vector<FlashPartDatasheet> catalogue = BuildCatalogue();
  return catalogue;
}

const FlashPartDatasheet* LookupFlashPart(const std::string& name) {
  std::string want = Lower(name);
  for (auto& p : FlashCatalogue())
    if (Lower(p.name) == want) return &p;
  return nullptr;
}

const FlashPartDatasheet& FindFlashPart(const std::string& name) {
  if (const FlashPartDatasheet* p = LookupFlashPart(name)) return *p;
  std::string known;
  for (auto& p : FlashCatalogue()) known += (known.empty() ? "" : ", ") + p.name;
  throw std::runtime_error("unknown flash part '" + name + "' (the catalogue has " + known + ")");
}

}  // namespace sim
