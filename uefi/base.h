// Fixed-width types for code that builds freestanding (EFI image) and hosted.
#pragma once

using UINT8 = unsigned char;
using UINT16 = unsigned short;
using UINT32 = unsigned int;
using UINT64 = unsigned long long;
using INT8 = signed char;
using INT16 = short;
using INT32 = int;
using INT64 = long long;
using UINTN = UINT64;
using INTN = INT64;
using BOOLEAN = UINT8;
using CHAR8 = char;
using CHAR16 = char16_t;
using VOID = void;

static_assert(sizeof(UINT16) == 2 && sizeof(UINT32) == 4 && sizeof(UINT64) == 8);
static_assert(sizeof(void *) == 8, "the driver is built for x86-64 only");

#ifndef offsetof
#define offsetof(Type, Member) __builtin_offsetof(Type, Member)
#endif

inline constexpr BOOLEAN TRUE = 1;
inline constexpr BOOLEAN FALSE = 0;
