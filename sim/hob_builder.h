// Builds a HOB list (PI 1.8 Vol. 3, 5) as the earlier boot phase hands it over.
#pragma once

#include <cstdint>
#include <vector>

#include "uefi/uefi.h"

namespace sim {

inline constexpr EFI_GUID kHeapHobGuid = {
    0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};

struct HeapBuffer {
  uint32_t handle = 0;
  uint8_t persist = 0; // 8 = runtime pool
  uint8_t valid = 1;
  std::vector<uint8_t> data;
  uint32_t signature = 0x50414548; // "HEAP"
};

class HobListBuilder {
public:
  HobListBuilder &Generic(uint16_t type, std::vector<uint8_t> body);
  HobListBuilder &Guid(const EFI_GUID &guid, std::vector<uint8_t> data);
  HobListBuilder &Heap(const HeapBuffer &buffer);
  // Appends the end-of-list HOB and returns the list.
  std::vector<uint8_t> End();

private:
  std::vector<uint8_t> bytes_;
};

} // namespace sim
