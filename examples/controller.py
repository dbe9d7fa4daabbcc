#!/usr/bin/env python3
"""A minimal controller for telvo-windows-sandbox (docs/protocol.md).

Frames one request, keeps the helper's standard input open while the run
lasts (closing it tells the helper that its controller has gone away), and
reads the command's output and then the one terminal record.

    examples/controller.py [--] HELPER... < request.json

HELPER is the helper's command line: the real .exe on Windows
(telvo-windows-sandbox.exe), `wine telvo-windows-sandbox.exe`, or
`telvo-sim [options]` on any machine. The request is read as JSON from
standard input. The command's output goes to standard output; the record
(or "no record"), then what the helper wrote on standard error, go to
standard error; the controller exits with the helper's exit code, or with 1
when the helper broke the protocol.

The command's output and the record share the helper's standard output, and
the command may print lines that look like records. Only the helper's exit
code is beyond the command's reach, so it decides:

- 0: the last line is an exit record (the command's exit code is inside it);
- 2: the last line is an error record (code "sandbox_backend_error");
- 4: the last line is a panic record (code "sandbox_backend_panic");
- 3: the command's exit record could not be written: there is no record, and
  everything on standard output is the command's;
- anything else: not the helper's own code (telvo-sim's 64, 70, 74): no record.
"""
import json
import struct
import subprocess
import sys
import threading

RECORD_KIND = {0: ("exit", None), 2: ("error", "sandbox_backend_error"), 4: ("error", "sandbox_backend_panic")}


class ProtocolError(Exception):
    pass


def split_record(output, code):
    """The command's output and the record's line (None when the exit code says there is none)."""
    if code not in RECORD_KIND:
        return output, None
    # The record is one compact object on the last line, after whatever the
    # command printed (perhaps without a final line feed). Inside the record
    # every quote of a string is escaped, so its start is the last '{"kind":'.
    start = output.rfind('{"kind":')
    if start < 0 or not output.endswith("\n"):
        raise ProtocolError("exit code %d, but the output does not end in a record" % code)
    try:
        record = json.loads(output[start:])
    except ValueError as error:
        raise ProtocolError("exit code %d, but the last line is no record: %s" % (code, error))
    kind, error_code = RECORD_KIND[code]
    if not isinstance(record, dict) or record.get("kind") != kind or record.get("protocolVersion") != 1 or (
            error_code is not None and record.get("code") != error_code):
        raise ProtocolError("exit code %d does not match the record %s" % (code, output[start:].rstrip("\n")))
    return output[:start], output[start:].rstrip("\n")


def run(helper, request):
    body = json.dumps(request, separators=(",", ":")).encode("utf-8")
    process = subprocess.Popen(helper, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    errors = []
    reader = threading.Thread(target=lambda: errors.append(process.stderr.read()))
    reader.start()
    # 4-byte little-endian length, then the JSON body; nothing after it.
    try:
        process.stdin.write(struct.pack("<I", len(body)) + body)
        process.stdin.flush()
    except BrokenPipeError:
        pass  # the helper ended before reading it; its exit code tells why
    # The helper writes the command's output, then one record on a line of
    # its own, and ends; standard input stays open until then.
    output = process.stdout.read()
    try:
        process.stdin.close()
    except BrokenPipeError:
        pass
    code = process.wait()
    reader.join()
    return output.decode("utf-8", errors="replace"), errors[0].decode("utf-8", errors="replace"), code


def main():
    helper = sys.argv[1:]
    if helper[:1] == ["--"]:
        helper = helper[1:]
    if not helper:
        sys.exit("usage: controller.py [--] HELPER... < request.json")
    output, helper_errors, code = run(helper, json.load(sys.stdin))
    try:
        command_output, record = split_record(output, code)
    except ProtocolError as error:
        sys.stdout.write(output)
        sys.stderr.write("protocol error: %s\n" % error + helper_errors)
        sys.exit(1)
    sys.stdout.write(command_output)
    sys.stdout.flush()
    print(record if record is not None else "no record", file=sys.stderr)
    sys.stderr.write(helper_errors)
    sys.exit(code)


if __name__ == "__main__":
    main()
