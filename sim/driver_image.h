// Another driver image that carries this driver's library code: loaded from
// its own copy of the host module, so that its globals are its own, and
// started against the platform's firmware as the core dispatches a driver.
#pragma once

#include <string>

#include "arch/host/image_exports.h"
#include "sim/platform.h"

namespace sim {

class DriverImage {
public:
  // Loads a fresh copy of the module at `modulePath`; throws on failure.
  explicit DriverImage(const std::string &modulePath);
  ~DriverImage();
  DriverImage(const DriverImage &) = delete;
  DriverImage &operator=(const DriverImage &) = delete;

  EFI_STATUS Start(Platform &platform);
  void RecordedWrite32(uint32_t pciAddress, uint32_t value);

private:
  std::string copy_;
  void *handle_ = nullptr;
  const KelHostImage *image_ = nullptr;
  Platform *platform_ = nullptr;
};

} // namespace sim
