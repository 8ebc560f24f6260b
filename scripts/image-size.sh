#!/usr/bin/env bash
# The EFI image's size against its budget: file size, sections, and the
# largest functions and data items and object files from the link map.
# Fails when the image is over budget.
#
# Usage: scripts/image-size.sh [BUDGET_BYTES]   (default 40960, 40 KiB)
set -euo pipefail
cd "$(dirname "$0")/.."

budget=${1:-40960}
image=build/KelNbioPcieHXDxe.efi
map=build/KelNbioPcieHXDxe.map
[[ -f $image && -f $map ]] || bash scripts/build.sh > /dev/null

size=$(stat -c %s "$image")
echo "image: $image, $size bytes (budget $budget bytes, $((budget - size)) left)"
echo
echo "sections (virtual size, bytes):"
llvm-size -A "$image" | awk '$1 ~ /^\./ || $1 == "Total" { printf "  %-8s %6d\n", $1, $2 }'

# Publics by value: "SSSS:OOOOOOOO  symbol  address  [f] object". A symbol's
# size is the distance to the next symbol of its section.
symbols=$(awk '$1 ~ /^000[1-3]:[0-9a-fA-F]+$/ && $2 !~ /^[0-9a-fA-F]+H$/ {
  split($1, a, ":"); print a[1], a[2], $2, $NF }' "$map" | sort -k1,1 -k2,2)
sizes=$(echo "$symbols" | {
  prev_sec="" prev_off=0 prev_sym="" prev_obj=""
  while read -r sec off sym obj; do
    o=$((16#$off))
    if [[ $sec == "$prev_sec" ]]; then
      echo "$((o - prev_off)) $prev_sec $prev_sym $prev_obj"
    fi
    prev_sec=$sec prev_off=$o prev_sym=$sym prev_obj=$obj
  done
})
echo
echo "largest items (bytes, section 1 code, 2 read-only data, 3 data):"
echo "$sizes" | sort -rn | head -15 | awk '{ printf "  %6d  %s  %-40s %s\n", $1, $2, substr($3, 1, 40), $4 }'
echo
echo "by object file (bytes):"
echo "$sizes" | awk '{ total[$4] += $1 } END { for (o in total) printf "%d %s\n", total[o], o }' |
  sort -rn | head -12 | awk '{ printf "  %6d  %s\n", $1, $2 }'

if ((size > budget)); then
  echo
  echo "image-size: $size bytes is over the budget of $budget bytes" >&2
  exit 1
fi
