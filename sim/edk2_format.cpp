#include "sim/edk2_format.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <vector>
#include <utility>
#include <cstdio>
#include <cstring>

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

std::string Group(std::string_view digits) {
  std::string out;
  const size_t start = (!digits.empty() && digits[0] == '-') ? 1 : 0;
  for (size_t i = start; i < digits.size(); ++i) {
    if (i > start && (digits.size() - i) % 3 == 0) {
      out.push_back(',');
    }
    out.push_back(digits[i]);
  }
  return std::string(digits.substr(0, start)) + out;
}

// Appends body to out, padded to the directive's width.
void AppendPadded(std::string &out, std::string_view body, const Directive &s, bool numeric) {
  if (static_cast<int>(body.size()) >= s.width) {
    out += body;
    return;
  }
  const size_t fill = static_cast<size_t>(s.width) - body.size();
  if (s.left) {
    out += body;
    out.append(fill, ' ');
    return;
  }
  if (s.zero && numeric) {
    const size_t sign = (!body.empty() && (body[0] == '-' || body[0] == '+' || body[0] == ' '));
    out += body.substr(0, sign);
    out.append(fill, '0');
    out += body.substr(sign);
    return;
  }
  out.append(fill, ' ');
  out += body;
}

// A number's digits, after an optional sign character, in buf.
template <typename T> std::string_view Digits(char (&buf)[32], T value, int base, char sign = 0) {
  char *start = buf;
  if (sign != 0) {
    *start++ = sign;
  }
  const auto end = std::to_chars(start, buf + sizeof buf, value, base).ptr;
  return std::string_view(buf, static_cast<size_t>(end - buf));
}

// Numbers with thousands separators when the directive asks for them.
void AppendNumber(std::string &out, std::string_view digits, const Directive &s) {
  if (s.comma) {
    AppendPadded(out, Group(digits), s, true);
  } else {
    AppendPadded(out, digits, s, true);
  }
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

// Reads a directive's flags, width, precision and size after its '%';
// returns where its type character stands. A '*' takes its value from the
// arguments, as PrintLib does.
template <typename Args> const char *ParseDirective(const char *p, Directive &s, Args &args) {
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
    s.width = static_cast<int>(args.Word());
    ++p;
  }
  while (*p >= '0' && *p <= '9') {
    s.width = s.width * 10 + (*p++ - '0');
  }
  if (*p == '.') {
    ++p;
    s.precision = 0;
    if (*p == '*') {
      s.precision = static_cast<int>(args.Word());
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
  return p;
}

template <typename Args> std::string Format(const char *format, Args &args) {
  std::string out;
  out.reserve(96);
  for (const char *p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      const char *next = std::strchr(p, '%');
      const size_t run = next != nullptr ? static_cast<size_t>(next - p) : std::strlen(p);
      out.append(p, run);
      p += run - 1;
      continue;
    }
    Directive s;
    p = ParseDirective(p + 1, s, args);
    char buf[64];
    char num[32];
    switch (*p) {
    case '\0':
      return out;
    case '%':
      out.push_back('%');
      break;
    case 'd':
    case 'i': {
      const UINT64 raw = args.Word();
      const long long v = s.wide ? static_cast<long long>(raw) : static_cast<int>(raw);
      const char sign = v >= 0 && (s.plus || s.space) ? (s.plus ? '+' : ' ') : 0;
      AppendNumber(out, Digits(num, v, 10, sign), s);
      break;
    }
    case 'u': {
      const UINT64 raw = args.Word();
      const unsigned long long v = s.wide ? raw : static_cast<unsigned>(raw);
      AppendNumber(out, Digits(num, v, 10), s);
      break;
    }
    case 'x':
    case 'X': {
      const UINT64 raw = args.Word();
      const unsigned long long v = s.wide ? raw : static_cast<unsigned>(raw);
      const std::string_view digits = Digits(num, v, 16);
      if (*p == 'X') {
        for (size_t i = 0; i < digits.size(); ++i) {
          num[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(num[i])));
        }
      }
      Directive padded = s;
      padded.zero = s.zero || *p == 'X'; // EDK II pads %X with zeros
      AppendPadded(out, digits, padded, true);
      break;
    }
    case 'p': {
      const UINT64 v = args.Word();
      std::snprintf(buf, sizeof buf, "%016llX", static_cast<unsigned long long>(v));
      AppendPadded(out, buf, s, false);
      break;
    }
    case 'c': {
      const char c = static_cast<char>(args.Word());
      AppendPadded(out, std::string_view(&c, 1), s, false);
      break;
    }
    case 'a': {
      const char *str = args.Ascii();
      std::string_view text = str == nullptr ? "<null string>" : str;
      if (s.precision >= 0 && static_cast<size_t>(s.precision) < text.size()) {
        text = text.substr(0, static_cast<size_t>(s.precision));
      }
      AppendPadded(out, text, s, false);
      break;
    }
    case 's':
    case 'S': {
      const char16_t *str = args.Wide();
      std::string text;
      for (; str != nullptr && *str != 0; ++str) {
        text.push_back(*str < 0x80 ? static_cast<char>(*str) : '?');
      }
      AppendPadded(out, str == nullptr && text.empty() ? "<null string>" : text, s, false);
      break;
    }
    case 'g': {
      const EFI_GUID *g = args.Guid();
      if (g == nullptr) {
        out += "<null guid>";
        break;
      }
      std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", g->Data1,
                    g->Data2, g->Data3, g->Data4[0], g->Data4[1], g->Data4[2], g->Data4[3],
                    g->Data4[4], g->Data4[5], g->Data4[6], g->Data4[7]);
      AppendPadded(out, buf, s, false);
      break;
    }
    case 'r':
      AppendPadded(out, StatusText(args.Word()), s, false);
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

// The caller's argument list: 8 bytes a slot, pointers as passed.
struct LiveArgs {
  VA_LIST &list;
  uint64_t Word() { return VA_ARG(list, UINT64); }
  const char *Ascii() { return VA_ARG(list, const char *); }
  const char16_t *Wide() { return VA_ARG(list, const char16_t *); }
  const EFI_GUID *Guid() { return VA_ARG(list, const EFI_GUID *); }
};

// Words a string takes in a record: its length plus one (0: a null
// pointer), then its units and a terminating zero, padded to a word.
template <typename Unit>
void KeepUnits(std::vector<uint64_t> &record, const Unit *units, size_t count) {
  record.push_back(count + 1);
  const size_t at = record.size();
  record.resize(at + ((count + 1) * sizeof(Unit) + 7) / 8, 0);
  std::memcpy(record.data() + at, units, count * sizeof(Unit));
}

template <typename Unit> void KeepString(std::vector<uint64_t> &record, const Unit *str) {
  if (str == nullptr) {
    record.push_back(0);
    return;
  }
  size_t units = 0;
  while (str[units] != 0) {
    ++units;
  }
  KeepUnits(record, str, units);
}

// Notes the kind of each argument a directive takes.
struct ArgumentKinds {
  std::string kinds;
  uint64_t Word() {
    kinds.push_back('w');
    return 0;
  }
};

// Arguments read back from a record that KeepEdk2Arguments wrote.
class RecordArgs {
public:
  explicit RecordArgs(const uint64_t *at) : at_(at) {}
  uint64_t Word() { return *at_++; }
  const char *Ascii() {
    const uint64_t units = *at_++;
    const char *str = units == 0 ? nullptr : reinterpret_cast<const char *>(at_);
    at_ += (units + 7) / 8;
    return str;
  }
  const char16_t *Wide() {
    const uint64_t units = *at_++;
    if (units == 0) {
      return nullptr;
    }
    wide_.resize(units);
    std::memcpy(wide_.data(), at_, units * sizeof(char16_t));
    at_ += (units * sizeof(char16_t) + 7) / 8;
    return wide_.c_str();
  }
  const EFI_GUID *Guid() {
    if (*at_++ == 0) {
      return nullptr;
    }
    std::memcpy(&guid_, at_, sizeof guid_);
    at_ += 2;
    return &guid_;
  }

private:
  const uint64_t *at_;
  std::u16string wide_;
  EFI_GUID guid_{};
};

} // namespace

std::string FormatEdk2(const char *format, VA_LIST args) {
  LiveArgs live{args};
  return Format(format, live);
}

std::string Edk2ArgumentKinds(const char *format) {
  ArgumentKinds found;
  for (const char *p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p + 1, '%')) {
    Directive s;
    p = ParseDirective(p + 1, s, found);
    switch (*p) {
    case '\0':
      return found.kinds;
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'p':
    case 'c':
    case 'r':
      found.kinds.push_back('w');
      break;
    case 'a':
    case 's':
    case 'S':
    case 'g':
      found.kinds.push_back(*p == 'S' ? 's' : *p);
      break;
    default: // '%' and unknown directives take no argument
      break;
    }
  }
  return found.kinds;
}

void KeepEdk2Arguments(std::string_view kinds, VA_LIST args, std::vector<uint64_t> &record) {
  LiveArgs live{args};
  for (const char kind : kinds) {
    switch (kind) {
    case 'a':
      KeepString(record, live.Ascii());
      break;
    case 's':
      KeepString(record, live.Wide());
      break;
    case 'g': {
      const EFI_GUID *g = live.Guid();
      record.push_back(g != nullptr);
      if (g != nullptr) {
        record.resize(record.size() + 2);
        std::memcpy(record.data() + record.size() - 2, g, sizeof *g);
      }
      break;
    }
    default:
      record.push_back(live.Word());
      break;
    }
  }
}

void KeepEdk2String(std::string_view text, std::vector<uint64_t> &record) {
  KeepUnits(record, text.data(), text.size());
}

std::string FormatEdk2Kept(const char *format, const uint64_t *record) {
  RecordArgs args(record);
  return Format(format, args);
}

} // namespace sim
