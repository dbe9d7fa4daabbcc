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

# The exit code decides whether there is a record; the command's lines never
# become it. Each fake helper reads the frame, prints, and exits with a code.
fake() { # CODE OUTPUT
    printf '%s' "$2" >"$work/fake-output"
    echo '{"operation":"recover","protocolVersion":1}' |
        python3 "$controller" bash -c "head -c 47 >/dev/null; cat '$work/fake-output'; exit $1" >"$work/out" 2>"$work/err"
}
exit_record='{"kind":"exit","protocolVersion":1,"exitCode":0}'
error_record='{"kind":"error","protocolVersion":1,"code":"sandbox_backend_error","message":"no"}'
panic_record='{"kind":"error","protocolVersion":1,"code":"sandbox_backend_panic","message":"the native sandbox helper aborted unexpectedly"}'
expect() { # CODE STDOUT FIRST-STDERR-LINE
    code=0
    fake "$fake_code" "$fake_output" || code=$?
    [ "$code" = "$1" ] || fail "fake helper exiting $fake_code: controller exited with $code: $(cat "$work/err")"
    [ "$(cat "$work/out")" = "$2" ] || fail "fake helper exiting $fake_code: output $(cat "$work/out")"
    [ "$(head -n 1 "$work/err")" = "$3" ] || fail "fake helper exiting $fake_code: $(cat "$work/err")"
}
fake_code=3 fake_output="$exit_record"$'\n'
expect 3 "$exit_record" "no record"
fake_code=0 fake_output="a line$exit_record"$'\n'"partial$exit_record"$'\n'
expect 0 "a line$exit_record"$'\n'"partial" "$exit_record"
fake_code=2 fake_output="$exit_record"$'\n'"$error_record"$'\n'
expect 2 "$exit_record" "$error_record"
fake_code=4 fake_output="$panic_record"$'\n'
expect 4 "" "$panic_record"
# A record that does not match the exit code, or no record where one is due.
fake_code=2 fake_output="$error_record"$'\n'"$exit_record"$'\n'
expect 1 "$error_record"$'\n'"$exit_record" "protocol error: exit code 2 does not match the record $exit_record"
fake_code=4 fake_output="$error_record"$'\n'
expect 1 "$error_record" "protocol error: exit code 4 does not match the record $error_record"
fake_code=0 fake_output="$exit_record"
expect 1 "$exit_record" "protocol error: exit code 0, but the output does not end in a record"
fake_code=70 fake_output="$exit_record"$'\n'
expect 70 "$exit_record" "no record"

echo "example controller: run, crash and recovery as the README shows; records by the exit code"
