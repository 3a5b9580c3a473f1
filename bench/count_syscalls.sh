#!/usr/bin/env bash
# System calls per echoed message of each echo server in one echo_compare point: Beast's, ours,
# then the floor, each counted with `perf stat -p` for 2 s in the middle of its 7 s window, and
# divided by that server's message rate as echo_compare reports it (tracing slows the servers a
# little, so the figures are approximate, ±10%). Needs perf and tracepoint access (root).
#   bench/count_syscalls.sh build/normal/bench/echo_compare "TLS 64 KiB, 64 conn"
# Only the calls that matter are listed: attaching every sys_enter_* tracepoint takes longer
# than a point runs.
set -euo pipefail

binary="$1"
point="$2"
events=context-switches
for call in recvfrom sendto read write readv writev recvmsg sendmsg epoll_wait epoll_ctl \
    setsockopt; do
    events+=",syscalls:sys_enter_$call"
done
out="$(mktemp)"
counts="$(mktemp)"
trap 'rm -f "$out" "$counts"' EXIT

"$binary" --floor --runs 1 --seconds 7 --only "$point" >"$out" 2>&1 &
main=$!
seen=()
while kill -0 "$main" 2>/dev/null; do
    for child in $(pgrep -P "$main" || true); do
        [[ " ${seen[*]-} " == *" $child "* ]] && continue
        [[ "$(cat "/proc/$child/comm" 2>/dev/null)" == "$(basename "$binary")" ]] || continue
        seen+=("$child")
        sleep 4
        perf stat -x, -p "$child" -e "$events" -- sleep 2 2>&1 |
            awk -F, -v n="${#seen[@]}" '$1 ~ /^[0-9]+$/ && $1 > 0 { print n, $1, $3 }' >>"$counts"
    done
    sleep 0.2
done
cat "$out"
# The point's line: our rate is field 1 after the name, Beast's field 2, the floor's after the
# third "|".
line="$(grep -F "$point" "$out" | head -1)"
awk -v line="$line" '
    BEGIN {
        split(line, parts, "|")
        n = split(parts[1], head, " ")
        rate[2] = head[n - 2]; rate[1] = head[n - 1]
        split(parts[5], floor, " "); rate[3] = floor[1]
        name[1] = "Beast"; name[2] = "ours"; name[3] = "floor"
    }
    { per[$1] = per[$1] sprintf(" %s %.2f", $3, $2 / (rate[$1] * 2)) }
    END { for (i = 1; i <= 3; ++i) if (i in per) printf "%-6s per message:%s\n", name[i], per[i] }
' "$counts"
