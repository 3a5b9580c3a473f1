#!/usr/bin/env bash
# The tidewire tool end to end, and the example servers with it when their folder is given:
#   tool_test.sh <tidewire binary> <tests/interop folder> [<examples build folder>]
# Long-running peers talk through fifos; every wait is a bounded read, never a sleep.
set -euo pipefail
tool="$1"
interop="$2"
examples="${3:-}"
work="$(mktemp -d)"
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
declare -A in out pid

fail() {
    echo "FAIL: $*" >&2
    tail -n 20 "$work/stderr" >&2
    exit 1
}
# start NAME COMMAND...: runs it in the background, its input and output on fifos.
start() {
    local name="$1" fd
    shift
    mkfifo "$work/$name.in" "$work/$name.out"
    # The peer must not inherit the other peers' fifo ends, or their input would never end.
    (
        for fd in "${in[@]}" "${out[@]}"; do eval "exec $fd>&-"; done
        exec timeout 30 "$@" <"$work/$name.in" >"$work/$name.out" 2>>"$work/stderr"
    ) &
    pid[$name]=$!
    exec {fd}>"$work/$name.in"
    in[$name]=$fd
    exec {fd}<"$work/$name.out"
    out[$name]=$fd
}
say() { printf '%s\n' "$2" >&"${in[$1]}"; }
expect() {
    local line
    IFS= read -r -t 15 line <&"${out[$1]}" || fail "$1: no line, wanted '$2'"
    [[ "$line" == "$2" ]] || fail "$1: '$line', wanted '$2'"
}
# port="$(listening NAME)": the port from the peer's first line.
listening() {
    local line
    IFS= read -r -t 15 line <&"${out[$1]}" || fail "$1 did not start"
    echo "${line##* }"
}
# finish NAME STATUS: ends its input, then checks its exit status.
finish() {
    local status=0
    eval "exec ${in[$1]}>&-"
    wait "${pid[$1]}" || status=$?
    [[ "$status" == "$2" ]] || fail "$1 exited with $status, wanted $2"
}
# run STATUS OUTPUT INPUT ARGUMENTS...: a short command; OUTPUT is a pattern for the whole.
run() {
    local want="$1" wanted="$2" input="$3" got status=0
    shift 3
    got="$(printf '%b' "$input" | timeout 15 "$tool" "$@" 2>>"$work/stderr")" || status=$?
    # shellcheck disable=SC2053
    [[ "$status" == "$want" && "$got" == $wanted ]] ||
        fail "$* gave status $status and '$got', wanted $want and '$wanted'"
}

start echo "$tool" serve 0 --stdin-stop --protocol chat --max-sessions 1
url="ws://127.0.0.1:$(listening echo)/path"
run 0 $'hello there\n\xc3\xa9t\xc3\xa9 \t end' 'hello there\n\xc3\xa9t\xc3\xa9 \t end\n' \
    connect "$url" --protocol x --protocol chat --header "X-Test: 1" --timeout 5000
run 0 '00ff' '\x00\xff\n' connect "$url" --binary
run 0 $'ab\ncd' 'ab\ncd\n' connect "$url" --binary --raw --ping-interval 100 --print-ping-rtts
grep -q "^tidewire: ping round trip [0-9]*\.[0-9]* ms$" "$work/stderr" || fail "no round trip"
run 0 '' '' connect "$url"
run 0 'crlf' 'crlf\r\n' connect "$url"
# One session held open: the limit refuses the next client.
start held "$tool" connect "$url"
say held "held"
expect held "held"
run 1 '' 'refused\n' connect "$url"
finish held 0
finish echo 0

# TLS, the client trusting the throw-away certificate as its only CA.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
    -subj /CN=localhost -addext "subjectAltName=DNS:localhost" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
start tls "$tool" serve 0 --stdin-stop --cert "$work/cert.pem" --key "$work/key.pem"
port="$(listening tls)"
run 0 'over tls' 'over tls\n' connect "WSS://localhost:$port/" --ca "$work/cert.pem" --tls13
finish tls 0

# A TLS client meeting a plain server gives up after the default 10 s; a server stopped by a
# signal closes its sessions with 1001, which the client shows and ends with as done.
start going "$tool" serve 0
port="$(listening going)"
run 1 '' '' connect "wss://127.0.0.1:$port/"
grep -q "connection failed: Handshake timeout" "$work/stderr" || fail "no handshake timeout"
start stays "$tool" connect "ws://127.0.0.1:$port/"
say stays "here"
expect stays "here"
kill -TERM "${pid[going]}"
wait "${pid[stays]}" || fail "stays exited with $?"  # its input still open: the server closed
grep -q "^tidewire: close code 1001 from the server$" "$work/stderr" || fail "no close code"
finish going 0

start picky "$tool" serve 0 --stdin-stop --origin http://good.test
port="$(listening picky)"
run 1 '' 'x\n' connect "ws://127.0.0.1:$port/" --header "Origin: http://evil.test"
run 0 'x' 'x\n' connect "ws://127.0.0.1:$port/" --header "Origin: http://good.test" \
    --timeout 86400000
run 2 '' '' connect "ws://127.0.0.1:$port/" --header "Host: x"
finish picky 0

run 0 "usage:*" "" --help
run 0 "tidewire [0-9]*.[0-9]*.[0-9]*" "" --version
run 2 '' '' connect "$url" --bogus
[[ "$(tail -n 2 "$work/stderr")" == $'tidewire: unknown option --bogus\nRun \'tidewire --help\' for usage.' ]] ||
    fail "a usage error is not two lines"
run 2 '' '' connect ftp://example.net/
run 2 '' '' connect "$url" --header "no colon"
# Numbers up to their own maximum, none past it: port, session limit, timeout.
run 0 'listening on 65535' '' serve 65535 --stdin-stop
run 2 '' '' serve 65536
run 0 'listening on *' '' serve 0 --stdin-stop --max-sessions 1073741824
run 2 '' '' serve 0 --max-sessions 1073741825
run 2 '' '' connect "$url" --timeout 86400001
run 2 '' '' serve 0 --bind nowhere
run 2 '' '' udp send localhost 9
run 2 '' '' frobnicate
run 1 '' 'lost\n' connect ws://127.0.0.1:1/

# Broadcast: each client knows it is in the audience once its own line comes back.
start hub "$tool" serve 0 --broadcast --stdin-stop
url="ws://127.0.0.1:$(listening hub)/"
start a "$tool" connect "$url"
say a "a here"
expect a "a here"
start b "$tool" connect "$url"
say b "b here"
expect b "b here"
expect a "b here"
say a "to everyone"
expect a "to everyone"
expect b "to everyone"
finish a 0
finish b 0
finish hub 0

start listener "$tool" udp listen 0 --stdin-stop
port="$(listening listener)"
start sender "$tool" udp send 127.0.0.1 "$port"
for datagram in one "two words"; do
    say sender "$datagram"
    expect listener "$datagram"
done
finish sender 0
finish listener 0
# Sender and size shown; a sender that exits at once has flushed what it sent.
start dual "$tool" udp listen 0 --from --bind :: --stdin-stop
port="$(listening dual)"
for host in ::1 127.0.0.1; do
    run 0 '' 'hi\n' udp send "$host" "$port"
    IFS= read -r -t 15 line <&"${out[dual]}" || fail "dual: no line from $host"
    [[ "$line" == "from "*"${host}"*":"*", 2 bytes: hi" ]] || fail "dual: '$line'"
done
finish dual 0

# An example server whose input ends at once (as under `&` or a service manager) runs until
# a signal, then closes its clients with 1001.
for example in ${examples:+echo_server chat_server}; do
    start "$example" "$examples/tidewire_$example" 0
    eval "exec ${in[$example]}>&-"
    IFS= read -r -t 15 line <&"${out[$example]}" || fail "$example did not start"
    port="${line#*localhost:}"
    start "to_$example" "$tool" connect "ws://127.0.0.1:${port%%/*}/"
    say "to_$example" "hi"
    expect "to_$example" "hi"
    kill -TERM "${pid[$example]}"
    wait "${pid[to_$example]}" || fail "the client of $example exited with $?"
    wait "${pid[$example]}" || fail "$example did not stop cleanly"
done

# An independent server: node ws echoes and exits when the connection closes.
start node node "$interop/peer.js" server
port="$(listening node)"
run 0 $'from the tool\nbye' 'from the tool\nbye\n' connect "ws://127.0.0.1:$port/"
finish node 0
# A server that closes with 4001: the tool shows the code and reason and exits with 3.
start closer /usr/bin/python3 -c 'import asyncio, websockets
async def close(ws, *path): await ws.close(4001, "go away")
async def main():
    async with websockets.serve(close, "127.0.0.1", 0) as server:
        print("listening on", server.sockets[0].getsockname()[1], flush=True)
        await asyncio.get_running_loop().create_future()
asyncio.run(main())'
run 3 '' '' connect "ws://127.0.0.1:$(listening closer)/"
grep -q "^tidewire: close code 4001 from the server: go away$" "$work/stderr" || fail "no 4001"
kill "${pid[closer]}"
echo "tool: all cases passed"
