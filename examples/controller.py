#!/usr/bin/env python3
"""A minimal controller for telvo-windows-sandbox.

Frames one request, keeps the helper's standard input open while the run
lasts (closing it tells the helper that its controller has gone away), and
reads the command's output and then the one terminal record.

    examples/controller.py [--] HELPER... < request.json

HELPER is the helper's command line: the real .exe on Windows
(telvo-windows-sandbox.exe), `wine telvo-windows-sandbox.exe`, or
`telvo-sim [options]` on any machine. The request is read as JSON from
standard input. The command's output goes to standard output; the record,
then what the helper wrote on standard error, go to standard error; the
controller exits with the helper's exit code.
"""
import json
import struct
import subprocess
import sys
import threading


def run(helper, request):
    body = json.dumps(request, separators=(",", ":")).encode("utf-8")
    process = subprocess.Popen(helper, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    errors = []
    reader = threading.Thread(target=lambda: errors.append(process.stderr.read()))
    reader.start()
    # 4-byte little-endian length, then the JSON body.
    process.stdin.write(struct.pack("<I", len(body)) + body)
    process.stdin.flush()
    # The helper writes the command's output, then one record on a line of
    # its own, and ends; standard input stays open until then.
    output = process.stdout.read()
    process.stdin.close()
    code = process.wait()
    reader.join()
    text = output.decode("utf-8", errors="replace")
    helper_errors = errors[0].decode("utf-8", errors="replace")
    start = text.rfind('{"kind":')
    if start < 0:
        return text, None, helper_errors, code
    record = text[start:]
    json.loads(record)  # one JSON object, or this raises
    return text[:start], record.rstrip("\n"), helper_errors, code


def main():
    helper = sys.argv[1:]
    if helper[:1] == ["--"]:
        helper = helper[1:]
    if not helper:
        sys.exit("usage: controller.py [--] HELPER... < request.json")
    output, record, helper_errors, code = run(helper, json.load(sys.stdin))
    sys.stdout.write(output)
    sys.stdout.flush()
    print(record if record is not None else "no record", file=sys.stderr)
    sys.stderr.write(helper_errors)
    sys.exit(code)


if __name__ == "__main__":
    main()
