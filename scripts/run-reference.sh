#!/usr/bin/env bash
# The main job: boots the driver on the built-in reference platform in the
# simulator and prints what it does. Extra arguments go to kelsim (see
# docs/kelsim.md), e.g. a platform file or --json report.json.
set -euo pipefail
cd "$(dirname "$0")/.."
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
if ! bash scripts/build.sh >"$log" 2>&1; then
  cat "$log" >&2
  echo "run-reference: the build failed" >&2
  exit 1
fi
./build/tools/kelsim "$@"
