#include "sim/edk2_format.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <utility>
#include <cstdio>

namespace sim {

namespace {

struct Directive {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool comma = false;
  bool wide = false; // 'l' or 'L': 64-bit argument
  int width = 0;
  int precision = -1;
};

std::string Pad(std::string body, const Directive &s, bool numeric) {
  if (static_cast<int>(body.size()) >= s.width) {
    return body;
  }
  const size_t fill = static_cast<size_t>(s.width) - body.size();
  if (s.left) {
    return body + std::string(fill, ' ');
  }
  if (s.zero && numeric) {
    const size_t sign = (!body.empty() && (body[0] == '-' || body[0] == '+' || body[0] == ' '));
    return body.substr(0, sign) + std::string(fill, '0') + body.substr(sign);
  }
  return std::string(fill, ' ') + body;
}

template <typename T> std::string Digits(T value, int base) {
  char buf[24];
  const auto end = std::to_chars(buf, buf + sizeof buf, value, base).ptr;
  return std::string(buf, end);
}

std::string Group(std::string digits) {
  std::string out;
  const size_t start = (!digits.empty() && digits[0] == '-') ? 1 : 0;
  for (size_t i = start; i < digits.size(); ++i) {
    if (i > start && (digits.size() - i) % 3 == 0) {
      out.push_back(',');
    }
    out.push_back(digits[i]);
  }
  return digits.substr(0, start) + out;
}

std::string StatusText(uint64_t status) {
  static const char *const kErrors[] = {
      "Success",           "Load Error",       "Invalid Parameter", "Unsupported",
      "Bad Buffer Size",   "Buffer Too Small", "Not Ready",         "Device Error",
      "Write Protected",   "Out of Resources", "Volume Corrupt",    "Volume Full",
      "No Media",          "Media changed",    "Not Found",         "Access Denied",
      "No Response",       "No mapping",       "Time out",          "Not started",
      "Already started",   "Aborted",          "ICMP Error",        "TFTP Error",
      "Protocol Error"};
  const uint64_t code = status & ~(1ULL << 63);
  if ((status >> 63) == 0 && status == 0) {
    return kErrors[0];
  }
  if ((status >> 63) != 0 && code < sizeof kErrors / sizeof kErrors[0]) {
    return kErrors[code];
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s - %016llX", (status >> 63) ? "Error" : "Warning",
                static_cast<unsigned long long>(status));
  return buf;
}

} // namespace

std::string FormatEdk2(const char *format, VA_LIST args) {
  std::string out;
  out.reserve(96);
  for (const char *p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      const char *run = p;
      while (p[1] != '\0' && p[1] != '%') {
        ++p;
      }
      out.append(run, static_cast<size_t>(p - run + 1));
      continue;
    }
    Directive s;
    ++p;
    for (;; ++p) {
      if (*p == '-') {
        s.left = true;
      } else if (*p == '0') {
        s.zero = true;
      } else if (*p == '+') {
        s.plus = true;
      } else if (*p == ' ') {
        s.space = true;
      } else if (*p == ',') {
        s.comma = true;
      } else {
        break;
      }
    }
    if (*p == '*') {
      s.width = static_cast<int>(VA_ARG(args, UINTN));
      ++p;
    }
    while (*p >= '0' && *p <= '9') {
      s.width = s.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      s.precision = 0;
      if (*p == '*') {
        s.precision = static_cast<int>(VA_ARG(args, UINTN));
        ++p;
      }
      while (*p >= '0' && *p <= '9') {
        s.precision = s.precision * 10 + (*p++ - '0');
      }
    }
    while (*p == 'l' || *p == 'L') {
      s.wide = true;
      ++p;
    }
    char buf[64];
    switch (*p) {
    case '\0':
      return out;
    case '%':
      out.push_back('%');
      break;
    case 'd':
    case 'i': {
      const UINT64 raw = VA_ARG(args, UINT64);
      const long long v = s.wide ? static_cast<long long>(raw) : static_cast<int>(raw);
      std::string digits = Digits(v, 10);
      if (v >= 0 && (s.plus || s.space)) {
        digits.insert(digits.begin(), s.plus ? '+' : ' ');
      }
      out += Pad(s.comma ? Group(digits) : digits, s, true);
      break;
    }
    case 'u': {
      const UINT64 raw = VA_ARG(args, UINT64);
      const unsigned long long v = s.wide ? raw : static_cast<unsigned>(raw);
      out += Pad(s.comma ? Group(Digits(v, 10)) : Digits(v, 10), s, true);
      break;
    }
    case 'x':
    case 'X': {
      const UINT64 raw = VA_ARG(args, UINT64);
      const unsigned long long v = s.wide ? raw : static_cast<unsigned>(raw);
      std::string digits = Digits(v, 16);
      if (*p == 'X') {
        for (char &c : digits) {
          c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
      }
      Directive padded = s;
      padded.zero = s.zero || *p == 'X'; // EDK II pads %X with zeros
      out += Pad(std::move(digits), padded, true);
      break;
    }
    case 'p': {
      const UINT64 v = VA_ARG(args, UINT64);
      std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(v));
      out += Pad(buf, s, false);
      break;
    }
    case 'c': {
      const UINT64 v = VA_ARG(args, UINT64);
      out += Pad(std::string(1, static_cast<char>(v)), s, false);
      break;
    }
    case 'a': {
      const char *str = VA_ARG(args, const char *);
      std::string text = str == nullptr ? "<null string>" : str;
      if (s.precision >= 0 && static_cast<size_t>(s.precision) < text.size()) {
        text.resize(static_cast<size_t>(s.precision));
      }
      out += Pad(std::move(text), s, false);
      break;
    }
    case 's':
    case 'S': {
      const char16_t *str = VA_ARG(args, const char16_t *);
      std::string text;
      for (; str != nullptr && *str != 0; ++str) {
        text.push_back(*str < 0x80 ? static_cast<char>(*str) : '?');
      }
      out += Pad(str == nullptr && text.empty() ? "<null string>" : text, s, false);
      break;
    }
    case 'g': {
      const EFI_GUID *g = VA_ARG(args, const EFI_GUID *);
      if (g == nullptr) {
        out += "<null guid>";
        break;
      }
      std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g->Data1,
                    g->Data2, g->Data3, g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3],
                    g->Data4[4], g->Data4[5], g->Data4[6], g->Data4[7]);
      out += Pad(buf, s, false);
      break;
    }
    case 'r':
      out += Pad(StatusText(VA_ARG(args, UINT64)), s, false);
      break;
    default:
      // An unknown directive prints as written, as PrintLib does.
      out.push_back('%');
      out.push_back(*p);
      break;
    }
  }
  return out;
}

} // namespace sim
