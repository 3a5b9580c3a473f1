#!/usr/bin/env bash
# Installs the Debian packages the build, the demo and the tests need. Skips apt
# entirely when everything is present, so repeated runs are quick.
set -euo pipefail

packages=(
    cmake ninja-build pkg-config g++ clang clang-format libclang-rt-14-dev
    libasio-dev libssl-dev zlib1g-dev openssl ca-certificates
    libgtest-dev libgmock-dev libbenchmark-dev
    python3 python3-websockets
    chromium
)
# node and npm run the interop peers; Debian's packages only where nothing provides them.
if ! command -v npm >/dev/null 2>&1; then
    packages+=(nodejs npm)
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

# npm packages of the interop tests (tests/interop/package-lock.json), installed again only
# when the lock file differs from the one the installed tree was made from.
interop="$(cd "$(dirname "${BASH_SOURCE[0]}")/../tests/interop" && pwd)"
if ! cmp -s "$interop/package-lock.json" "$interop/node_modules/.installed-lock.json"; then
    echo "Installing npm packages in $interop"
    npm ci --prefix "$interop" --no-audit --no-fund --loglevel=error
    cp "$interop/package-lock.json" "$interop/node_modules/.installed-lock.json"
fi
