// Pad registers of a GPIO community: PAD_CFG_DW0 and PAD_CFG_DW1 (16 bytes of configuration
// per pad from the group's DW0 offset) and PAD_OWN, with the fields this library writes.
// Fields are numbered as the 300/400-series PCH datasheets number them.
#pragma once

#include "platform/RegisterField.h"

// PAD_CFG_DW0..DW3 of pad n at the group's DW0 offset + 16 n + 4 d.
constexpr UINT32 kGpioPadConfigBytes = 16;
constexpr UINT32 kGpioPadConfigDwords = 4;

// PAD_CFG_DW0, pad configuration dword 0.
struct PadCfgDw0 {
  using GpioTxState = RegisterBit<0>;    // output state; guarded by PADCFGLOCKTX, the rest by PADCFGLOCK
  using GpioRxState = RegisterBit<1>;    // input state (read-only)
  using GpioTxDis = RegisterBit<8>;
  using GpioRxDis = RegisterBit<9>;
  using PMode = RegisterField<12, 10>;   // pad mode: 0 GPIO, 1-7 native functions
  using GpiRoutNmi = RegisterBit<17>;
  using GpiRoutSmi = RegisterBit<18>;
  using GpiRoutSci = RegisterBit<19>;
  using GpiRoutIoxApic = RegisterBit<20>;
  using RxInv = RegisterBit<23>;
  using RxEvCfg = RegisterField<26, 25>;  // 0 level, 1 edge, 2 drive 0, 3 both edges
  using RxRaw1 = RegisterBit<28>;
  using PadRstCfg = RegisterField<31, 30>;
  // PADRSTCFG values.
  static constexpr UINT32 kResetRsmrst = 0;
  static constexpr UINT32 kResetHostDeep = 1;
  static constexpr UINT32 kResetPltrst = 2;
};

// PAD_CFG_DW1, pad configuration dword 1.
struct PadCfgDw1 {
  using Term = RegisterField<13, 10>;  // termination (pull-up/down strength)
};

// PAD_OWN: four bits a pad, eight pads a register; bits 1:0 of a pad's nibble are its
// owner, 0 the host.
constexpr UINT32 kPadOwnPadsPerRegister = 8;
constexpr UINT32 kPadOwnBitsPerPad = 4;
using PadOwnOwner = RegisterField<1, 0>;
constexpr UINT32 kPadOwnerHost = 0;
