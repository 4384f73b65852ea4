#include "sim/devices/PchLpc.h"

namespace sim {

namespace {
constexpr uint16_t kVendorIntel = 0x8086;
constexpr uint16_t kCommand = 0x04;
constexpr uint32_t kCommandWritable = 0x0007;  // I/O, memory, bus master
}  // namespace

PchLpc::PchLpc(uint16_t device_id) {
  cfg_.Put(0x00, 2, kVendorIntel);
  cfg_.Put(0x02, 2, device_id);
  cfg_.Put(kCommand, 2, 0x0007);
  cfg_.Put(0x08, 4, 0x06010010);  // ISA bridge, revision 0x10
  cfg_.Put(0x0E, 1, 0x80);        // multi-function device
}

uint32_t PchLpc::ConfigRead(uint16_t reg, unsigned bytes) { return cfg_.Get(reg, bytes); }

// Identification is read-only; only the command register takes writes.
void PchLpc::ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) {
  cfg_.Merge(kCommand, 2, kCommandWritable, reg, bytes, value);
}

}  // namespace sim
