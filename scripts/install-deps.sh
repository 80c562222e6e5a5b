#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing ornat-cli needs,
# skipping those already present. Run as root (or with sudo available).
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libzip-dev libcsv-dev liblzma-dev libzstd-dev libbz2-dev zlib1g-dev libssl-dev
  libgtest-dev clang libclang-rt-14-dev
  python3 python3-pytest curl tar zip unzip p7zip-full tftpd-hpa
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
# tftpd-hpa brings a service; it must not start (or fail to start) here.
if [ -d /usr/sbin ] && [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
  $SUDO chmod +x /usr/sbin/policy-rc.d
  trap '$SUDO rm -f /usr/sbin/policy-rc.d' EXIT
fi
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
