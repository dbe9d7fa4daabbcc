#!/usr/bin/env bash
# Runs the script of docs/telvo-sim-squatted-marker.md as it stands there:
# after a crash, another user holds the live marker's name, and the user's
# next run recovers the crashed run and works.
set -euo pipefail
page=$1 controller=$2 sim=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAILED: $*" >&2; exit 1; }

script=$(awk '/^```sh$/ {inside=1; next} /^```$/ {inside=0} inside' "$page")
[ -n "$script" ] || fail "no sh block in $page"
out=$(cd "$work" && controller="$controller" sim="$sim" bash -euo pipefail -c "$script" 2>"$work/err") ||
    fail "the example exited with $?: $(cat "$work/err")"
expected_out='list C:\Users\alice\work\src: ok
mkdir C:\Users\alice\work\out: ok
write C:\Users\alice\work\out\main.js: ok'
[ "$out" = "$expected_out" ] || fail "output: $out"
grep -qx '{"kind":"exit","protocolVersion":1,"exitCode":0}' "$work/err" || fail "record: $(cat "$work/err")"
! grep -Eq 'S-1-15-2(-[0-9]+){7}' "$work/after.json" || fail "an AppContainer SID is left in the host's state"
grep -q 'S-1-5-21-1004336348-1177238915-682003330-1002' "$work/after.json" || fail "bob's mutex is gone"
echo "squatted marker example: the next run recovers and works"
