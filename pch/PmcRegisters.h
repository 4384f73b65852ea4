// PMC (power management controller) registers of the 300/400-series PCH: ETR3 in the
// PWRMBASE window, the ACPI fixed-feature and SMI control registers in I/O space at ABASE,
// and reset control at I/O port 0xCF9 (RST_CNT). Header only: SpiFlashSmm's flash-update
// preparation and BoardSmiServiceSmm's reset use it without linking the PCH library.
#pragma once

#include "frame/PciConfig.h"

namespace pmc {

// ---- PWRMBASE (fixed by the board's firmware)
constexpr UINT64 kPwrmBase = 0xFE000000;
// The PMC's PCI function; its configuration space may be hidden (reads all ones).
constexpr PciFunction kPmc{0, 31, 2};
// PWRMBASE in the PMC's configuration space (Cannon Point and later: a 32-bit memory BAR at
// 0x10; Sunrise Point kept it at 0x48), decoding 64 KiB.
struct PwrmBaseRegister : Register<0x10, 4> {
  using Base = RegisterField<31, 16>;
};
// ETR3, extended test mode register 3.
struct Etr3 {
  static constexpr UINT64 kAddress = kPwrmBase + 0x1048;
  using Cf9gr = RegisterBit<20>;  // a reset through 0xCF9 becomes a global reset
};

// ---- ACPI registers at ABASE (I/O space)
constexpr UINT16 kAbase = 0x1800;
// PM1_STS (16 bits): status bits are write-1-to-clear.
struct Pm1Sts {
  static constexpr UINT16 kPort = kAbase + 0x00;
  using TmrofSts = RegisterBit<0>;
  using PwrbtnSts = RegisterBit<8>;
  using RtcSts = RegisterBit<10>;
  using WakSts = RegisterBit<15>;
};
// PM1_EN (16 bits).
struct Pm1En {
  static constexpr UINT16 kPort = kAbase + 0x02;
  using PwrbtnEn = RegisterBit<8>;
};
// PM1_CNT (32 bits): SLP_EN is write-only and reads 0.
struct Pm1Cnt {
  static constexpr UINT16 kPort = kAbase + 0x04;
  using SciEn = RegisterBit<0>;
  using SlpTyp = RegisterField<12, 10>;
  using SlpEn = RegisterBit<13>;
  // SLP_TYP encodings.
  static constexpr UINT32 kS0 = 0, kS1 = 1, kS3 = 5, kS4 = 6, kS5 = 7;
};
// PM1_TMR: the 24-bit ACPI PM timer, 3,579,545 Hz.
constexpr UINT16 kPm1TmrPort = kAbase + 0x08;
// SMI_EN (32 bits).
struct SmiEn {
  static constexpr UINT16 kPort = kAbase + 0x30;
  using GblSmiEn = RegisterBit<0>;
  using Eos = RegisterBit<1>;  // end of SMI: set by the handler to let the next SMI through
  using SlpSmiEn = RegisterBit<4>;
  using ApmcEn = RegisterBit<5>;
};
// SMI_STS (32 bits): latched sources are write-1-to-clear; PM1_STS_REG is read-only.
struct SmiSts {
  static constexpr UINT16 kPort = kAbase + 0x34;
  using SlpSmiSts = RegisterBit<4>;
  using ApmSts = RegisterBit<5>;
  using Pm1StsReg = RegisterBit<8>;
  static constexpr UINT32 kW1c = SlpSmiSts::kMask | ApmSts::kMask;
};

// ---- RST_CNT, reset control (I/O port 0xCF9, 8 bits)
struct RstCnt {
  static constexpr UINT16 kPort = 0xCF9;
  using SysRst = RegisterBit<1>;    // 0: soft (INIT#) reset, 1: hard reset
  using RstCpu = RegisterBit<2>;    // the 0 -> 1 transition starts the reset
  using FullRst = RegisterBit<3>;   // with SYS_RST: power cycle
};

}  // namespace pmc
