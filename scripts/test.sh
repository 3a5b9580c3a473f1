#!/usr/bin/env bash
# Builds and runs the whole test suite through CTest.
#
#   scripts/test.sh              all configurations: normal, asan (Address+UB), tsan
#   scripts/test.sh normal       one or more named configurations only
#
# Each configuration has its own build folder under build/. Exit status is non-zero
# when anything fails; every configuration still runs so one report shows it all.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

configs=("$@")
if ((${#configs[@]} == 0)); then
    configs=(normal asan tsan)
fi

"$root/scripts/deps.sh" || exit 1

jobs="${TIDEWIRE_JOBS:-$(nproc)}"
failed=()

check_format() {
    echo "== clang-format check"
    local files
    mapfile -t files < <(git ls-files --cached --others --exclude-standard \
        '*.h' '*.hpp' '*.cpp' | grep -E '^(include|src|sdk|tests|examples|tools|bench|fuzz)/')
    if ((${#files[@]} > 0)) && ! clang-format --dry-run --Werror "${files[@]}"; then
        echo "Formatting differs: run clang-format -i on the files above"
        return 1
    fi
}

run_config() {
    local config="$1" compiler sanitizer extra=()
    case "$config" in
        normal) compiler=g++ sanitizer=none ;;
        # clang so that the same folder can build the libFuzzer targets.
        # The benchmarks build once, in the normal configuration.
        asan) compiler=clang++ sanitizer=asan extra=(-DTIDEWIRE_FUZZ=ON -DTIDEWIRE_BENCH=OFF) ;;
        tsan) compiler=g++ sanitizer=tsan extra=(-DTIDEWIRE_BENCH=OFF) ;;
        *) echo "unknown configuration: $config"; return 1 ;;
    esac
    local dir="build/$config"
    echo "== [$config] configure and build in $dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER="$compiler" \
        -DTIDEWIRE_SANITIZER="$sanitizer" "${extra[@]}" >/dev/null || return 1
    cmake --build "$dir" -j "$jobs" || return 1
    echo "== [$config] tests"
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
        ctest --test-dir "$dir" --output-on-failure -j "$jobs" || return 1
    if [[ -x "$root/scripts/test-extra.sh" ]]; then
        "$root/scripts/test-extra.sh" "$config" "$dir" || return 1
    fi
}

check_format || failed+=(format)
for config in "${configs[@]}"; do
    run_config "$config" || failed+=("$config")
done

if ((${#failed[@]} > 0)); then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "All configurations passed: ${configs[*]}"
