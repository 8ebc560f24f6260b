#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer and the sanitizers, and runs
# each for the given number of seconds (default 60) from its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/setup.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEL_FUZZ=ON -DKEL_BUILD_IMAGE=OFF >/dev/null
cmake --build build-fuzz --target lspci_fuzz platform_fuzz
for target in lspci platform; do
  work="build-fuzz/corpus-$target"
  mkdir -p "$work"
  cp -n fuzz/corpus/$target/* "$work"/ 2>/dev/null || true
  ./build-fuzz/fuzz/${target}_fuzz -max_total_time="$seconds" -max_len=8192 "$work"
done
