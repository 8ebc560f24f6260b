// The compiler emits calls to these for large zero-initialisations and
// structure copies; the freestanding image has no C library to supply them.
#include "uefi/base.h"

extern "C" {

void *memset(void *Destination, int Value, decltype(sizeof(0)) Count) {
  auto *Bytes = static_cast<volatile UINT8 *>(Destination);
  for (decltype(sizeof(0)) I = 0; I < Count; ++I) {
    Bytes[I] = static_cast<UINT8>(Value);
  }
  return Destination;
}

void *memcpy(void *Destination, const void *Source, decltype(sizeof(0)) Count) {
  auto *To = static_cast<volatile UINT8 *>(Destination);
  const auto *From = static_cast<const UINT8 *>(Source);
  for (decltype(sizeof(0)) I = 0; I < Count; ++I) {
    To[I] = From[I];
  }
  return Destination;
}

} // extern "C"
