// Loads a host driver image (.so built from the same sources as the .efi) with its own
// copy of module state, binds its platform seam to the board and finds its entry point.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "platform/host/HostBusOps.h"
#include "uefi/UefiSpec.h"

namespace sim {

class LoadedImage {
 public:
  static std::unique_ptr<LoadedImage> Load(const std::filesystem::path& file, const std::string& name,
                                           const HostBusOps* ops);
  ~LoadedImage();
  LoadedImage(const LoadedImage&) = delete;
  LoadedImage& operator=(const LoadedImage&) = delete;

  // An image whose entry point the simulator reaches through a native function (an
  // image running on the x86-64 emulator).
  static std::unique_ptr<LoadedImage> FromEntry(const std::string& name, EFI_IMAGE_ENTRY_POINT entry);

  const std::string& name() const { return name_; }
  EFI_IMAGE_ENTRY_POINT entry() const { return entry_; }
  EFI_HANDLE handle() { return &handle_storage_; }

 private:
  LoadedImage() = default;
  std::string name_;
  void* dl_ = nullptr;
  EFI_IMAGE_ENTRY_POINT entry_ = nullptr;
  int handle_storage_ = 0;
};

// Where the images of this build live (FWSIM_IMAGE_DIR overrides).
std::filesystem::path ImageDirectory();

// Which driver images a board boots: the host shared objects, or the PE32+ .efi files of
// the uefi build run on the x86-64 emulator. The defaults come from FWSIM_IMAGES (host |
// efi) and FWSIM_EFI_DIR; fwsim's --images and --efi-dir set them.
enum class ImageKind { kHost, kEfi };
struct DriverImageChoice {
  ImageKind kind = ImageKind::kHost;
  std::filesystem::path efi_dir;
};
DriverImageChoice& DriverImages();
// True when this build has the x86-64 emulator.
bool EmulatorAvailable();

}  // namespace sim
