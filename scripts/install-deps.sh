#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with.
# Idempotent: packages already present are skipped, and the package index is
# refreshed only when something has to be installed.
set -euo pipefail

PACKAGES=(
  # build
  cmake g++ clang pkg-config make
  # libraries
  libcrypto++-dev libudev-dev libxml2-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth dosfstools mtools
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
