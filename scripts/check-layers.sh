#!/usr/bin/env bash
# Checks that every include in the driver sources points to the same or a
# lower layer, bottom to top:
#   0 uefi/                    UEFI and PI types and protocols
#   1 arch/arch.h, arch/x64/   the processor interface, and its image side
#   2 base/                    topology descriptors and walks, driver-wide
#                              state, debug print
#   3 platform/                register access, PCI scan, S3 recording, PCDs,
#                              hooks, heap, SMU, post codes
#   4 features/ ras/           one step each: link features, NBIO steps, RAS
#   5 driver/                  image entry, constructor chain, sequencer
#   6 arch/host/               the host build's glue: the processor interface
#                              for the simulator and the image's exports
# and that only the host glue includes system headers (the rest is
# freestanding). Prints each include that breaks a rule; fails if any does.
#   scripts/check-layers.sh [ROOT]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

layer() {
  case $1 in
    uefi/*) echo 0 ;;
    arch/host/*) echo 6 ;;
    arch/*) echo 1 ;;
    base/*) echo 2 ;;
    platform/*) echo 3 ;;
    features/* | ras/*) echo 4 ;;
    driver/*) echo 5 ;;
    *) echo 99 ;; # outside the driver: never included by it
  esac
}

files=0 includes=0 broken=0
while IFS= read -r file; do
  ((++files))
  own=$(layer "$file")
  while IFS=: read -r line text; do
    ((++includes))
    if [[ $text =~ \#include\ \"([^\"]+)\" ]]; then
      target=${BASH_REMATCH[1]}
      to=$(layer "$target")
      if ((to > own)); then
        echo "$file:$line: includes $target, layer $to above its own layer $own"
        ((++broken))
      fi
    elif ((own != 6)); then
      echo "$file:$line: includes a system header ($text); only arch/host/ may"
      ((++broken))
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include' "$file" || true)
done < <(find uefi arch base platform features ras driver -name '*.h' -o -name '*.cpp' | sort)

if ((files == 0)); then
  echo "check-layers: no driver sources found" >&2
  exit 2
fi
if ((broken)); then
  echo "check-layers: $broken of $includes includes in $files files break the layering"
  exit 1
fi
echo "check-layers: $includes includes in $files files, each to the same or a lower layer"
