#include "sim/driver_image.h"

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

namespace sim {

namespace {

std::atomic<int> gCopies{0};

} // namespace

DriverImage::DriverImage(const std::string &modulePath) {
  // The dynamic loader shares one instance per path; a copy of the file is
  // a separate image with separate data.
  namespace fs = std::filesystem;
  copy_ = (fs::temp_directory_path() /
           ("kel-image-" + std::to_string(::getpid()) + "-" + std::to_string(gCopies++) + ".so"))
              .string();
  fs::copy_file(modulePath, copy_, fs::copy_options::overwrite_existing);
  handle_ = dlopen(copy_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    fs::remove(copy_);
    throw std::runtime_error(std::string("cannot load driver image: ") + dlerror());
  }
  auto exports = reinterpret_cast<const KelHostImage *(*)()>(dlsym(handle_, "KelHostImageExports"));
  if (exports == nullptr) {
    dlclose(handle_);
    fs::remove(copy_);
    throw std::runtime_error("driver image without KelHostImageExports");
  }
  image_ = exports();
}

DriverImage::~DriverImage() {
  if (image_ != nullptr) {
    image_->Bind(nullptr);
  }
  dlclose(handle_);
  std::filesystem::remove(copy_);
}

EFI_STATUS DriverImage::Start(Platform &platform) {
  platform_ = &platform;
  image_->Bind(&platform);
  image_->Reset();
  static int imageHandle;
  return image_->EntryPoint(&imageHandle, platform.firmware.SystemTable());
}

void DriverImage::RecordedWrite32(uint32_t pciAddress, uint32_t value) {
  image_->RecordedWrite32(pciAddress, value);
}

} // namespace sim
