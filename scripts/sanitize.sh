#!/usr/bin/env bash
# Builds the host library, simulator and tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the tests: out-of-bounds accesses, use
# after free, leaks and undefined behaviour fail them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKEL_BUILD_IMAGE=OFF \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$flags" >/dev/null
cmake --build build-sanitize
ctest --test-dir build-sanitize -j"$(nproc)" --output-on-failure
