#!/usr/bin/env bash
# Installs the Debian packages the build needs, if any are missing; with
# arguments, those packages instead.
set -euo pipefail

packages=("$@")
((${#packages[@]})) || packages=(
  cmake ninja-build g++ clang lld
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev libclang-rt-14-dev libfmt-dev
  libpci-dev pci.ids pkg-config python3-jsonschema rapidjson-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
