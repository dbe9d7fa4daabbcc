#!/usr/bin/env python3
"""Runs every shell example of docs/*.md as a reader would, from the top of a
checkout: `build/native/src/telvo-sim` is the telvo-sim under test and
`examples/` the project's examples.

    docs_examples.py REPOSITORY TELVO_SIM

Each ```sh block runs in bash (with -e and pipefail) in a fresh directory.
It must exit 0, or with the code its last line names in a comment
`# exit code: N`. A ```text block right after it is the block's expected
standard output: each line must match, where `...` stands for any text.
"""
import os
import re
import subprocess
import sys
import tempfile

BLOCK = re.compile(r"^```(\w*)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)
EXIT_CODE = re.compile(r"#\s*exit code:\s*(\d+)\s*$")


def examples(page):
    """(shell text, expected output or None, line number) for each sh block."""
    text = open(page, encoding="utf-8").read()
    blocks = [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 1, m.start(), m.end())
              for m in BLOCK.finditer(text)]
    for i, (language, body, line, _, end) in enumerate(blocks):
        if language != "sh":
            continue
        expected = None
        if i + 1 < len(blocks) and blocks[i + 1][0] == "text" and text[end:blocks[i + 1][3]].strip() == "":
            expected = blocks[i + 1][1]
        yield body, expected, line


def matches(expected, actual):
    want = expected.rstrip("\n").split("\n")
    got = actual.rstrip("\n").split("\n")
    if len(want) != len(got):
        return False
    for pattern, line in zip(want, got):
        regex = ".*?".join(re.escape(part) for part in pattern.split("..."))
        if not re.fullmatch(regex, line):
            return False
    return True


def main():
    repository, sim = sys.argv[1], os.path.abspath(sys.argv[2])
    docs = os.path.join(repository, "docs")
    failures = 0
    count = 0
    for name in sorted(os.listdir(docs)):
        if not name.endswith(".md"):
            continue
        for body, expected, line in examples(os.path.join(docs, name)):
            count += 1
            where = "%s:%d" % (name, line)
            last = body.rstrip("\n").split("\n")[-1]
            code_mark = EXIT_CODE.search(last)
            want_code = int(code_mark.group(1)) if code_mark else 0
            with tempfile.TemporaryDirectory() as work:
                os.makedirs(os.path.join(work, "build", "native", "src"))
                os.symlink(sim, os.path.join(work, "build", "native", "src", "telvo-sim"))
                os.symlink(os.path.join(os.path.abspath(repository), "examples"), os.path.join(work, "examples"))
                os.symlink(docs, os.path.join(work, "docs"))
                run = subprocess.run(["bash", "-eo", "pipefail", "-c", body], cwd=work, capture_output=True,
                                     text=True, timeout=120)
            if run.returncode != want_code:
                failures += 1
                print("FAILED %s: exit code %d, expected %d\n%s%s" % (where, run.returncode, want_code, run.stdout,
                                                                       run.stderr))
            elif expected is not None and not matches(expected, run.stdout):
                failures += 1
                print("FAILED %s: output\n%s\nexpected\n%s" % (where, run.stdout, expected))
            else:
                print("ok %s" % where)
    if count == 0:
        print("FAILED: no examples in %s" % docs)
        sys.exit(1)
    print("%d examples, %d failed" % (count, failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
