// Output files that are whole or absent, and the check that no output is
// the same file as an input or as another output.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kelsim {

// Writes every (path, content) pair or none: each is written to a temporary
// file beside its target, flushed to disk, and renamed into place only when
// all are complete. A device or pipe (/dev/stdout, /dev/full) is written in
// place. Throws sim::InputError naming the file and the system's reason; no
// temporary file is left behind.
void WriteWholeFiles(const std::vector<std::pair<std::string, std::string>> &files);

struct NamedFile {
  std::string path;
  std::string role; // "platform file", "--json", ...
};

// The first output that is the same file as an input or as an earlier
// output (same device and inode where the file exists, else the same
// absolute path), as a message; empty when there is none.
std::string SameFileConflict(const std::vector<NamedFile> &inputs,
                             const std::vector<NamedFile> &outputs);

} // namespace kelsim
