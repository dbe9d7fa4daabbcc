#!/usr/bin/env bash
# The example controller drives telvo-sim as the README shows: a run with a
# private path, then a crashed run and the recovery of the state it left.
set -euo pipefail
controller=$1 sim=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAILED: $*" >&2; exit 1; }

run='{"operation":"run","protocolVersion":1,"command":"peek","cwd":"C:\\Users\\alice\\work","root":"C:\\Users\\alice\\work","mode":"workspace-write","readableRoots":[],"privatePaths":["C:\\Users\\alice\\work\\.zanth"],"networkAccess":true}'
out=$(echo "$run" | python3 "$controller" "$sim" 2>"$work/err") || fail "run exited with $?"
expected_out='read C:\Users\alice\work\.zanth\session.key: error 5
write C:\Users\alice\work\notes.txt: ok'
[ "$out" = "$expected_out" ] || fail "output: $out"
[ "$(cat "$work/err")" = '{"kind":"exit","protocolVersion":1,"exitCode":0}' ] || fail "record: $(cat "$work/err")"

code=0
echo "$run" | python3 "$controller" "$sim" --crash-after 300 --state-out "$work/crashed.json" >/dev/null 2>"$work/err" || code=$?
[ "$code" = 70 ] || fail "crashed run exited with $code"
grep -q '^no record$' "$work/err" || fail "crashed run: $(cat "$work/err")"
echo '{"operation":"recover","protocolVersion":1}' |
    python3 "$controller" "$sim" --host "$work/crashed.json" --state-out "$work/after.json" >/dev/null 2>"$work/err" ||
    fail "recovery exited with $?: $(cat "$work/err")"
! grep -Eq 'S-1-15-2(-[0-9]+){7}' "$work/after.json" || fail "an AppContainer SID is left in the host's state"
echo "example controller: run, crash and recovery as the README shows"
