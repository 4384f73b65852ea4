#include "sim/devices/AcpiPmc.h"

namespace sim {

namespace {
struct Register {
  uint16_t offset;
  unsigned bytes;
};
constexpr Register kRegisters[] = {{AcpiPmc::kPm1Sts, 2}, {AcpiPmc::kPm1En, 2}, {AcpiPmc::kPm1Cnt, 4},
                                   {AcpiPmc::kSmiEn, 4},  {AcpiPmc::kSmiSts, 4}};
}  // namespace

uint32_t AcpiPmc::SmiSts() const {
  uint32_t v = smi_sts_;
  if (pm1_sts_ & pm1_en_ & kPwrbtnEn) v |= kPm1StsReg;
  return v;
}

uint32_t AcpiPmc::ReadRegister(uint16_t reg) const {
  switch (reg) {
    case kPm1Sts: return pm1_sts_;
    case kPm1En: return pm1_en_;
    case kPm1Cnt: return pm1_cnt_;
    case kSmiEn: return smi_en_;
    case kSmiSts: return SmiSts();
  }
  return 0;
}

// Byte-wise reads: a register can be read at any width and offset inside it.
uint32_t AcpiPmc::IoRead(uint16_t port, unsigned bytes) {
  uint32_t value = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    const uint16_t offset = static_cast<uint16_t>(port - kAbase + i);
    for (const Register& r : kRegisters)
      if (offset >= r.offset && offset < r.offset + r.bytes)
        value |= ((ReadRegister(r.offset) >> (8 * (offset - r.offset))) & 0xFF) << (8 * i);
  }
  return value;
}

void AcpiPmc::IoWrite(uint16_t port, unsigned bytes, uint32_t value) {
  for (const Register& r : kRegisters) {
    uint32_t reg_value = 0, byte_mask = 0;
    for (unsigned i = 0; i < bytes; ++i) {
      const uint16_t offset = static_cast<uint16_t>(port - kAbase + i);
      if (offset < r.offset || offset >= r.offset + r.bytes) continue;
      const unsigned shift = 8 * (offset - r.offset);
      reg_value |= ((value >> (8 * i)) & 0xFF) << shift;
      byte_mask |= 0xFFu << shift;
    }
    if (byte_mask != 0) WriteRegister(r.offset, reg_value, byte_mask);
  }
  Evaluate();
}

void AcpiPmc::WriteRegister(uint16_t reg, uint32_t value, uint32_t byte_mask) {
  value &= byte_mask;
  switch (reg) {
    case kPm1Sts:
      pm1_sts_ = static_cast<uint16_t>(pm1_sts_ & ~(value & kPm1StsW1c));
      break;
    case kPm1En:
      pm1_en_ = static_cast<uint16_t>((pm1_en_ & ~(byte_mask & kPm1EnWritable)) | (value & kPm1EnWritable));
      break;
    case kPm1Cnt: {
      pm1_cnt_ = (pm1_cnt_ & ~(byte_mask & kPm1CntWritable)) | (value & kPm1CntWritable);
      if ((value & kSlpEn) == 0) break;
      if ((smi_en_ & (kGblSmiEn | kSlpSmiEn)) == (kGblSmiEn | kSlpSmiEn)) {
        smi_sts_ |= kSlpSmiSts;  // trapped: the SMI handler completes the entry
      } else {
        sleep_state_ = (pm1_cnt_ & kSlpTypMask) >> kSlpTypShift;
        if (on_sleep) on_sleep(sleep_state_);
      }
      break;
    }
    case kSmiEn: {
      // EOS can only be set by software; the chipset clears it when it raises an SMI.
      const uint32_t writable = ~kEos;
      smi_en_ = (smi_en_ & ~(byte_mask & writable)) | (value & writable) | (value & kEos);
      break;
    }
    case kSmiSts:
      smi_sts_ &= ~(value & kSmiStsW1c);
      break;
  }
}

void AcpiPmc::PressPowerButton() {
  pm1_sts_ |= kPwrbtnSts;
  if ((pm1_en_ & kPwrbtnEn) && (pm1_cnt_ & kSciEn)) ++sci_count_;
  Evaluate();
}

void AcpiPmc::Wake() {
  if (sleep_state_ == kSlpTypS0) return;
  sleep_state_ = kSlpTypS0;
  pm1_sts_ |= kWakSts;
}

void AcpiPmc::Evaluate() {
  if ((smi_en_ & kGblSmiEn) == 0 || (smi_en_ & kEos) == 0) return;
  uint32_t sources = smi_sts_ & kSlpSmiSts;
  // With SCI_EN set the power button belongs to the OS (SCI), not to SMM.
  if ((pm1_cnt_ & kSciEn) == 0) sources |= SmiSts() & kPm1StsReg;
  if (sources == 0) return;
  smi_en_ &= ~kEos;
  if (on_smi) on_smi();
}

void AcpiPmc::OnReset() {
  pm1_sts_ = 0;
  pm1_en_ = 0;
  pm1_cnt_ = 0;
  smi_en_ = kEos;
  smi_sts_ = 0;
  sleep_state_ = kSlpTypS0;
}

}  // namespace sim
