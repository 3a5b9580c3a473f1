#!/usr/bin/env bash
# Compiles every C++ snippet of README.md and docs/*.md against an installed prefix, as a host
# would: each becomes the body of a function after a shared prelude that declares what the
# snippets take as given (url, handlers, options, a server, a session, ...), its #include
# lines moved above. A snippet that no longer compiles fails here, named by file and line.
#
#   scripts/test-snippets.sh <installed prefix>
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
prefix="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cat >"$work/prelude.h" <<'PRELUDE'
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tidewire/TidewireExtension.h"
#include "tidewire/UDPServer.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"
using namespace relaymatrix::extensions::tidewire;

extern std::string url, token, id;
extern WebSocketClient::Handlers handlers;
extern ConnectionOptions options;
struct Producer {
    void pause();
    void resume();
};
extern Producer producer;
bool valid(const std::string& token);
PRELUDE

# One file per snippet, its first line naming where it comes from.
(cd "$root" && awk -v out="$work" '
    /^```cpp$/ { file = sprintf("%s/snippet%02d.txt", out, ++n); inside = 1
                 print FILENAME ":" FNR + 1 > file; next }
    /^```/ { inside = 0 }
    inside { print > file }' README.md docs/*.md)

failed=0
count=0
for snippet in "$work"/snippet*.txt; do
    source="$(head -n 1 "$snippet")"
    {
        tail -n +2 "$snippet" | grep '^#include' || true
        echo '#include "prelude.h"'
        # The inner block lets a snippet declare its own server or session.
        echo 'void snippet(WebSocketServer& server, WebSocketSession& session) { {'
        echo "#line ${source##*:} \"${source%:*}\""
        tail -n +2 "$snippet" | grep -v '^#include' || true
        echo '} }'
    } >"$snippet.cpp"
    count=$((count + 1))
    if ! g++ -std=c++17 -fsyntax-only -I"$prefix/include" -I"$work" "$snippet.cpp"; then
        echo "snippets: $source does not compile (above)"
        failed=1
    fi
done
((count > 0)) || { echo "snippets: none found"; exit 1; }
((failed == 0)) || exit 1
echo "snippets: all $count compile against the installed headers"
