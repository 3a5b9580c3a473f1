#!/usr/bin/env bash
# From a clean clone to a running demo: installs what is missing, builds, runs the
# demo program with the log at debug level.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/deps.sh"
cmake -S . -B build/demo -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=Release \
    -DTIDEWIRE_TESTS=OFF -DTIDEWIRE_BENCH=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target tidewire_demo
echo "== running the demo (log at debug level on standard error)"
RELAYMATRIX_LOG_LEVEL="${RELAYMATRIX_LOG_LEVEL:-debug}" build/demo/examples/tidewire_demo
