#!/usr/bin/env bash
# Builds the benchmarks (normal configuration) and prints our echo server and client beside
# Boost.Beast's: messages per second, server CPU and page faults per message, and masking
# against memcpy. Beside them, the floor: an echo server reduced to its system calls, whose
# CPU per message is the part no user-space code removes on that load. Each figure is the median of five runs, each ratio the median of the runs' own
# ratios (both servers are measured back to back in every run). Extra arguments go to
# echo_compare (--runs N, --seconds S, --quick, --only TEXT). Then memory per idle session,
# resident memory over a 64 MiB send bound, and loops_compare: clients on one shared EventLoop
# against a thread each and against Beast's, our server on one and two loops, and idle
# connections held on one loop. Run it on an otherwise quiet machine.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
"$root/scripts/deps.sh"
cmake -S . -B build/normal -G Ninja -DCMAKE_CXX_COMPILER=g++ -DTIDEWIRE_SANITIZER=none >/dev/null
cmake --build build/normal -j "${TIDEWIRE_JOBS:-$(nproc)}" \
    --target echo_compare load_bench send_bound_bench loops_compare
echo "== load: $(uptime)"
build/normal/bench/echo_compare --runs 5 --floor "$@"
echo "== memory per idle session"
build/normal/bench/load_bench 1000 2000 | sed -n '1,5p'
echo "== resident memory over the send bound (peer not reading)"
build/normal/bench/send_bound_bench 64
echo "== sharing threads"
build/normal/bench/loops_compare --runs 3 --seconds 1
