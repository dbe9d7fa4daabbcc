#!/usr/bin/env bash
# Sets up, builds both flavours, and runs the real telvo-windows-sandbox.exe
# under Wine as a controller would: one framed request on standard input per
# run, then the terminal record and the exit code it answered with. Then a
# whole sandbox run on telvo-sim's built-in Windows host: the command's
# output, the record, and every change the run made to the host, undone.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh windows native

exe=$PWD/build/windows/src/telvo-windows-sandbox.exe
export WINEPREFIX=$PWD/build/main-wineprefix WINEDEBUG=-all
tests/wine/fresh_prefix.sh "$WINEPREFIX" "$(command -v wine)" "$(command -v wineserver || echo /usr/lib/wine/wineserver)" >/dev/null

# Writes the 4-byte little-endian length and the body.
frame() {
    local body=$1 length=${#1}
    printf "\\x$(printf %02x $((length & 255)))\\x$(printf %02x $(((length >> 8) & 255)))"
    printf "\\x$(printf %02x $(((length >> 16) & 255)))\\x$(printf %02x $(((length >> 24) & 255)))"
    printf '%s' "$body"
}

run() {
    local title=$1; shift
    echo "== $title"
    set +e
    "$@"
    echo "exit code: $?"
    set -e
}

run "recover request" bash -c "$(declare -f frame); frame '{\"operation\":\"recover\",\"protocolVersion\":1}' | wine '$exe'"
run "run request" bash -c "$(declare -f frame); frame '{\"operation\":\"run\",\"protocolVersion\":1,\"command\":\"echo hi\",\"cwd\":\"C:\\\\work\",\"root\":\"C:\\\\work\",\"mode\":\"workspace-write\",\"readableRoots\":[],\"privatePaths\":[],\"networkAccess\":false}' | wine '$exe'"
run "unsupported version" bash -c "$(declare -f frame); frame '{\"operation\":\"recover\",\"protocolVersion\":2}' | wine '$exe'"
run "unknown key" bash -c "$(declare -f frame); frame '{\"operation\":\"recover\",\"protocolVersion\":1,\"extra\":true}' | wine '$exe'"
run "length prefix 0" bash -c "printf '\\x00\\x00\\x00\\x00' | wine '$exe'"
run "no input" bash -c "wine '$exe' </dev/null"
run "host command refusal" wine "$exe" host-status 'C:\path'

"$(command -v wineserver || echo /usr/lib/wine/wineserver)" -k || true

# The built-in host's user alice runs "peek" in her workspace with .zanth kept
# private: the command may write the workspace but not read .zanth\session.key.
request='{"operation":"run","protocolVersion":1,"command":"peek","cwd":"C:\\Users\\alice\\work","root":"C:\\Users\\alice\\work","mode":"workspace-write","readableRoots":[],"privatePaths":["C:\\Users\\alice\\work\\.zanth"],"networkAccess":false}'
echo "== sandbox run on a simulated Windows host: $request"
set +e
echo "$request" | examples/controller.py build/native/src/telvo-sim --changes 2>&1
echo "exit code: $?"
set -e

# An Administrator's view of the same simulated host: whether the fixed
# metadata targets are prepared for sandboxes (no elevation needed to look).
echo "== host-status on the simulated Windows host"
set +e
build/native/src/telvo-sim -- host-status
echo "exit code: $?"
set -e
