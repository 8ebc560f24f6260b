// Takes typed values off the front of a fuzz input; once the bytes run out
// every value reads as zero, so any input builds a complete platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

class FuzzInput {
public:
  FuzzInput(const uint8_t *data, size_t size) : data_(data), left_(size) {}

  template <typename T> T Integral() {
    static_assert(std::is_integral_v<T>);
    T v{};
    const size_t n = left_ < sizeof(T) ? left_ : sizeof(T);
    std::memcpy(&v, data_, n);
    data_ += n;
    left_ -= n;
    return v;
  }
  template <typename T> T InRange(T low, T high) {
    const uint64_t span = static_cast<uint64_t>(high) - static_cast<uint64_t>(low) + 1;
    return static_cast<T>(static_cast<uint64_t>(low) + Integral<uint32_t>() % span);
  }
  bool Bool() { return (Integral<uint8_t>() & 1) != 0; }
  template <typename T, size_t N> const T &Pick(const T (&values)[N]) {
    return values[InRange<size_t>(0, N - 1)];
  }
  size_t Remaining() const { return left_; }

private:
  const uint8_t *data_;
  size_t left_;
};
