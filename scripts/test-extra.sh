#!/usr/bin/env bash
# Checks that run after CTest, called by scripts/test.sh for each configuration:
#
#   scripts/test-extra.sh <config> <build dir>
#
# Each step decides for itself whether it applies to the configuration. Exit status is
# non-zero when any step fails; every step still runs.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
config="$1"
dir="$2"
[[ "$dir" = /* ]] || dir="$root/$dir"

# Every libFuzzer target (fuzz/*_fuzz.cpp) for a bounded time (TIDEWIRE_FUZZ_SECONDS, 30 s
# each by default), from a scratch copy of its committed seed corpus so that the corpus in the
# repository does not grow. Any crash, leak, sanitizer report or slow input fails the step; the
# reproducer is kept in the build folder.
run_fuzz_targets() {
    [[ "$config" == asan ]] || return 0
    local seconds="${TIDEWIRE_FUZZ_SECONDS:-30}" status=0 source name target corpus log
    local artifacts="$dir/fuzz-artifacts"
    mkdir -p "$artifacts"
    for source in "$root"/fuzz/*_fuzz.cpp; do
        [[ -e "$source" ]] || continue
        name="$(basename "$source" .cpp)"
        target="$dir/fuzz/$name"
        if [[ ! -x "$target" ]]; then
            echo "== [$config] fuzz $name: not built ($target)"
            status=1
            continue
        fi
        corpus="$(mktemp -d)"
        log="$dir/fuzz-$name.log"
        if [[ -d "$root/fuzz/corpus/$name" ]]; then
            cp -R "$root/fuzz/corpus/$name/." "$corpus/"
        fi
        echo "== [$config] fuzz $name for ${seconds}s"
        if ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
            UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
            "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
            -artifact_prefix="$artifacts/$name-" -print_final_stats=1 "$corpus" >"$log" 2>&1; then
            grep -E '^stat::number_of_executed_units' "$log" || true
        else
            echo "fuzz $name FAILED (reproducer in $artifacts); end of $log:"
            tail -n 40 "$log"
            status=1
        fi
        rm -rf "$corpus"
    done
    return "$status"
}

# The installed package, used by a host program through CMake and through pkg-config.
run_package_check() {
    [[ "$config" == normal ]] || return 0
    echo "== [$config] install and build a host program against the package"
    "$root/scripts/test-package.sh" "$dir"
}

steps=(run_fuzz_targets run_package_check)

failed=()
for step in "${steps[@]}"; do
    "$step" || failed+=("$step")
done
if ((${#failed[@]} > 0)); then
    echo "test-extra [$config] FAILED: ${failed[*]}"
    exit 1
fi
