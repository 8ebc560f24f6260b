// kel_bootcheck: judges a boot of the EFI image under QEMU and OVMF from the
// files scripts/firmware-boot.sh collects, or writes a deliberately broken
// copy of the image so the boot test can be seen to catch it.
#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include <fmt/format.h>

#include "tools/bootcheck/boot_check.h"

namespace {

std::string ReadText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Report(const std::string &title, const kel::bootcheck::Verdict &v) {
  std::cout << title << ": " << (v.passed ? "ok" : "FAILED") << "\n";
  for (const std::string &line : v.lines) {
    std::cout << "  " << line << "\n";
  }
  return v.passed;
}

int WriteBroken(const kel::pe::Image &image, const std::string &kind, const std::string &out) {
  const auto which = kel::bootcheck::ParseBreak(kind);
  if (!which) {
    std::cerr << "kel_bootcheck: unknown fault \"" << kind << "\"\n";
    return 2;
  }
  const auto bytes = kel::bootcheck::BreakImage(image, *which);
  if (!bytes) {
    std::cerr << "kel_bootcheck: the image has no place for the fault \"" << kind << "\"\n";
    return 2;
  }
  std::ofstream(out, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes->data()),
             static_cast<std::streamsize>(bytes->size()));
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  CLI::App app{"Checks a boot of the EFI image in QEMU with OVMF"};
  std::string imagePath, ports, serial, memory, breakKind, out;
  uint64_t memoryAt = 0, rip = 0;
  uint32_t code = 0xA0867;
  unsigned turns = 2;
  app.add_option("--image", imagePath, "the EFI image that was booted")->required();
  app.add_option("--ports", ports, "QEMU memory_region_ops_write trace of the ports");
  app.add_option("--serial", serial, "the firmware's serial console");
  app.add_option("--memory", memory, "physical memory saved around RIP (pmemsave)");
  app.add_option("--memory-at", memoryAt, "physical address of the saved memory");
  app.add_option("--rip", rip, "the instruction pointer when the memory was saved");
  app.add_option("--code", code, "the fatal-stop code expected on port 0x80");
  app.add_option("--turns", turns, "full turns of the display required");
  app.add_option("--break", breakKind, "write a copy with a fault: entry, relocation, width");
  app.add_option("--out", out, "where --break writes its copy");
  CLI11_PARSE(app, argc, argv);

  const auto image = kel::pe::Image::Load(imagePath);
  if (!image || !image->Valid()) {
    std::cerr << "kel_bootcheck: " << imagePath << " is not a PE image\n";
    return 2;
  }
  if (!breakKind.empty()) {
    return WriteBroken(*image, breakKind, out);
  }
  bool passed = true;
  const std::string name = imagePath.substr(imagePath.find_last_of('/') + 1);
  if (!serial.empty()) {
    passed &= Report("serial console", kel::bootcheck::CheckSerialConsole(ReadText(serial), name));
  }
  if (!ports.empty()) {
    std::istringstream trace(ReadText(ports));
    const auto writes =
        kel::bootcheck::AssembleWrites(kel::bootcheck::ParsePortTrace(trace), {0x80, 0xE0});
    passed &= Report(fmt::format("fatal stop 0x{:X} on the post-code ports", code),
                     kel::bootcheck::CheckFatalStopWrites(writes, code, turns));
  }
  if (!memory.empty()) {
    const std::string dump = ReadText(memory);
    passed &= Report("image in memory",
                     kel::bootcheck::CheckLoadedImage(
                         *image, std::vector<uint8_t>(dump.begin(), dump.end()), memoryAt, rip));
  }
  std::cout << (passed ? "firmware boot: passed\n" : "firmware boot: FAILED\n");
  return passed ? 0 : 1;
}
