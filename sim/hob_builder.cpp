#include "sim/hob_builder.h"

#include <cstring>
#include <stdexcept>

namespace sim {

namespace {

void PutLe(std::vector<uint8_t> &b, uint64_t v, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) {
    b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
}

} // namespace

HobListBuilder &HobListBuilder::Generic(uint16_t type, std::vector<uint8_t> body) {
  // HOBs are 8-byte multiples.
  const size_t length = (8 + body.size() + 7) & ~size_t{7};
  if (length > 0xFFFF) {
    throw std::length_error("HOB longer than 64 KiB");
  }
  PutLe(bytes_, type, 2);
  PutLe(bytes_, length, 2);
  PutLe(bytes_, 0, 4);
  bytes_.insert(bytes_.end(), body.begin(), body.end());
  bytes_.resize(bytes_.size() + (length - 8 - body.size()), 0);
  return *this;
}

HobListBuilder &HobListBuilder::Guid(const EFI_GUID &guid, std::vector<uint8_t> data) {
  std::vector<uint8_t> body(sizeof guid);
  std::memcpy(body.data(), &guid, sizeof guid);
  body.insert(body.end(), data.begin(), data.end());
  return Generic(0x0004, std::move(body));
}

HobListBuilder &HobListBuilder::Heap(const HeapBuffer &h) {
  std::vector<uint8_t> data;
  PutLe(data, h.signature, 4);
  PutLe(data, h.handle, 4);
  PutLe(data, h.data.size(), 4);
  data.push_back(h.persist);
  data.push_back(h.valid);
  PutLe(data, 0, 2);
  data.insert(data.end(), h.data.begin(), h.data.end());
  return Guid(kHeapHobGuid, std::move(data));
}

std::vector<uint8_t> HobListBuilder::End() {
  PutLe(bytes_, 0xFFFF, 2);
  PutLe(bytes_, 8, 2);
  PutLe(bytes_, 0, 4);
  return bytes_;
}

} // namespace sim
