#!/usr/bin/env bash
# The same driver image's start-up in real firmware under the emulator
# against its pass in the simulator, in one run, and their ratio:
#   - QEMU (q35, TCG) with Debian's OVMF, from start to the image's first
#     write on the post-code ports (scripts/firmware-boot.sh, the shell's
#     countdown skipped);
#   - a whole simulated boot of the reference platform in process (Google
#     Benchmark), which runs the image's sources through the full pass.
# A documented command, not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."

boot=$(bash scripts/firmware-boot.sh)
echo "$boot" | grep -E "first write|firmware boot"
qemu_s=$(echo "$boot" | awk '/first write on the post-code ports/ { print $7 }')
[[ -n $qemu_s ]] || { echo "bench-emulator: the image wrote nothing under QEMU" >&2; exit 1; }

sim_ms=$(build/bench/kel_bench --benchmark_filter='^BM_ReferencePlatformBoot$' \
  --benchmark_min_time=1 --benchmark_format=csv 2> /dev/null |
  awk -F, '/^"BM_ReferencePlatformBoot"/ { print $3 }')
echo "simulated boot of the reference platform in process: $sim_ms ms"
awk -v q="$qemu_s" -v s="$sim_ms" \
  'BEGIN { printf "emulator / simulator: %.0f times (%.2f s against %.3f ms)\n", q * 1000 / s, q, s }'
