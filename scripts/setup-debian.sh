#!/usr/bin/env bash
# Installs what Tramelo needs to build, run and test on Debian 12. Run as root (or with sudo).
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-charts-dev libgl-dev
    qt6-tools-dev qt6-l10n-tools qt6-translations-l10n
    desktop-file-utils appstream dpkg-dev file man-db
    fonts-noto-cjk
    xvfb xauth imagemagick
    clang libclang-rt-14-dev
    stm32flash lpc21isp python3-serial
    libelf-dev gcc-arm-none-eabi binutils-arm-none-eabi sdcc
)
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
