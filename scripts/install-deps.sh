#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with.
# Idempotent: packages already present are skipped, and the package index is
# refreshed only when something has to be installed.
set -euo pipefail

PACKAGES=(
  # build
  cmake g++ clang pkg-config make
  # make fuzz: libFuzzer and the sanitizer runtimes for clang (only
  # recommended by clang, so not brought in with it here)
  libclang-rt-dev
  # libraries
  libcrypto++-dev libudev-dev libxml2-dev
  # GIO's D-Bus client: volumes of real drives unmount and mount through
  # udisks2 (GTK brings it in too; named for the port layer, which uses it)
  libglib2.0-dev
  # the skinned dialogs' window layer (GTK 3, cairo, pango, gdk-pixbuf) and
  # the AT-SPI client the window tests read them with
  libgtk-3-dev libatspi2.0-dev at-spi2-core dbus
  # fonts for every script of the programs' languages (Latin, Greek,
  # Cyrillic, Arabic, Hebrew, Vietnamese; Chinese, Japanese, Korean)
  fonts-dejavu-core fonts-noto-core fonts-noto-cjk
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth xdotool dosfstools mtools
  # the stand-in udisks2 service of the volume tests (GIO from Python)
  python3-gi
  # the volume backend's test against the real udisks2 (tests/system, run as
  # root): udisksd and udisksctl, systemd-udevd and udevadm for the device
  # database udisksd reads, mkfs.ext4 for the loop device's file system
  # (losetup and umount come with every system; dbus-daemon is above)
  udisks2 udev e2fsprogs
  # the locale sources the window tests compile the languages they show from
  locales
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
