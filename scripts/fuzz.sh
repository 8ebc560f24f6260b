#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer and the sanitizers, and runs
# each from its seed corpus for the given number of seconds (default 60), or
# for the given number of inputs from a fixed seed (repeatable: what CI runs).
#   scripts/fuzz.sh [SECONDS] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
runs="${2:-0}"
limits=(-max_total_time="$seconds")
if [[ $runs -gt 0 ]]; then
  limits=(-seed=1 -runs="$runs")
fi
bash scripts/setup.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEL_FUZZ=ON -DKEL_BUILD_IMAGE=OFF >/dev/null
targets=(lspci platform topology pass aer_service s3)
cmake --build build-fuzz --target "${targets[@]/%/_fuzz}"
for target in "${targets[@]}"; do
  work="build-fuzz/corpus-$target"
  mkdir -p "$work"
  cp -n fuzz/corpus/$target/* "$work"/ 2>/dev/null || true
  echo "fuzz: $target ${limits[*]}"
  log="build-fuzz/$target.log"
  status=0
  ./build-fuzz/fuzz/${target}_fuzz "${limits[@]}" -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/$target-" "$work" >"$log" 2>&1 || status=$?
  grep -E "^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added)|invariant broken|ERROR|SUMMARY" \
    "$log" || true
  if [[ $status -ne 0 ]]; then
    echo "fuzz: $target failed (status $status); its input is in build-fuzz/$target-*"
    exit 1
  fi
done
