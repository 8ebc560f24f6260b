// Reading what a user hands the simulator (a capture, a platform file) with
// bounds, and quoting it back safely in messages.
#pragma once

#include <cstddef>
#include <string>

namespace sim {

// A capture of 256 functions of 4 KiB each is about 1 MiB of text; a
// platform file is smaller still. Anything larger is not one of them.
inline constexpr size_t kMaxInputBytes = size_t{64} << 20;
// The longest line a capture holds is a header line with lspci's names.
inline constexpr size_t kMaxCaptureLine = 4096;

// "standard input" for "-", else the path.
std::string InputName(const std::string &path);

// The whole file ("-": standard input). Throws InputError naming the file
// when it cannot be read, is a directory, or holds more than kMaxInputBytes.
std::string ReadInputFile(const std::string &path);

// At most `length` characters of the text for a message: control and
// non-ASCII bytes as \xNN, "..." where it was cut.
std::string Excerpt(const std::string &text, size_t length = 40);

} // namespace sim
