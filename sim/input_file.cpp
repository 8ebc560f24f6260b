#include "sim/input_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include <fmt/format.h>

#include "sim/input_error.h"

namespace sim {
namespace {

std::string Size(size_t bytes) { return fmt::format("{} MiB", bytes >> 20); }

// Reads up to one byte past the bound, so that an endless source (a pipe,
// /dev/zero) costs no more than the bound.
std::string ReadBounded(std::istream &in, const std::string &name) {
  std::string content;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    content.append(buffer, static_cast<size_t>(in.gcount()));
    if (content.size() > kMaxInputBytes) {
      throw InputError(name, "file", "holds more than " + Size(kMaxInputBytes) +
                                         "; a capture or platform file is far smaller");
    }
  }
  if (in.bad()) {
    throw InputError(name, "file", "could not be read to its end");
  }
  return content;
}

} // namespace

std::string InputName(const std::string &path) { return path == "-" ? "standard input" : path; }

std::string ReadInputFile(const std::string &path) {
  if (path == "-") {
    return ReadBounded(std::cin, InputName(path));
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    throw InputError(path, "file", std::string("cannot be read: ") + std::strerror(errno));
  }
  if (S_ISDIR(st.st_mode)) {
    throw InputError(path, "file", "is a directory, not a file");
  }
  if (S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) > kMaxInputBytes) {
    throw InputError(path, "file", fmt::format("is {} bytes; a capture or platform file is at "
                                               "most {}", st.st_size, Size(kMaxInputBytes)));
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw InputError(path, "file", std::string("cannot be read: ") + std::strerror(errno));
  }
  return ReadBounded(in, path);
}

std::string Excerpt(const std::string &text, size_t length) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : fmt::format("\\x{:02x}", c);
  }
  return text.size() > length ? out + "..." : out;
}

} // namespace sim
