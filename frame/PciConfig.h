// PCI configuration space through the PCI Express enhanced configuration window, and the
// registers of the type 0 configuration header that every PCH function shares.
#pragma once

#include "platform/Platform.h"
#include "platform/RegisterField.h"

// The window's address of a function's register (bus 27:20, device 19:15, function 14:12).
UINT64 PciExpressConfigAddress(UINT64 Offset);

constexpr UINT64 PciConfigOffset(UINT64 Bus, UINT64 Device, UINT64 Function, UINT64 Register) {
  return (Bus << 20) | (Device << 15) | (Function << 12) | Register;
}

// A PCI function by bus, device and function number.
struct PciFunction {
  UINT8 Bus;
  UINT8 Device;
  UINT8 Function;
  constexpr UINT64 ConfigOffset(UINT64 Register) const { return PciConfigOffset(Bus, Device, Function, Register); }
};

// Configuration access of register R (a Register or a RegisterLane) of function F, with
// the access width R declares.
template <typename R>
typename R::Value PciConfigRead(PciFunction F) {
  const UINT64 address = PciExpressConfigAddress(F.ConfigOffset(R::kOffset));
  if constexpr (sizeof(typename R::Value) == 1) return MmioRead8(address);
  else if constexpr (sizeof(typename R::Value) == 2) return MmioRead16(address);
  else return MmioRead32(address);
}
template <typename R>
VOID PciConfigWrite(PciFunction F, typename R::Value Value) {
  const UINT64 address = PciExpressConfigAddress(F.ConfigOffset(R::kOffset));
  if constexpr (sizeof(typename R::Value) == 1) MmioWrite8(address, Value);
  else if constexpr (sizeof(typename R::Value) == 2) MmioWrite16(address, Value);
  else MmioWrite32(address, Value);
}

namespace pci {

// A function that is absent, or hidden (P2SB), reads all ones in its identifiers.
constexpr UINT16 kAbsentId = 0xFFFF;
struct VendorId : Register<0x00, 2> {};
struct DeviceId : Register<0x02, 2> {};

// PCICMD, command (16 bits).
struct Command : Register<0x04, 2> {
  using Mse = RegisterBit<1>;  // memory space enable
  using Bme = RegisterBit<2>;  // bus master enable
  using LowByte = RegisterLane<kOffset, 0, 1>;  // bits 7:0
};

// Base address registers 0 and 1 (32 bits each); a 64-bit memory BAR 0 has its upper
// address half in BAR 1.
struct Bar0 : Register<0x10, 4> {};
struct Bar1 : Register<0x14, 4> {};
// Layout of a memory BAR.
struct MemoryBar {
  using IoSpace = RegisterBit<0>;        // 0: memory BAR
  using Type = RegisterField<2, 1>;      // decode width
  using Prefetchable = RegisterBit<3>;
  using Base = RegisterField<31, 4>;     // address bits 31:4, as many as the BAR's size leaves writable
  // TYPE values.
  static constexpr UINT32 kType32 = 0;   // anywhere below 4 GiB
  static constexpr UINT32 kType64 = 2;   // upper half in the next BAR
  // A memory BAR that decodes 32 bits of address.
  static constexpr BOOLEAN Is32BitMemory(UINT32 Bar) {
    return (Bar & (IoSpace::kMask | Type::kMask)) == (IoSpace::Make(0) | Type::Make(kType32));
  }
};

}  // namespace pci
