#!/usr/bin/env bash
# Installs a configured build into a scratch prefix (the library and the tool, then the logger
# stand-in) and moves the tree elsewhere, as a user may. Then, with nothing in the environment
# pointing at the tree (no LD_LIBRARY_PATH): runs the installed tool, and builds and runs
# tests/package/consumer.cpp against the moved prefix through the CMake package (Release and
# Debug) and through pkg-config. Also checks that a host's build is handed none of the
# library's private dependencies (asio, OpenSSL, zlib), and that every C++ snippet of the
# README and the guide compiles against the installed headers (scripts/test-snippets.sh). A broken install rule, run path or
# package file fails here.
#
#   scripts/test-package.sh <build dir>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/installed" >/dev/null
cmake --install "$build" --prefix "$work/installed" --component sdk >/dev/null
prefix="$work/moved/tidewire"
mkdir -p "$work/moved"
mv "$work/installed" "$prefix"

# As a user starts a program: a fresh environment with only the system's PATH.
clean() { env -i PATH=/usr/bin:/bin RELAYMATRIX_LOG_LEVEL=off "$@"; }

clean "$prefix/bin/tidewire" --help >/dev/null
echo "package: installed tool runs from a moved tree in a clean environment"

if grep -rnE '^[^#]*(ASIO|asio|OpenSSL|ZLIB)' "$prefix/lib/cmake" ||
    PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs relaymatrix-tidewire |
    grep -E 'ASIO|asio|-lssl|-lcrypto|-lz\b'; then
    echo "package: a private dependency of the library reaches the host's build (above)"
    exit 1
fi
echo "package: the host's build sees only the library and the SDK"

"$root/scripts/test-snippets.sh" "$prefix"

for type in Release Debug; do
    cmake -S "$root/tests/package" -B "$work/cmake-$type" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
        -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$work/cmake-$type" >/dev/null
    clean "$work/cmake-$type/consumer"
    echo "package: CMake consumer ($type) ran"
done

# A host linked by hand names the library's folder as its run path, or installs the tree
# where the loader looks anyway.
# shellcheck disable=SC2046
g++ -std=c++17 "$root/tests/package/consumer.cpp" -o "$work/pkgconfig-consumer" \
    $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs relaymatrix-tidewire \
        relaymatrix-sdk) -Wl,-rpath,"$prefix/lib"
clean "$work/pkgconfig-consumer"
echo "package: pkg-config consumer ran"
