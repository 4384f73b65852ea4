// Host-only: the table through which platform/host/ forwards every access of a driver
// image to the simulated board. The board fills it and hands it to each loaded image.
#pragma once

#include <cstdint>

struct HostBusOps {
  void* context;
  uint64_t (*mem_read)(void* context, uint64_t address, unsigned bytes);
  void (*mem_write)(void* context, uint64_t address, unsigned bytes, uint64_t value);
  uint32_t (*io_read)(void* context, uint16_t port, unsigned bytes);
  void (*io_write)(void* context, uint16_t port, unsigned bytes, uint32_t value);
  uint64_t (*msr_read)(void* context, uint32_t index);
  void (*msr_write)(void* context, uint32_t index, uint64_t value);
  void (*pause)(void* context);
  void (*cpuid)(void* context, uint32_t leaf, uint32_t out[4]);
  void (*flush_line)(void* context, uint64_t address);
  void (*wbinvd)(void* context);
};

// Exported by every host driver image (and by the host platform library in tests).
extern "C" void FwHostBindPlatform(const HostBusOps* ops);
