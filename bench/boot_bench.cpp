// How long a simulated boot takes: the driver's whole pass on the reference
// platform, and a full kelsim run with its reports and S3 resume check.
#include <benchmark/benchmark.h>

#include "sim/platform.h"
#include "sim/reference_platform.h"
#include "tools/kelsim/report.h"
#include "tools/kelsim/run.h"

namespace {

void BM_ReferencePlatformBoot(benchmark::State &state) {
  for (auto _ : state) {
    sim::Platform platform;
    sim::BuildReferencePlatform(platform);
    platform.LoadDriver();
    platform.InstallSmmReadyToLock();
    platform.InstallPciIo();
    platform.SignalReadyToBoot();
    benchmark::DoNotOptimize(platform.log.Events().size());
  }
}
BENCHMARK(BM_ReferencePlatformBoot)->Unit(benchmark::kMillisecond);

void BM_KelsimReferenceRun(benchmark::State &state) {
  for (auto _ : state) {
    const kelsim::RunResult result = kelsim::Run(kelsim::ReferenceScenario());
    benchmark::DoNotOptimize(kelsim::ToJson(result).size());
  }
}
BENCHMARK(BM_KelsimReferenceRun)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
