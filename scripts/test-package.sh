#!/usr/bin/env bash
# Installs a configured build into a scratch prefix (the library and the tool, then the logger
# stand-in), runs the installed tool, and builds and runs tests/package/consumer.cpp against
# the prefix twice: through the CMake package and through pkg-config. A broken install rule
# or package file fails here.
#
#   scripts/test-package.sh <build dir>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null
cmake --install "$build" --prefix "$prefix" --component sdk >/dev/null
export LD_LIBRARY_PATH="$prefix/lib"
"$prefix/bin/tidewire" --help >/dev/null
echo "package: installed tool runs"

cmake -S "$root/tests/package" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
RELAYMATRIX_LOG_LEVEL=off "$work/cmake/consumer"
echo "package: CMake consumer ran"

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 "$root/tests/package/consumer.cpp" -o "$work/pkgconfig-consumer" \
    $(pkg-config --cflags --libs relaymatrix-tidewire relaymatrix-sdk)
RELAYMATRIX_LOG_LEVEL=off "$work/pkgconfig-consumer"
echo "package: pkg-config consumer ran"
