#!/usr/bin/env bash
# Installs with apt whatever this Debian machine lacks to build and test Verasko (the ONNX test
# data included, which the tests read where they hold a model to its expected outputs); does nothing
# when all is there. With --ci it also installs what the other builds need: the 32-bit and 64-bit
# Windows cross compilers and Wine, 32-bit and 64-bit, to run their tests (the 64-bit program
# stands in where the machine cannot run 32-bit code), the formatter, and the tools that build
# packages.
set -euo pipefail

packages=(cmake g++ make libopencv-dev libgtest-dev nlohmann-json3-dev python3-onnx
          libonnx-testdata)
if [ "${1:-}" = "--ci" ]; then
  packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386 wine64
             clang-format dpkg-dev file xz-utils)
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
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}" >/dev/null
