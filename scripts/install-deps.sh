#!/usr/bin/env bash
# Installs, on Debian or Ubuntu, whatever the build, the tests and the demo need and is missing,
# and the packages named as arguments (scripts/test-wine10.sh adds debootstrap this way).
# With --list, prints the packages it installs, one a line, and installs nothing.
set -euo pipefail

packages=(cmake ninja-build g++-mingw-w64-x86-64-posix googletest wine wine64 wixl bsdutils procps zip unzip
  osslsigncode openssl python3 perl)
if [ "${1:-}" = --list ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi
packages+=("$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi
