// Register fields in datasheet numbering. A field is the inclusive bit range High:Low of
// its register as the datasheet draws it, whatever width the access that reaches it has:
// FGO is bit 16 of HSFSTS_CTL even where the control half is written with a 16-bit access
// at offset + 2. Everything here is constexpr arithmetic on constants, so a field write
// compiles to the same single load or store as a hand-written mask.
#pragma once

#include "uefi/UefiBaseType.h"

template <unsigned High, unsigned Low>
struct RegisterField {
  static_assert(High >= Low && High < 32, "fields are High:Low of a 32-bit register");
  static constexpr unsigned kHigh = High;
  static constexpr unsigned kLow = Low;
  static constexpr unsigned kWidth = High - Low + 1;
  static constexpr UINT32 kMask = static_cast<UINT32>(((1ULL << (High - Low + 1)) - 1) << Low);
  // The field's value in a register value.
  static constexpr UINT32 Get(UINT32 Register) { return (Register & kMask) >> Low; }
  // A register value with the field set to Value (Value must fit).
  static constexpr UINT32 Make(UINT32 Value) { return (Value << Low) & kMask; }
  static constexpr BOOLEAN Fits(UINT32 Value) { return (Value >> (High - Low + 1)) == 0 || High - Low == 31; }
};

template <unsigned Bit>
using RegisterBit = RegisterField<Bit, Bit>;

// The unsigned type of an access of Bytes bytes.
template <unsigned Bytes>
struct RegisterAccessWidth;
template <>
struct RegisterAccessWidth<1> {
  using Type = UINT8;
};
template <>
struct RegisterAccessWidth<2> {
  using Type = UINT16;
};
template <>
struct RegisterAccessWidth<4> {
  using Type = UINT32;
};

// A register of Bytes bytes at Offset of its block (configuration space, a BAR), reached
// with an access of its own width. Its fields are declared inside the deriving struct.
template <UINT64 Offset, unsigned Bytes>
struct Register {
  static constexpr UINT64 kOffset = Offset;
  using Value = typename RegisterAccessWidth<Bytes>::Type;
};

// The bytes of a 32-bit register that an access narrower than the register reaches: a
// lane of Bytes bytes starting at register bit LowBit (a multiple of 8).
template <UINT64 RegisterOffset, unsigned LowBit, unsigned Bytes>
struct RegisterLane {
  static_assert(LowBit % 8 == 0 && LowBit / 8 + Bytes <= 4, "a lane is whole bytes of the register");
  static constexpr UINT64 kOffset = RegisterOffset + LowBit / 8;
  using Value = typename RegisterAccessWidth<Bytes>::Type;
  static constexpr UINT32 kMask = static_cast<UINT32>(((1ULL << (8 * Bytes)) - 1) << LowBit);
  // What the lane carries of a register value, and the register bits a lane value stands for.
  static constexpr UINT32 Of(UINT32 Register) { return (Register & kMask) >> LowBit; }
  static constexpr UINT32 Into(UINT32 LaneValue) { return (LaneValue << LowBit) & kMask; }
};
