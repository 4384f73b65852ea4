// Built only by the register_field_codegen test, for the firmware target: pairs of
// functions that make the same register access, once through the typed register layer and
// once with the hand-written mask. The test disassembles the object and checks that each
// typed form is one load and one store, instruction for instruction the hand-written one.
#include "flash/device/SpiRegisters.h"
#include "pch/GpioPadRegisters.h"
#include "pch/P2sbRegisters.h"
// The target's own accessors, so that the volatile accesses inline as they do in an image.
#include "platform/target/TargetPlatform.cpp"

// The frame's enhanced configuration window at its default base, visible to the optimiser.
UINT64 PciExpressConfigAddress(UINT64 Offset) { return 0xE0000000 + Offset; }

using spi::HsfstsCtl;

extern "C" {

// A 64-byte read cycle started: FGO, FCYCLE and FDBC in the control half, one 16-bit store.
VOID TypedHsfstsCtlStartRead(UINT64 SpiBar) {
  MmioWrite16(SpiBar + HsfstsCtl::ControlHalf::kOffset,
              static_cast<UINT16>(HsfstsCtl::ControlHalf::Of(spi::HsfstsCtlCommand(spi::kFcycleRead, 64))));
}
VOID RawHsfstsCtlStartRead(UINT64 SpiBar) { MmioWrite16(SpiBar + 0x06, 0x3F01); }

// FGO set on the whole register with its write-1-to-clear status bits written as 0.
VOID TypedHsfstsCtlSetFgo(UINT64 SpiBar) {
  const UINT64 address = SpiBar + HsfstsCtl::kOffset;
  MmioWrite32(address, (MmioRead32(address) & ~HsfstsCtl::kW1c) | HsfstsCtl::Fgo::Make(1));
}
VOID RawHsfstsCtlSetFgo(UINT64 SpiBar) {
  const UINT64 address = SpiBar + 0x04;
  MmioWrite32(address, (MmioRead32(address) & ~0x7u) | 0x10000u);
}

// PAD_CFG_DW0.GPIOTXSTATE of a pad.
VOID TypedPadCfgDw0TxState(UINT64 PadCfgDw0Address, UINT32 High) {
  using TxState = PadCfgDw0::GpioTxState;
  MmioWrite32(PadCfgDw0Address, (MmioRead32(PadCfgDw0Address) & ~TxState::kMask) | TxState::Make(High));
}
VOID RawPadCfgDw0TxState(UINT64 PadCfgDw0Address, UINT32 High) {
  MmioWrite32(PadCfgDw0Address, (MmioRead32(PadCfgDw0Address) & ~1u) | (High & 1u));
}

// SBI_STAT.OPCODE of P2SB with the posted bit cleared, through the typed configuration access.
VOID TypedSbiStatOpcode(UINT32 Opcode) {
  using p2sb::SbiStat;
  const UINT16 status = PciConfigRead<SbiStat>(p2sb::kP2sb);
  PciConfigWrite<SbiStat>(p2sb::kP2sb, static_cast<UINT16>((status & ~(SbiStat::Posted::kMask | SbiStat::Opcode::kMask)) |
                                                           SbiStat::Opcode::Make(Opcode)));
}
VOID RawSbiStatOpcode(UINT32 Opcode) {
  const UINT64 address = 0xE00F90D8;  // 0:31:1, offset 0xD8
  MmioWrite16(address, static_cast<UINT16>((MmioRead16(address) & 0x7F) | ((Opcode & 0xFF) << 8)));
}

}  // extern "C"
