#!/usr/bin/env bash
# Builds the EFI image twice, from two copies of this commit in different
# folders, and fails unless the two images are the same bytes: nothing of
# the build's time or place may end up in the image. Prints the image's
# SHA-256, which a shipped image can be checked against.
#   scripts/reproducible-image.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for copy in first second/deeper; do
  mkdir -p "$work/$copy"
  git archive HEAD | tar -x -C "$work/$copy"
  cmake -S "$work/$copy" -B "$work/$copy/build" -G Ninja -DKEL_BUILD_TESTS=OFF >/dev/null
  cmake --build "$work/$copy/build" --target efi_image >/dev/null
done
a="$work/first/build/KelNbioPcieHXDxe.efi"
b="$work/second/deeper/build/KelNbioPcieHXDxe.efi"
if ! cmp "$a" "$b"; then
  echo "reproducible-image: two builds of one commit differ" >&2
  exit 1
fi
echo "reproducible-image: two builds in different folders are identical"
sha256sum "$a" | awk '{print "  sha256 " $1 "  KelNbioPcieHXDxe.efi"}'
