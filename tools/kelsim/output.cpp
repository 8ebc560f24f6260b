#include "tools/kelsim/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#include "sim/input_error.h"

namespace kelsim {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string &path, const std::string &what, int error) {
  throw sim::InputError(path, "output", what + ": " + std::strerror(error));
}

bool WriteAll(int fd, const std::string &content) {
  const char *p = content.data();
  size_t left = content.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      if (n == 0) {
        errno = EIO;
      }
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

bool IsSpecialFile(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// A device or pipe cannot be replaced by a rename: written in place, every
// error reported.
void WriteInPlace(const std::string &path, const std::string &content) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    Fail(path, "cannot be opened for writing", errno);
  }
  const bool written = WriteAll(fd, content);
  const int error = errno;
  if (close(fd) != 0 && written) {
    Fail(path, "cannot be written", errno);
  }
  if (!written) {
    Fail(path, "cannot be written", error);
  }
}

struct Staged {
  std::string target;
  std::string temporary; // empty: written in place
};

// The content in a new file beside the target, with the target's
// permissions where it exists, else those a newly created file gets.
std::string Stage(const std::string &target, const std::string &content) {
  const fs::path t(target);
  std::string name = (t.parent_path() / ("." + t.filename().string() + ".kelsim-XXXXXX")).string();
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    Fail(target, "cannot create a temporary file beside it", errno);
  }
  const mode_t mask = umask(0);
  umask(mask);
  struct stat existing {};
  const mode_t mode = stat(target.c_str(), &existing) == 0 ? existing.st_mode & 07777 : 0666 & ~mask;
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, content) && fsync(fd) == 0;
  const int error = errno;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    unlink(name.c_str());
    Fail(target, "cannot be written", error != 0 ? error : errno);
  }
  return name;
}

std::optional<std::pair<dev_t, ino_t>> Identity(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  return std::pair{st.st_dev, st.st_ino};
}

bool SameFile(const std::string &a, const std::string &b) {
  const auto ia = Identity(a);
  const auto ib = Identity(b);
  if (ia && ib) {
    return *ia == *ib;
  }
  std::error_code error;
  return fs::weakly_canonical(a, error) == fs::weakly_canonical(b, error);
}

} // namespace

void WriteWholeFiles(const std::vector<std::pair<std::string, std::string>> &files) {
  std::vector<Staged> staged;
  try {
    for (const auto &[given, content] : files) {
      // A device or pipe is judged by what the name leads to: /dev/stdout
      // is a link to a pipe that has no path of its own.
      if (IsSpecialFile(given)) {
        staged.push_back({given, ""});
        WriteInPlace(given, content);
        continue;
      }
      // Through a symbolic link to the file it names: the link stays.
      std::error_code error;
      const std::string path = fs::is_symlink(given, error) && fs::exists(given, error)
                                   ? fs::canonical(given, error).string()
                                   : given;
      staged.push_back({path, Stage(path, content)});
    }
  } catch (...) {
    for (const Staged &s : staged) {
      if (!s.temporary.empty()) {
        unlink(s.temporary.c_str());
      }
    }
    throw;
  }
  for (size_t i = 0; i < staged.size(); ++i) {
    if (!staged[i].temporary.empty() &&
        rename(staged[i].temporary.c_str(), staged[i].target.c_str()) != 0) {
      const int error = errno;
      for (size_t j = i; j < staged.size(); ++j) {
        if (!staged[j].temporary.empty()) {
          unlink(staged[j].temporary.c_str());
        }
      }
      Fail(staged[i].target, "cannot be put in place", error);
    }
  }
}

std::string SameFileConflict(const std::vector<NamedFile> &inputs,
                             const std::vector<NamedFile> &outputs) {
  for (size_t i = 0; i < outputs.size(); ++i) {
    const NamedFile &out = outputs[i];
    if (out.path.empty() || IsSpecialFile(out.path)) {
      continue;
    }
    for (const NamedFile &in : inputs) {
      if (!in.path.empty() && SameFile(out.path, in.path)) {
        return out.role + " " + out.path + " is the " + in.role + " it reads; refusing to overwrite it";
      }
    }
    for (size_t j = 0; j < i; ++j) {
      if (!outputs[j].path.empty() && SameFile(out.path, outputs[j].path)) {
        return out.role + " " + out.path + " is also the " + outputs[j].role + "; give each output its own file";
      }
    }
  }
  return "";
}

} // namespace kelsim
