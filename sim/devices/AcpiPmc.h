// The PMC's ACPI register block in I/O space at ABASE (0x1800 on this board): PM1_STS,
// PM1_EN and PM1_CNT (ACPI fixed-feature events and sleep control) and SMI_EN/SMI_STS (the
// chipset's SMI sources). The PM timer at ABASE + 8 is a device of its own.
//
// What the chipset does with them:
// - PM1_STS and SMI_STS bits are sticky; software clears them by writing 1 (W1C).
//   SMI_STS.PM1_STS_REG is not a latch but reads 1 while an enabled PM1_STS bit is set.
// - A power-button press sets PWRBTN_STS. With PWRBTN_EN set it becomes an SCI when
//   PM1_CNT.SCI_EN is set (the OS owns it), otherwise an SMI.
// - Writing PM1_CNT with SLP_EN set starts the sleep state in SLP_TYP, unless
//   SMI_EN.SLP_SMI_EN is set: then the write is trapped, SLP_SMI_STS is set and an SMI is
//   raised instead; the SMI handler completes the entry later.
// - An SMI is raised only with SMI_EN.GBL_SMI_EN set, and only while EOS is set; raising
//   one clears EOS, and the SMI handler sets it again on its way out (end of SMI).
#pragma once

#include <cstdint>
#include <functional>

#include "sim/core/Device.h"

namespace sim {

class AcpiPmc : public IoDevice {
 public:
  static constexpr uint16_t kAbase = 0x1800;
  // Registers (offsets from ABASE) and their widths in bytes.
  static constexpr uint16_t kPm1Sts = 0x00;  // 16
  static constexpr uint16_t kPm1En = 0x02;   // 16
  static constexpr uint16_t kPm1Cnt = 0x04;  // 32
  static constexpr uint16_t kSmiEn = 0x30;   // 32
  static constexpr uint16_t kSmiSts = 0x34;  // 32

  // PM1_STS
  static constexpr uint16_t kTmrofSts = 1u << 0;
  static constexpr uint16_t kBmSts = 1u << 4;
  static constexpr uint16_t kGblSts = 1u << 5;
  static constexpr uint16_t kPwrbtnSts = 1u << 8;
  static constexpr uint16_t kRtcSts = 1u << 10;
  static constexpr uint16_t kPwrbtnorSts = 1u << 11;
  static constexpr uint16_t kWakSts = 1u << 15;
  static constexpr uint16_t kPm1StsW1c = kTmrofSts | kBmSts | kGblSts | kPwrbtnSts | kRtcSts | kPwrbtnorSts | kWakSts;
  // PM1_EN
  static constexpr uint16_t kTmrofEn = 1u << 0;
  static constexpr uint16_t kGblEn = 1u << 5;
  static constexpr uint16_t kPwrbtnEn = 1u << 8;
  static constexpr uint16_t kRtcEn = 1u << 10;
  static constexpr uint16_t kPm1EnWritable = kTmrofEn | kGblEn | kPwrbtnEn | kRtcEn;
  // PM1_CNT
  static constexpr uint32_t kSciEn = 1u << 0;
  static constexpr unsigned kSlpTypShift = 10;  // SLP_TYP 12:10
  static constexpr uint32_t kSlpTypMask = 7u << kSlpTypShift;
  static constexpr uint32_t kSlpEn = 1u << 13;  // write-only, reads 0
  static constexpr uint32_t kPm1CntWritable = kSciEn | (1u << 1) | (1u << 2) | kSlpTypMask;
  // SLP_TYP encodings of this PCH.
  static constexpr unsigned kSlpTypS0 = 0, kSlpTypS1 = 1, kSlpTypS3 = 5, kSlpTypS4 = 6, kSlpTypS5 = 7;
  // SMI_EN
  static constexpr uint32_t kGblSmiEn = 1u << 0;
  static constexpr uint32_t kEos = 1u << 1;
  static constexpr uint32_t kSlpSmiEn = 1u << 4;
  static constexpr uint32_t kApmcEn = 1u << 5;
  // SMI_STS
  static constexpr uint32_t kSlpSmiSts = 1u << 4;
  static constexpr uint32_t kApmSts = 1u << 5;
  static constexpr uint32_t kPm1StsReg = 1u << 8;  // read-only summary of PM1_STS & PM1_EN
  static constexpr uint32_t kSmiStsW1c = kSlpSmiSts | kApmSts;

  uint32_t IoRead(uint16_t port, unsigned bytes) override;
  void IoWrite(uint16_t port, unsigned bytes, uint32_t value) override;

  // The power button is pressed (PWRBTN# asserted long enough to be latched).
  void PressPowerButton();
  // The platform resumes from the sleep state it entered: WAK_STS is set.
  void Wake();

  // Raised when the chipset asserts SMI#.
  std::function<void()> on_smi;
  // Raised when the chipset starts a sleep state (SLP_TYP value).
  std::function<void(unsigned slp_typ)> on_sleep;

  uint16_t pm1_sts() const { return pm1_sts_; }
  uint16_t pm1_en() const { return pm1_en_; }
  uint32_t pm1_cnt() const { return pm1_cnt_; }
  uint32_t smi_en() const { return smi_en_; }
  uint32_t smi_sts() const { return SmiSts(); }
  unsigned sci_count() const { return sci_count_; }
  // SLP_TYP of the sleep state the platform is in, or kSlpTypS0 when running.
  unsigned sleep_state() const { return sleep_state_; }
  // Power-on values (a platform reset returns here).
  void OnReset();

 private:
  uint32_t SmiSts() const;
  uint32_t ReadRegister(uint16_t reg) const;
  void WriteRegister(uint16_t reg, uint32_t value, uint32_t byte_mask);
  void Evaluate();

  uint16_t pm1_sts_ = 0;
  uint16_t pm1_en_ = 0;
  uint32_t pm1_cnt_ = 0;
  uint32_t smi_en_ = kEos;
  uint32_t smi_sts_ = 0;  // latched sources (PM1_STS_REG is computed)
  unsigned sci_count_ = 0;
  unsigned sleep_state_ = kSlpTypS0;
};

}  // namespace sim
