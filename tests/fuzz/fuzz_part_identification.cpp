// Identification of the flash part from what the part and the descriptor say: the JEDEC id
// reply, the SFDP space, the flash descriptor (regions, component section, VSCC table) and
// the controller's VSCC registers. Whatever they hold, identification ends, selects a device
// record, and a read through that record stays inside the part.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>

#include "flash/device/FlashIdentification.h"
#include "tests/flash_device/support/FlashRig.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {
// Small parts keep each run short; the base part gives the erase, program and protection
// behaviour, the input its identity.
constexpr const char* kBaseParts[] = {"W25Q16JV", "SST25VF016B", "QH25F160S33", "SST25LF040A", "S25FL032P", "F25L32PA"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  sim::FlashPartDatasheet part = sim::FindFlashPart(in.PickValueInArray(kBaseParts));
  part.jedec_id = in.ConsumeIntegral<uint32_t>() & 0xFFFFFF;
  part.id_reply = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 8));
  const size_t sfdp_bytes = in.ConsumeIntegralInRange<size_t>(0, 0x200);
  if (in.ConsumeBool()) part.sfdp = in.ConsumeBytes<uint8_t>(sfdp_bytes);
  part.sfdp_leading_bytes = in.ConsumeIntegralInRange<uint32_t>(0, 2);

  flashtest::RigOptions options;
  if (in.ConsumeBool()) options.controller.vscc = in.ConsumeIntegral<uint32_t>();
  options.controller.vscc_locked = in.ConsumeBool();
  options.status = in.ConsumeIntegral<uint8_t>();

  // The descriptor and its VSCC table: the first 4 KiB of the image come from the input.
  std::vector<uint8_t> image = flashtest::BuildImage(flashtest::DefaultLayout(part.size));
  const std::vector<uint8_t> descriptor = in.ConsumeRemainingBytes<uint8_t>();
  std::copy_n(descriptor.begin(), std::min<size_t>(descriptor.size(), 0x1000), image.begin());

  flashtest::FlashRig rig(part, std::move(image), options);
  EFI_STATUS status = EFI_LOAD_ERROR;
  auto run = rig.cpu.Run([&] { status = IdentifyFlashPart(gSpiFlashDeviceLayer.FlashWindowBase); });
  if (run.outcome != sim::Cpu::Outcome::kReturned) fuzz::Finding("identification did not return: " + run.fault);
  FlashDeviceRecord* device = gSpiFlashDeviceLayer.SelectedFlashDevice;
  if (status != EFI_SUCCESS || device == nullptr) return 0;
  // One chunk from the top of the window, where the BIOS region ends on every layout.
  UINT8 chunk[64] = {};
  UINT32 remaining = sizeof chunk;
  run = rig.cpu.Run([&] { device->ReadChunk(0x100000000ULL - sizeof chunk, chunk, &remaining); });
  if (run.outcome != sim::Cpu::Outcome::kReturned) fuzz::Finding("a read through the selected device faulted: " + run.fault);
  return 0;
}
