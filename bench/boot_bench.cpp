// How long a simulated boot takes: the driver's whole pass on the reference
// and the large platform, and a full kelsim run with its reports and S3
// resume check. Items per second are boots per second.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>

#include "sim/large_platform.h"
#include "sim/platform.h"
#include "sim/reference_platform.h"
#include "tools/kelsim/report.h"
#include "tools/kelsim/run.h"

namespace {

template <typename Build> void Boot(benchmark::State &state, Build build) {
  for (auto _ : state) {
    sim::Platform platform;
    build(platform);
    platform.LoadDriver();
    platform.InstallSmmReadyToLock();
    platform.InstallPciIo();
    platform.SignalReadyToBoot();
    benchmark::DoNotOptimize(platform.log.Events().size());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ReferencePlatformBoot(benchmark::State &state) {
  Boot(state, [](sim::Platform &p) { sim::BuildReferencePlatform(p); });
}
BENCHMARK(BM_ReferencePlatformBoot)->Unit(benchmark::kMillisecond);

void BM_LargePlatformBoot(benchmark::State &state) {
  Boot(state, [](sim::Platform &p) { sim::BuildLargePlatform(p); });
}
BENCHMARK(BM_LargePlatformBoot)->Unit(benchmark::kMillisecond);

// The pass alone, timed by hand around the PCI I/O installation that runs
// it: building the platform and loading the driver stay outside.
void BM_ReferencePassOnly(benchmark::State &state) {
  for (auto _ : state) {
    sim::Platform platform;
    sim::BuildReferencePlatform(platform);
    platform.LoadDriver();
    platform.InstallSmmReadyToLock();
    const auto start = std::chrono::steady_clock::now();
    platform.InstallPciIo();
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    benchmark::DoNotOptimize(platform.log.Events().size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReferencePassOnly)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_KelsimReferenceRun(benchmark::State &state) {
  for (auto _ : state) {
    const kelsim::RunResult result = kelsim::Run(kelsim::ReferenceScenario());
    benchmark::DoNotOptimize(kelsim::JsonText(result, {.events = true}).size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KelsimReferenceRun)->Unit(benchmark::kMillisecond);

} // namespace

// Fixed allocator thresholds. glibc raises its own only once a large block
// is freed, so whether every iteration mapped, faulted in and unmapped the
// 2 MB report afresh hung on what the process had freed before (loading
// pci.ids did), not on the code measured. A kelsim process writes its
// report once either way.
int main(int argc, char **argv) {
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
