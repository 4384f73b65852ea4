#include "sim/firmware/ImageLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

namespace sim {

namespace {
std::atomic<unsigned> gLoadCounter{0};
}

std::filesystem::path ImageDirectory() {
  if (const char* env = std::getenv("FWSIM_IMAGE_DIR")) return env;
#ifdef FW_IMAGE_DIR
  return FW_IMAGE_DIR;
#else
  return "images";
#endif
}

DriverImageChoice& DriverImages() {
  static DriverImageChoice choice = [] {
    DriverImageChoice c;
    const char* kind = std::getenv("FWSIM_IMAGES");
    c.kind = kind != nullptr && std::string(kind) == "efi" ? ImageKind::kEfi : ImageKind::kHost;
    const char* dir = std::getenv("FWSIM_EFI_DIR");
#ifdef FW_EFI_IMAGE_DIR
    c.efi_dir = dir ? dir : FW_EFI_IMAGE_DIR;
#else
    c.efi_dir = dir ? dir : "efi";
#endif
    return c;
  }();
  return choice;
}

bool EmulatorAvailable() {
#ifdef FW_EMULATION
  return true;
#else
  return false;
#endif
}

std::unique_ptr<LoadedImage> LoadedImage::FromEntry(const std::string& name, EFI_IMAGE_ENTRY_POINT entry) {
  std::unique_ptr<LoadedImage> image(new LoadedImage());
  image->name_ = name;
  image->entry_ = entry;
  return image;
}

std::unique_ptr<LoadedImage> LoadedImage::Load(const std::filesystem::path& file, const std::string& name,
                                               const HostBusOps* ops) {
  // Each load maps a private copy of the file, so a reloaded image starts from fresh module
  // state even if the dynamic loader keeps an earlier copy resident.
  auto temp = std::filesystem::temp_directory_path() /
              ("fwsim-" + std::to_string(getpid()) + "-" + std::to_string(gLoadCounter++) + "-" + name + ".so");
  std::filesystem::copy_file(file, temp, std::filesystem::copy_options::overwrite_existing);
  void* dl = dlopen(temp.c_str(), RTLD_NOW | RTLD_LOCAL);
  std::filesystem::remove(temp);
  if (dl == nullptr) throw std::runtime_error("cannot load image " + file.string() + ": " + dlerror());
  auto bind = reinterpret_cast<void (*)(const HostBusOps*)>(dlsym(dl, "FwImageBindPlatform"));
  auto entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(dlsym(dl, "FwImageEntry"));
  if (bind == nullptr || entry == nullptr) {
    dlclose(dl);
    throw std::runtime_error("image " + file.string() + " lacks its entry point");
  }
  bind(ops);
  std::unique_ptr<LoadedImage> image(new LoadedImage());
  image->name_ = name;
  image->dl_ = dl;
  image->entry_ = entry;
  return image;
}

LoadedImage::~LoadedImage() {
  if (dl_) dlclose(dl_);
}

}  // namespace sim
