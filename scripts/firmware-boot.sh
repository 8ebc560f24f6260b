#!/usr/bin/env bash
# Boots the EFI image in real UEFI firmware: QEMU (q35, TCG) with Debian's
# OVMF loads it from a FAT disk through the shell's startup.nsh. Under the
# emulator the image's S3 set-up finds MSR 0xC0010058 at 0, so start-up ends
# in fatal stop 0xA0867; this script checks that it gets exactly there, as
# the processor executes the image's own code:
#   - the shell runs the load command and the firmware reports no exception;
#   - port 0xE0 gets 0xDEAD as one 16-bit write, port 0x80 then 0x000A0867
#     as one 32-bit write, then at least two full turns of the rotating
#     display, and nothing else is written to either port;
#   - the image sits in memory away from its preferred base, its read-only
#     sections as in the file, every relocation applied, no pointer left in
#     the preferred range, and the processor runs its code.
#
# Usage: scripts/firmware-boot.sh [--self-test] [IMAGE]
#   --self-test  also boots three broken copies (wrong entry point, a missing
#                relocation, a 16-bit port write made 8-bit) and fails unless
#                the checks catch each of them.
set -euo pipefail
cd "$(dirname "$0")/.."

self_test=0
image=build/KelNbioPcieHXDxe.efi
for arg in "$@"; do
  case "$arg" in
    --self-test) self_test=1 ;;
    -*) echo "firmware-boot: unknown option $arg" >&2; exit 2 ;;
    *) image=$arg ;;
  esac
done

bash scripts/setup.sh qemu-system-x86 ovmf mtools dosfstools
if [[ ! -x build/tools/kel_bootcheck || ! -f $image ]]; then
  bash scripts/build.sh
fi
checker=build/tools/kel_bootcheck

ovmf_code=/usr/share/OVMF/OVMF_CODE_4M.fd
ovmf_vars=/usr/share/OVMF/OVMF_VARS_4M.fd
[[ -f $ovmf_code ]] || { ovmf_code=/usr/share/OVMF/OVMF_CODE.fd; ovmf_vars=/usr/share/OVMF/OVMF_VARS.fd; }

# Enough port accesses for three turns of the display: the 16-bit marker,
# then 19 32-bit writes that the byte-wide port 0x80 takes in four pieces.
wanted_accesses=$((1 + 4 * (1 + 3 * 6)))
boot_limit=50        # seconds for one boot, whatever happens
after_load_limit=8   # seconds after the load command without the display

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# boot IMAGE DIR: boots IMAGE and leaves in DIR what kel_bootcheck reads.
boot() {
  local img=$1 dir=$2
  mkdir -p "$dir"
  local disk=$dir/disk.img
  mkfs.fat -C -n KELBOOT "$disk" 2048 > /dev/null
  printf 'load fs0:\\KelNbioPcieHXDxe.efi\r\n' > "$dir/startup.nsh"
  cp "$img" "$dir/KelNbioPcieHXDxe.efi"
  mcopy -i "$disk" "$dir/KelNbioPcieHXDxe.efi" "$dir/startup.nsh" ::/
  cp "$ovmf_vars" "$dir/vars.fd"
  mkfifo "$dir/trace" "$dir/monitor" "$dir/serial.in" "$dir/serial.out"
  : > "$dir/ports.log"
  : > "$dir/serial.log"
  # QEMU writes its trace into a pipe; only the two post-code ports' lines
  # are kept, since the display loop writes them as fast as it can.
  grep --line-buffered -aE "addr 0x(e[0-3]|8[0-3]) " < "$dir/trace" > "$dir/ports.log" &
  local filter=$!
  cat "$dir/serial.out" > "$dir/serial.log" &
  local console=$!
  exec {mon}<> "$dir/monitor"
  exec {keys}<> "$dir/serial.in"
  local t0
  t0=$(date +%s%N)
  timeout "$boot_limit" qemu-system-x86_64 -machine q35,accel=tcg -m 256 -display none \
    -no-reboot -net none -chardev "pipe,id=console,path=$dir/serial" -serial chardev:console \
    -monitor stdio \
    -drive "if=pflash,format=raw,readonly=on,file=$ovmf_code" \
    -drive "if=pflash,format=raw,file=$dir/vars.fd" \
    -drive "format=raw,file=$disk,if=ide" \
    -trace memory_region_ops_write -D "$dir/trace" < "$dir/monitor" > "$dir/monitor.log" 2>&1 &
  local qemu=$!
  local start=$SECONDS loaded="" skipped="" first=""
  while kill -0 "$qemu" 2> /dev/null; do
    if [[ -z $first && -s $dir/ports.log ]]; then first=$(date +%s%N); fi
    # Any key but ESC ends the shell's five-second countdown before startup.nsh.
    if [[ -z $skipped ]] && grep -aq 'seconds to skip' "$dir/serial.log"; then
      printf ' ' >&"$keys"
      skipped=1
    fi
    (($(wc -l < "$dir/ports.log") >= wanted_accesses)) && break
    if [[ -z $loaded ]] && grep -aq 'load fs0:' "$dir/serial.log"; then loaded=$SECONDS; fi
    [[ -n $loaded ]] && ((SECONDS - loaded >= after_load_limit)) && break
    ((SECONDS - start >= boot_limit)) && break
    sleep 0.1
  done
  # The processor may be sampled outside the image (in the firmware's timer
  # interrupt, say); sample again until the memory around RIP holds it.
  local rip="" attempt
  rm -f "$dir/rip"
  for attempt in 1 2 3 4 5; do
    echo "info registers" >&"$mon"
    sleep 1
    rip=$(grep -aoE 'RIP=[0-9a-f]+' "$dir/monitor.log" | tail -1 | cut -d= -f2 || true)
    # No RIP, or the same one again: the processor is stopped, not passing by.
    [[ -n $rip && $rip != "$(cat "$dir/rip" 2> /dev/null)" ]] || break
    # 256 KiB around the instruction pointer holds the whole image.
    local from=$(((0x$rip & ~0xFFF) - 0x20000))
    ((from < 0)) && from=0
    printf '%x\n' "$from" > "$dir/memory-at"
    echo "$rip" > "$dir/rip"
    rm -f "$dir/memory.bin"
    echo "pmemsave $from 0x40000 \"$dir/memory.bin\"" >&"$mon"
    for _ in $(seq 50); do
      [[ -f $dir/memory.bin && $(stat -c %s "$dir/memory.bin") -ge 262144 ]] && break
      sleep 0.1
    done
    "$checker" --image "$img" --memory "$dir/memory.bin" --memory-at "0x$(cat "$dir/memory-at")" --rip "0x$rip" \
      > "$dir/memory-check.txt" || true
    grep -q "no copy of the image" "$dir/memory-check.txt" || break
    echo "RIP 0x$rip (sample $attempt) is not in the image; sampling again"
  done
  echo "quit" >&"$mon"
  wait "$qemu" 2> /dev/null || true
  exec {mon}>&- {keys}>&-
  wait "$filter" "$console" 2> /dev/null || true
  echo "booted in $((SECONDS - start)) s"
  if [[ -n $first ]]; then
    awk -v ns=$((first - t0)) 'BEGIN { printf "first write on the post-code ports %.2f s after QEMU started\n", ns / 1e9 }'
  fi
}

# judge DIR: runs the checks on what boot left in DIR.
judge() {
  local dir=$1
  local args=(--image "$dir/KelNbioPcieHXDxe.efi" --serial "$dir/serial.log" --ports "$dir/ports.log")
  if [[ -f $dir/memory.bin ]]; then
    args+=(--memory "$dir/memory.bin" --memory-at "0x$(cat "$dir/memory-at")" --rip "0x$(cat "$dir/rip")")
  else
    echo "  no memory dump: QEMU's monitor gave no RIP"
  fi
  "$checker" "${args[@]}"
}

boot "$image" "$work/image"
status=0
judge "$work/image" || status=1

if ((self_test)); then
  for fault in entry relocation width; do
    echo
    echo "== broken copy: $fault"
    "$checker" --image "$image" --break "$fault" --out "$work/broken-$fault.efi"
    boot "$work/broken-$fault.efi" "$work/$fault"
    if judge "$work/$fault" > "$work/$fault/verdict.txt"; then
      cat "$work/$fault/verdict.txt"
      echo "firmware-boot: the $fault fault went unnoticed"
      status=1
    else
      grep -E "FAIL" "$work/$fault/verdict.txt" | head -5
      echo "caught"
    fi
  done
fi
exit $status
