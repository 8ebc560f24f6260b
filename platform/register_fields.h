// Typed register descriptions: a register is its offset with the access width
// in its type; a field is its bit range high:low inside that width.
#pragma once

#include "uefi/base.h"

template <typename T> struct ConfigRegister {
  UINT16 Offset;
};

template <typename T, unsigned High, unsigned Low> struct RegisterField {
  static_assert(High >= Low && High < sizeof(T) * 8);
  static constexpr unsigned Width = High - Low + 1;
  static constexpr T Mask =
      static_cast<T>((Width == sizeof(T) * 8 ? ~0ULL : ((1ULL << Width) - 1)) << Low);

  static constexpr T Get(T Register) { return static_cast<T>((Register & Mask) >> Low); }
  static constexpr T Set(T Register, T Value) {
    return static_cast<T>((Register & ~Mask) | ((static_cast<T>(Value << Low)) & Mask));
  }
};

template <typename T, unsigned Bit> using RegisterBit = RegisterField<T, Bit, Bit>;
