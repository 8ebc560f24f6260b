// Command-line simulator: boots the driver on the built-in reference
// platform and prints its trace, post codes and hardware writes.
#include <cstdio>
#include <cstring>
#include <string>

#include "sim/platform.h"
#include "sim/reference_platform.h"

namespace {

void PrintUsage() {
  std::puts("usage: kelsim [--writes]\n"
            "  Boots the driver on the built-in reference platform, installs a PCI I/O\n"
            "  protocol instance to start the PCIe pass, and prints the driver's trace.\n"
            "  --writes   also print every configuration, SMN and port write in order");
}

} // namespace

int main(int argc, char **argv) {
  bool showWrites = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--writes") == 0) {
      showWrites = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage();
      return 0;
    } else {
      std::fprintf(stderr, "kelsim: unknown argument '%s'\n", argv[i]);
      PrintUsage();
      return 2;
    }
  }
  sim::Platform platform;
  sim::BuildReferencePlatform(platform);
  platform.LoadDriver();
  platform.InstallPciIo();
  int fatal = 0;
  for (const sim::Event &e : platform.log.Events()) {
    switch (e.kind) {
    case sim::EventKind::Debug:
      std::fputs(e.text.c_str(), stdout);
      break;
    case sim::EventKind::FatalStop:
      ++fatal;
      std::printf("[fatal stop 0x%08llx]\n", static_cast<unsigned long long>(e.value));
      break;
    case sim::EventKind::Fault:
      std::printf("[platform fault: %s]\n", e.text.c_str());
      break;
    case sim::EventKind::IoWrite:
    case sim::EventKind::CfgWrite:
    case sim::EventKind::SmnWrite:
      if (showWrites) {
        std::printf("    %s\n", sim::Describe(e).c_str());
      }
      break;
    default:
      break;
    }
  }
  return fatal != 0 ? 1 : 0;
}
