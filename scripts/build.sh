#!/usr/bin/env bash
# Configures and builds everything: host library, simulator, tests, EFI image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
