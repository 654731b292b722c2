#!/usr/bin/env bash
# Installs with apt whatever this Debian machine lacks to build and test Verasko; does nothing
# when all is there. With --ci it also installs the 32-bit Windows cross compiler and the tools
# that build the Debian package.
set -euo pipefail

packages=(cmake g++ make libopencv-dev libgtest-dev python3-onnx)
if [ "${1:-}" = "--ci" ]; then
  packages+=(g++-mingw-w64-i686-posix dpkg-dev file clang-format)
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
