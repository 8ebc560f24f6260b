// How long a simulated boot takes: the driver's whole pass on the reference
// and the large platform, and a full kelsim run with its reports and S3
// resume check. Items per second are boots per second.
#include <benchmark/benchmark.h>

#include <memory>

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

// The pass alone: the platform is built and the driver loaded outside the
// timed region.
void BM_ReferencePassOnly(benchmark::State &state) {
  std::unique_ptr<sim::Platform> platform;
  for (auto _ : state) {
    state.PauseTiming();
    platform.reset(); // one simulated firmware at a time
    platform = std::make_unique<sim::Platform>();
    sim::BuildReferencePlatform(*platform);
    platform->LoadDriver();
    platform->InstallSmmReadyToLock();
    state.ResumeTiming();
    platform->InstallPciIo();
    benchmark::DoNotOptimize(platform->log.Events().size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReferencePassOnly)->Unit(benchmark::kMillisecond);

void BM_KelsimReferenceRun(benchmark::State &state) {
  for (auto _ : state) {
    const kelsim::RunResult result = kelsim::Run(kelsim::ReferenceScenario());
    benchmark::DoNotOptimize(kelsim::ToJson(result).size());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KelsimReferenceRun)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
