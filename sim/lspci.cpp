#include "sim/lspci.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <tuple>

#include <fmt/compile.h>
#include <fmt/format.h>

#include "sim/input_error.h"
#include "sim/input_file.h"

namespace sim {

namespace {

// Compiled on first use, not at start-up: most runs read no capture.
const std::regex &HeaderPattern() {
  static const std::regex header(
      R"(^(?:([0-9a-fA-F]{4}):)?([0-9a-fA-F]{2}):([0-9a-fA-F]{2})\.([0-7])(?:\s+(.*))?$)");
  return header;
}
const std::regex &RowPattern() {
  static const std::regex row(R"(^([0-9a-fA-F]{2,3}):((?: [0-9a-fA-F]{2}){1,16})\s*$)");
  return row;
}

std::string Trim(const std::string &s) {
  const auto b = s.find_first_not_of(" \t\r");
  const auto e = s.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::string Where(int line) { return "line " + std::to_string(line); }

void Finish(CapturedFunction &f, const std::string &name, int line) {
  if (f.bytes.size() == 64) {
    throw InputError(name, Where(line),
                     BdfText(f.bdf) + " has 64 bytes, what lspci shows a user without root: take "
                                      "the capture as root with lspci -xxxx");
  }
  if (f.bytes.size() != 256 && f.bytes.size() != 4096) {
    throw InputError(name, Where(line),
                     "truncated capture of " + BdfText(f.bdf) + ": " +
                         std::to_string(f.bytes.size()) +
                         " bytes, expected 256 (lspci -xxx) or 4096 (lspci -xxxx)");
  }
}

} // namespace

std::string BdfText(uint32_t bdf) {
  char buf[16];
  char *end = fmt::format_to(buf, FMT_COMPILE("{:02x}:{:02x}.{:x}"), (bdf >> 20) & 0xFF,
                                   (bdf >> 15) & 0x1F, (bdf >> 12) & 7);
  return std::string(buf, end);
}

bool ParseBdf(const std::string &text, uint32_t &bdf) {
  static const std::regex kBdf(R"(^([0-9a-fA-F]{1,2}):([0-9a-fA-F]{1,2})\.([0-7])$)");
  std::smatch m;
  if (!std::regex_match(text, m, kBdf)) {
    return false;
  }
  const unsigned device = std::stoul(m[2].str(), nullptr, 16);
  if (device > 31) {
    return false;
  }
  bdf = Bdf(std::stoul(m[1].str(), nullptr, 16), device, std::stoul(m[3].str(), nullptr, 16));
  return true;
}

// What lspci and its library print on standard error, which a capture made
// with 2>&1 carries: harmless, and no part of the capture.
bool IsToolMessage(const std::string &text) {
  return text.rfind("pcilib: ", 0) == 0 || text.rfind("lspci: ", 0) == 0;
}

std::vector<CapturedFunction> ParseLspci(std::istream &in, const std::string &name,
                                         std::vector<std::string> *warnings) {
  std::vector<CapturedFunction> out;
  CapturedFunction *current = nullptr;
  std::string raw;
  int line = 0;
  int lastLine = 0;
  while (std::getline(in, raw)) {
    ++line;
    if (raw.size() > kMaxCaptureLine) {
      throw InputError(name, Where(line),
                       "a line of " + std::to_string(raw.size()) + " characters, longer than any "
                       "capture holds: '" + Excerpt(raw) + "'");
    }
    if (line == 1 && raw.rfind("\xEF\xBB\xBF", 0) == 0) {
      raw.erase(0, 3); // a UTF-8 byte-order mark
    }
    const std::string text = Trim(raw);
    if (text.empty()) {
      continue;
    }
    if (IsToolMessage(text)) {
      if (warnings != nullptr) {
        warnings->push_back(Where(line) + ": skipped lspci's own message '" + Excerpt(text, 80) + "'");
      }
      continue;
    }
    // lspci -v prints its decoding indented under the function's header
    // line; only the header and the hex rows, both at the line's start,
    // carry the capture.
    if (current != nullptr && (raw[0] == '\t' || raw[0] == ' ')) {
      continue;
    }
    std::smatch m;
    if (std::regex_match(text, m, RowPattern())) {
      if (current == nullptr) {
        throw InputError(name, Where(line), "hex row before any function header line");
      }
      const size_t offset = std::stoul(m[1].str(), nullptr, 16);
      if (offset < current->bytes.size() || offset % 16 != 0) {
        throw InputError(name, Where(line),
                         "row at offset 0x" + m[1].str() + " is out of order or repeated");
      }
      // Some published captures lost a row; the gap reads as zero and is
      // reported, so that a user knows which registers are not real.
      if (offset > current->bytes.size()) {
        char gap[96];
        std::snprintf(gap, sizeof gap, "line %d: rows 0x%zx-0x%zx of %s missing: unknown, read as zero",
                      line, current->bytes.size(), offset - 1, BdfText(current->bdf).c_str());
        current->warnings.emplace_back(gap);
        current->missingRows.emplace_back(current->bytes.size(), offset);
        current->bytes.resize(offset, 0);
      }
      std::istringstream hex(m[2].str());
      std::string byte;
      size_t count = 0;
      while (hex >> byte) {
        current->bytes.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
        ++count;
      }
      if (count != 16) {
        throw InputError(name, Where(line), "hex row with " + std::to_string(count) +
                                                " bytes, expected 16");
      }
      lastLine = line;
      continue;
    }
    if (std::regex_match(text, m, HeaderPattern())) {
      if (current != nullptr) {
        Finish(*current, name, lastLine);
      }
      CapturedFunction f;
      f.domain = m[1].matched ? static_cast<uint16_t>(std::stoul(m[1].str(), nullptr, 16)) : 0;
      const unsigned device = std::stoul(m[3].str(), nullptr, 16);
      if (device > 31) {
        throw InputError(name, Where(line), "device number 0x" + m[3].str() + " above 0x1f");
      }
      f.bdf = Bdf(std::stoul(m[2].str(), nullptr, 16), device, std::stoul(m[4].str(), nullptr, 16));
      f.description = m[5].matched ? m[5].str() : "";
      f.line = line;
      for (const CapturedFunction &seen : out) {
        if (seen.domain == f.domain && seen.bdf == f.bdf) {
          throw InputError(name, Where(line), BdfText(f.bdf) + " is captured twice");
        }
      }
      out.push_back(std::move(f));
      current = &out.back();
      lastLine = line;
      continue;
    }
    throw InputError(name, Where(line),
                     "neither a function header nor a hex row: '" + Excerpt(text) + "'");
  }
  if (current != nullptr) {
    Finish(*current, name, lastLine);
  }
  if (out.empty()) {
    throw InputError(name, "line 1", "no function in the capture");
  }
  return out;
}

std::vector<CapturedFunction> ReadSysfs(const std::string &root) {
  namespace fs = std::filesystem;
  const fs::path devices = fs::path(root) / "sys/bus/pci/devices";
  std::error_code error;
  fs::directory_iterator it(devices, error);
  if (error) {
    throw InputError(devices.string(), "folder", "cannot be read: " + error.message());
  }
  static const std::regex name(R"(^([0-9a-fA-F]{4}):([0-9a-fA-F]{2}):([0-9a-fA-F]{2})\.([0-7])$)");
  std::vector<CapturedFunction> out;
  for (const fs::directory_entry &entry : it) {
    std::smatch m;
    const std::string text = entry.path().filename().string();
    if (!std::regex_match(text, m, name)) {
      continue;
    }
    CapturedFunction f;
    f.domain = static_cast<uint16_t>(std::stoul(m[1].str(), nullptr, 16));
    f.bdf = Bdf(std::stoul(m[2].str(), nullptr, 16), std::stoul(m[3].str(), nullptr, 16) & 0x1F,
                std::stoul(m[4].str(), nullptr, 16));
    f.description = "sysfs " + text;
    const fs::path config = entry.path() / "config";
    std::ifstream in(config, std::ios::binary);
    f.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    f.bytes.resize(std::min<size_t>(f.bytes.size(), 4096));
    // Linux gives a user without root the first 64 bytes only.
    if (f.bytes.size() <= 64) {
      throw InputError(config.string(), "file",
                       std::to_string(f.bytes.size()) + " bytes readable: run kelsim as root to "
                       "read each function's whole configuration space");
    }
    const size_t whole = f.bytes.size() <= 256 ? 256 : 4096;
    if (f.bytes.size() < whole) {
      f.missingRows.emplace_back(f.bytes.size(), whole);
      f.bytes.resize(whole, 0);
    }
    out.push_back(std::move(f));
  }
  std::sort(out.begin(), out.end(), [](const CapturedFunction &a, const CapturedFunction &b) {
    return std::tie(a.domain, a.bdf) < std::tie(b.domain, b.bdf);
  });
  if (out.empty()) {
    throw InputError(devices.string(), "folder", "holds no PCI function");
  }
  return out;
}

ConfigFunction FunctionFromCapture(const CapturedFunction &captured) {
  ConfigFunction f;
  std::copy(captured.bytes.begin(), captured.bytes.end(), f.data.begin());
  ApplyRegisterBehaviour(f);
  f.unknown = captured.missingRows;
  if (captured.bytes.size() < f.data.size()) {
    f.unknown.emplace_back(captured.bytes.size(), f.data.size());
  }
  return f;
}

} // namespace sim
