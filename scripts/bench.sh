#!/usr/bin/env bash
# The project's figures, measured (never asserted by a test):
#   1. accesses of one pass per step, reference and large platform, with
#      the hardware time they stand for at 1 us per configuration access;
#   2. simulated boots per second in process (Google Benchmark);
#   3. a whole kelsim process, text and JSON report (hyperfine);
#   4. batch throughput over 1,000 generated platform files, one and all
#      cores, and the memory peak of a process running one file;
#   5. the image against its 40 KiB budget (scripts/image-size.sh), which
#      fails this script when exceeded.
# The emulator side by side is scripts/bench-emulator.sh.
#
# Usage: scripts/bench.sh [FILES]   (default 1000 batch files)
set -euo pipefail
cd "$(dirname "$0")/.."

files=${1:-1000}
bash scripts/setup.sh hyperfine time
bash scripts/build.sh > /dev/null
kelsim=build/tools/kelsim
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== machine"
echo "$(nproc) cores, $(uname -m), $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
echo

sections=(--accesses --no-devices --no-features)
for platform in reference large; do
  flag=""
  [[ $platform == large ]] && flag=--large
  echo "== accesses of one pass, $platform platform"
  # The large platform fills the 16 KiB S3 table, so its run ends in
  # status 1 (fatal stop 0xA0744 for every record that no longer fits).
  { $kelsim $flag "${sections[@]}" || true; } | sed -n '/^-- accesses of the pass --$/,/^configuration accesses/p'
  echo
done

echo "== simulated boots in process (Google Benchmark; items_per_second = boots per second)"
build/bench/kel_bench --benchmark_min_time=1 2>&1 | grep -E "^BM_|Benchmark|WARNING"
echo

echo "== a whole kelsim process on the reference platform"
hyperfine -N --warmup 10 --runs 100 --style basic \
  "$kelsim" "$kelsim -q --json $work/report.json" "$kelsim -q --json $work/events.json --json-events" \
  2>&1 | grep -E "Benchmark|Time|Range"
echo "  report sizes: $(stat -c %s "$work/report.json") bytes, with the events $(stat -c %s "$work/events.json")"
echo

echo "== batch of $files generated platform files"
mkdir -p "$work/batch"
for ((i = 0; i < files; ++i)); do
  aspm=$(((i % 4) * 16))
  payload=$((i % 6))
  cat > "$work/batch/p$(printf %05d $i).json" << EOF
{
  "Description": "generated batch file $i",
  "Silicons": [{
    "SocketId": 0, "DieId": 0, "InstanceId": 0, "HostBridgeAddress": "00:00.0",
    "Wrappers": [{"WrapperId": 0, "WrapperFeatures": 12, "Engines": [
      {"StartLane": 0, "EndLane": 3, "PortPciAddress": "00:01.1", "PortLocation": "0x00",
       "MaxPayloadSize": $payload, "PortAspm": $aspm,
       "Devices": [{"Address": "01:00.0", "Model": "nvme"}]},
      {"StartLane": 4, "EndLane": 4, "PortPciAddress": "00:01.2", "PortLocation": "0x10",
       "ClkReqMap": 1, "PortPmOptions": "0x30", "PortControl": 2, "PortAspm": "0x30",
       "Devices": [{"Address": "02:00.0", "Model": "wifi"}]}
    ]}]
  }],
  "Pcd": {"67": true, "205": $((i % 6)), "1128": true},
  "Processor": {"PackageType": 16},
  "Events": ["SmmReadyToLock", "PciIoInstall", "ReadyToBoot"]
}
EOF
done
# Medians of ten runs each: a single run moved by a tenth from one try to
# the next, and the two workers' gain is a ratio of two such timings.
hyperfine -N -i --warmup 1 --runs 10 --export-csv "$work/batch.csv" \
  "$kelsim --batch $work/batch --jobs 1" "$kelsim --batch $work/batch --jobs $(nproc)" > /dev/null 2>&1
awk -F, -v n="$files" -v j="$(nproc)" 'NR > 1 {
    median[NR - 1] = $4
    printf "  --jobs %s: %.3f s (median of 10), %.0f files per second\n", NR == 2 ? 1 : j, $4, n / $4
  }
  END { printf "  %s workers: %.2f times one\n", j, median[1] / median[2] }' "$work/batch.csv"
for jobs in 1 "$(nproc)"; do
  $kelsim --batch "$work/batch" --jobs "$jobs" > "$work/batch-$jobs.txt" || true
done
tail -1 "$work/batch-1.txt" | sed 's/^/  /'
cmp -s "$work/batch-1.txt" "$work/batch-$(nproc).txt" && echo "  same lines in the same order on every job count"
peak=0
for f in $(ls "$work/batch"/*.json | head -20); do
  kb=$(/usr/bin/time -f %M "$kelsim" "$f" 2>&1 > /dev/null | tail -1)
  ((kb > peak)) && peak=$kb
done
echo "  memory peak of a kelsim process running one file: $peak KiB (largest of 20)"
echo

echo "== image"
bash scripts/image-size.sh
