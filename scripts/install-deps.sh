#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing ornat-cli needs,
# skipping those already present. Run as root (or with sudo available).
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libzip-dev libcsv-dev liblzma-dev libzstd-dev libbz2-dev zlib1g-dev libssl-dev
  libgtest-dev clang libclang-rt-14-dev
  python3 python3-pytest curl tar zip unzip p7zip-full
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
