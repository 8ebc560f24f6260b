#!/usr/bin/env bash
# The main job: boots the driver on the built-in reference platform in the
# simulator and prints what it does. Extra arguments go to kelsim.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
exec ./build/tools/kelsim "$@"
