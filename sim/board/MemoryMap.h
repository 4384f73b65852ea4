// Physical memory map of the simulated board.
#pragma once

#include <cstdint>

namespace sim {

// Low RAM below the legacy video/BIOS hole: boot-services memory the shell and the OS
// loader leave behind (what a stray 0xB3 in EBX points into). Below 64 KiB the host cannot
// map a page at its physical address, so it is reached through the bus only.
constexpr uint64_t kLowRamBase = 0x00000000;
constexpr uint64_t kLowRamSize = 0x000A0000;

// RAM from 1 MiB. The OS-side tools place request records and data buffers in the arena,
// a firmware-reserved region handed to the operating system's flash tool; the
// boot-services pool is carved from the top.
constexpr uint64_t kOsRamBase = 0x00100000;
constexpr uint64_t kOsRamSize = 0x0FF00000;          // up to 256 MiB
constexpr uint64_t kOsToolArenaBase = 0x00100000;
constexpr uint64_t kOsToolArenaSize = 0x0BF00000;    // to 0x0C000000
constexpr uint64_t kBootPoolBase = 0x0C000000;
constexpr uint64_t kBootPoolSize = 0x04000000;       // to 0x10000000

// The operating system's own memory (conventional once boot services are gone).
constexpr uint64_t kOsConventionalBase = 0x10000000;
constexpr uint64_t kOsConventionalSize = 0x08000000;

// RAM right below and above TSEG, as on boards where TSEG sits at the top of low DRAM:
// ACPI NVS below it, firmware-reserved memory above it up to where the host's address
// sanitizer keeps its shadow (0x7FFF8000).
constexpr uint64_t kBelowTsegBase = 0x7E000000;
constexpr uint64_t kBelowTsegSize = 0x01000000;
constexpr uint64_t kAboveTsegBase = 0x7F800000;
constexpr uint64_t kAboveTsegSize = 0x007F0000;

// RAM above 4 GiB (reached through the bus only).
constexpr uint64_t kHighRamBase = 0x100000000ULL;
constexpr uint64_t kHighRamSize = 0x01000000;

// TSEG SMRAM, reported by EFI_SMM_ACCESS2_PROTOCOL as two ranges: the CPU's SMBASE /
// save-state pages, then the SMM core's pool.
constexpr uint64_t kTsegBase = 0x7F000000;
constexpr uint64_t kTsegSize = 0x00800000;
constexpr uint64_t kSmramSaveStateSize = 0x00010000;
constexpr uint64_t kSmramPoolBase = kTsegBase + kSmramSaveStateSize;
constexpr uint64_t kSmramPoolSize = kTsegSize - kSmramSaveStateSize;

// Boot-services RAM of the x86-64 emulator (boards that run the .efi images): service
// stubs, the emulated images' views of the firmware tables, the DXE stack and DXE images.
// SMM images sit in SMRAM from the SMM pool and run on the stack below the save states.
constexpr uint64_t kEmulatorRamBase = 0x70000000;
constexpr uint64_t kEmulatorRamSize = 0x01000000;
constexpr uint64_t kSmmStackBase = kTsegBase;
constexpr uint64_t kSmmStackSize = 0x00008000;

// Fixed windows of the PCH.
constexpr uint64_t kSidebandBase = 0xFD000000;       // SBREG_BAR, 16 MiB
constexpr uint64_t kSidebandSize = 0x01000000;
constexpr uint64_t kPwrmBase = 0xFE000000;           // PMC PWRMBASE (ETR3 at +0x1048)
constexpr uint64_t kPwrmSize = 0x00010000;
constexpr uint64_t kSpiBarDefault = 0xFE010000;      // SPI controller BAR0 after reset
constexpr uint64_t kSpiBarSize = 0x00001000;
constexpr uint64_t kFlashWindowBase = 0xFE000000;    // flash decode, BIOS region ends at 4 GiB
constexpr uint64_t kFlashWindowSize = 0x02000000;
constexpr uint64_t kHeciBarDefault = 0xFED1A000;
constexpr uint64_t kIoApicBase = 0xFEC00000;
constexpr uint64_t kIoApicSize = 0x00001000;
constexpr uint64_t kLocalApicBase = 0xFEE00000;      // with the MSI range: 1 MiB
constexpr uint64_t kLocalApicSize = 0x00100000;

// I/O ports.
constexpr uint16_t kCmosIndexPort = 0x70;
constexpr uint16_t kCmosDataPort = 0x71;
constexpr uint16_t kApmCntPort = 0xB2;               // software-SMI command port
constexpr uint16_t kApmStsPort = 0xB3;
constexpr uint16_t kResetControlPort = 0xCF9;
constexpr uint16_t kAcpiPmTimerPort = 0x1808;

constexpr unsigned kBoardCpuCount = 4;
// The save-state pages hold one 1 KiB save state per processor from TSEG + 0x8000 up to
// the end of the first SMRAM range: 32 processors.
constexpr unsigned kBoardMaxCpus = (kSmramSaveStateSize - 0x8000) / 0x400;

}  // namespace sim
