// The PCH SPI controller at PCI 0:31:5: its configuration space (BAR0, BIOS_SPI_BC) and
// the memory registers behind BAR0 (hardware and software sequencing, FREG, FPR, FDOC/FDOD,
// VSCC, PTINX/PTDATA), with the direct-read path that serves the memory-mapped window.
//
// Every cycle is carried out as SPI transactions on the part at the simulated time it
// starts, and takes the transactions' bus time at the descriptor's SPI clock plus, for
// writes, erases and status writes, the part's busy time as the controller polls its
// status register. SCIP stays set until then; status reads before that see the cycle in
// progress. Cycles the controller refuses (region permissions, protected ranges, BIOS write
// protection, WRSDIS, forbidden opcodes) end at once with FCERR and are not issued.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "sim/core/Bus.h"
#include "sim/core/Device.h"
#include "sim/devices/FlashPart.h"
#include "sim/devices/SpiControllerDescriptor.h"

namespace sim {

// Board-level settings of the controller (what the boot firmware left behind).
struct SpiControllerConfig {
  uint16_t device_id = 0xA324;          // 300-series PCH-H
  uint32_t bios_control = 0x09;         // BIOS_SPI_BC as boot firmware left it: WPD, SRC = 10b
  bool flockdn = false;                 // HSFSTS_CTL.FLOCKDN set by the boot firmware
  bool wrsdis = false;                  // status-register writes disabled
  bool opcode_menu_locked = false;      // DLOCK.SSEQ_LOCKDN
  std::optional<uint32_t> vscc;         // VSCC value the boot firmware programmed
  bool vscc_locked = false;             // with the vendor component lock set
  // How long the sequencer polls a part that stays busy before it ends the cycle with
  // FCERR: longer than any block erase of the catalogue, shorter than a driver's bounded
  // wait for the cycle.
  uint64_t cycle_timeout_ns = 3'000'000'000ULL;
  // Software-sequencing opcode menu as boot firmware commonly programs it.
  uint32_t preop_optype = 0xB32D5006;
  uint32_t opmenu0 = 0x05030201;
  uint32_t opmenu1 = 0x0BD89F20;
};

class SpiController : public MmioDevice, public PciFunction {
 public:
  static constexpr uint64_t kDefaultBar = 0xFE010000;
  static constexpr uint64_t kBarSize = 0x1000;
  // SO as the controller samples it when the part does not drive it.
  static constexpr uint8_t kUndrivenByte = 0x00;
  static constexpr uint32_t kMsrInSmmStatus = 0x1FE;

  SpiController(Bus& bus, FlashPart& part, const SpiControllerConfig& config);
  ~SpiController() override;
  SpiController(const SpiController&) = delete;
  SpiController& operator=(const SpiController&) = delete;

  // Platform reset: registers reload from the descriptor in the flash.
  void Reset();

  // PciFunction
  uint32_t ConfigRead(uint16_t reg, unsigned bytes) override;
  void ConfigWrite(uint16_t reg, unsigned bytes, uint32_t value) override;
  // MmioDevice (the registers behind BAR0)
  uint64_t MmioRead(uint64_t offset, unsigned bytes) override;
  void MmioWrite(uint64_t offset, unsigned bytes, uint64_t value) override;
  // HSFSTS_CTL and SSFSTS_CTL hold still while their cycle runs.
  uint64_t ReadStableUntil(uint64_t offset, unsigned bytes) override;

  // Direct reads of the memory-mapped window: waits for a running cycle, then fetches the
  // 64-byte line that holds `linear` (one read transaction) unless the controller's read
  // buffer holds it already. Copies n bytes that lie in that line.
  void DirectRead(uint32_t linear, uint8_t* out, size_t n);

  void InvalidateReadBuffer() { line_valid_ = false; }

  // The BIOS region's last byte (the window's top) and the flash size.
  uint32_t bios_limit() const;
  const SpiControllerDescriptor& descriptor() const { return descriptor_; }
  uint64_t bar() const { return mapped_bar_; }
  uint32_t bios_spi_bc() const { return bc_; }
  uint32_t vscc(unsigned i) const { return vscc_[i]; }
  uint64_t bios_write_smis() const { return bios_write_smis_; }
  uint64_t hw_cycles() const { return hw_cycles_; }
  uint64_t sw_cycles() const { return sw_cycles_; }
  uint64_t refused_cycles() const { return refused_cycles_; }
  uint64_t status_polls() const { return status_polls_; }
  uint64_t line_fetches() const { return line_fetches_; }
  uint32_t spi_read_hz() const { return descriptor_.fast_read ? descriptor_.fast_read_hz : descriptor_.read_hz; }

 private:
  struct Cycle {
    bool active = false;
    uint64_t end_ns = 0;
    bool error = false;
    bool access_error = false;
    bool fills_fdata = false;
    std::array<uint8_t, 64> data{};
  };
  enum class Access { kRead, kWrite };

  uint64_t Now() const { return bus_.clock().Now(); }
  void Update();
  void Complete(Cycle& cycle, uint8_t* status, uint8_t done, uint8_t error, uint8_t access_error);
  [[gnu::noinline]] uint64_t ReadRegisters(uint64_t offset, unsigned bytes);
  uint32_t ReadDword(uint32_t offset);
  void WriteDword(uint32_t offset, uint32_t value, uint32_t mask);
  void WriteHsfsts(uint32_t value, uint32_t mask);
  void WriteSsfsts(uint32_t value, uint32_t mask);
  void Remap();

  // SPI transactions. Each returns the time the transaction ends.
  uint64_t Transact(uint64_t start, uint32_t hz, uint8_t opcode, int address_bytes, uint32_t address,
                    unsigned dummy_clocks, std::span<const uint8_t> out, std::span<uint8_t> in, bool* driven = nullptr);
  // Polls the status register until the part is ready; false when it times out.
  bool PollReady(uint64_t start, uint32_t hz, uint64_t* end);
  // Status-register preamble the VSCC asks for before writes and erases.
  bool WritePreamble(uint64_t* t);

  void StartHardwareCycle();
  void StartSoftwareCycle();
  bool Permitted(uint32_t linear, uint32_t bytes, Access access, bool* access_error) const;
  bool InSmmStatus() const;

  Bus& bus_;
  FlashPart& part_;
  SpiControllerConfig config_;
  SpiControllerDescriptor descriptor_;

  // Configuration space.
  uint32_t bar0_ = kDefaultBar;
  uint16_t command_ = 0x0006;  // memory space and bus master enabled by the boot firmware
  uint32_t bc_ = 0;
  uint64_t mapped_bar_ = 0;

  // Memory registers.
  uint16_t hsfsts_ = 0;
  uint16_t hsfctl_ = 0;
  uint32_t faddr_ = 0;
  uint32_t dlock_ = 0;
  std::array<uint8_t, 64> fdata_{};
  uint32_t frap_ = 0;
  std::array<uint32_t, 12> freg_{};
  std::array<uint32_t, 5> fpr_{};
  uint32_t gpr0_ = 0;
  uint8_t ssfsts_ = 0;
  uint32_t ssfctl_ = 0;  // bits 23:8 of SSFSTS_CTL, kept in place
  uint32_t preop_optype_ = 0;
  uint32_t opmenu_[2] = {0, 0};
  uint32_t fdoc_ = 0;
  uint32_t vscc_[2] = {0, 0};
  uint32_t ptinx_ = 0;

  Cycle hw_;
  Cycle sw_;
  uint64_t bus_free_ns_ = 0;

  // Direct-read buffer: one line.
  std::array<uint8_t, 64> line_{};
  uint32_t line_address_ = 0;
  bool line_valid_ = false;

  std::vector<uint8_t> sfdp_copy_;  // what the controller fetched at reset, for PTDATA
  uint64_t bios_write_smis_ = 0;
  uint64_t hw_cycles_ = 0;
  uint64_t sw_cycles_ = 0;
  uint64_t refused_cycles_ = 0;
  uint64_t status_polls_ = 0;
  uint64_t line_fetches_ = 0;
};

}  // namespace sim
