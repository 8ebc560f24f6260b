#!/usr/bin/env bash
# Line coverage of the driver sources (base/ platform/ features/ ras/ driver/) that
# each fuzz target's corpus reaches. The targets are rebuilt with clang's
# source-based coverage and replay the corpus libFuzzer grew in
# build-fuzz/corpus-TARGET (scripts/fuzz.sh), or the seed corpus when there
# is none; llvm-cov then counts the driver's lines.
#   scripts/fuzz-coverage.sh [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/setup.sh llvm
flags="-fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B build-cov -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEL_BUILD_IMAGE=OFF -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
targets=("$@")
((${#targets[@]})) || targets=(lspci platform topology pass aer_service s3)
cmake --build build-cov --target "${targets[@]/%/_fuzz}" >/dev/null
mapfile -t driver < <(git ls-files base platform features ras driver)
printf '%-12s %8s %8s %7s  %s\n' target lines covered share corpus
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus-$target
  [[ -d $corpus ]] || corpus=fuzz/corpus/$target
  LLVM_PROFILE_FILE="build-cov/$target.profraw" "./build-cov/fuzz/${target}_fuzz" "$corpus" >/dev/null
  llvm-profdata merge -sparse "build-cov/$target.profraw" -o "build-cov/$target.profdata"
  # The TOTAL row: regions, missed, cover, functions, missed, executed,
  # lines, missed lines, line cover, ...
  llvm-cov report "./build-cov/fuzz/${target}_fuzz" -instr-profile="build-cov/$target.profdata" \
    "${driver[@]}" | awk -v t="$target" -v c="$corpus ($(ls "$corpus" | wc -l) inputs)" \
    '$1 == "TOTAL" { printf "%-12s %8d %8d %7s  %s\n", t, $8, $8 - $9, $10, c }'
done
