#!/usr/bin/env bash
# Installs Debian 12 packages, skipping those already present. Run as root
# (or with sudo available). Without arguments: the packages that building and
# testing ornat-cli needs; with arguments: those packages (the Windows
# scripts name theirs). Progress goes to stderr.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libcurl4-openssl-dev libzip-dev libcsv-dev liblzma-dev libzstd-dev libbz2-dev zlib1g-dev libssl-dev
  libgtest-dev clang libclang-rt-14-dev
  python3 python3-pytest python3-jsonschema time curl tar zip unzip p7zip-full
  ansible
  help2man dpkg-dev file lintian man-db bash-completion
)
if [ $# -gt 0 ]; then packages=("$@"); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >&2
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
