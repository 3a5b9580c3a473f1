#!/usr/bin/env bash
# Installs the Debian packages the project needs. Skips apt entirely when everything is
# present, so repeated runs are quick.
#
#   scripts/deps.sh          everything the tests need (the default; scripts/test.sh)
#   scripts/deps.sh build    only what building the library, the tool and the examples
#                            needs (scripts/demo.sh)
set -euo pipefail

mode="${1:-all}"
case "$mode" in
    all | build) ;;
    *) echo "usage: scripts/deps.sh [build]" >&2; exit 2 ;;
esac

packages=(cmake ninja-build pkg-config g++ libasio-dev libssl-dev zlib1g-dev openssl ca-certificates)
if [[ "$mode" == all ]]; then
    # Sanitizer and fuzz builds, formatting, the test suite, the benchmarks and the
    # independent peers of the interop tests.
    packages+=(
        clang clang-format libclang-rt-14-dev
        libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
        python3 python3-websockets
        chromium
    )
    # node and npm run the interop peers; Debian's packages only where nothing provides them.
    if ! command -v npm >/dev/null 2>&1; then
        packages+=(nodejs npm)
    fi
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    sudo_cmd=()
    if [[ $(id -u) -ne 0 ]]; then
        sudo_cmd=(sudo)
    fi
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[[ "$mode" == all ]] || exit 0

# npm packages of the interop tests (tests/interop/package-lock.json), installed again only
# when the lock file differs from the one the installed tree was made from.
interop="$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/interop" && pwd)"
if ! cmp -s "$interop/package-lock.json" "$interop/node_modules/.installed-lock.json"; then
    echo "Installing npm packages in $interop"
    npm ci --prefix "$interop" --no-audit --no-fund --loglevel=error
    cp "$interop/package-lock.json" "$interop/node_modules/.installed-lock.json"
fi
