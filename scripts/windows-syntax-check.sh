#!/usr/bin/env bash
# Compiles every source for 32-bit Windows in syntax-only mode, so that the Windows branch of the
# console module keeps compiling on a machine without Windows.
set -euo pipefail
cd "$(dirname "$0")/.."
status=0
for source in src/*/*.cpp; do
  i686-w64-mingw32-g++-posix -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror \
    -Isrc -I/usr/include/opencv4 -DVERASKO_VERSION_MAJOR=1 -DVERASKO_VERSION_MINOR=0 -DVERASKO_VERSION_PATCH=0 "$source" || status=1
done
[ $status -eq 0 ] && echo "Windows syntax check: every source compiles."
exit $status
