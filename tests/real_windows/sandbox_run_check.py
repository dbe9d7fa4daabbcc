#!/usr/bin/env python3
"""A whole sandbox run of a real cmd.exe command on a prepared Windows host,
and the proof that nothing of it is left (.github/workflows/windows.yml).

    python tests/real_windows/sandbox_run_check.py HELPER_EXE

The command writes a file in its workspace, tries to read a file under a
private path and to write a file outside the workspace. The run must report
the command's exit code, the write inside must have happened and the other
two must have been refused. Then: no journal in the state directory, the
helper's host-status still reports the host prepared, a recover request
finds nothing to do, and icacls finds no AppContainer SID on the workspace,
the directories above it or the state directory.
"""
import json
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CONTROLLER = os.path.join(HERE, "..", "..", "examples", "controller.py")
BASE = "C:\\telvo-ci"
WORKSPACE = BASE + "\\ws"
SECRET = "not for the sandbox"
# An AppContainer SID: S-1-15-2 and seven sub-authorities (capability SIDs are S-1-15-3).
APPCONTAINER_SID = re.compile(r"S-1-15-2(-\d+){7}")
failures = []


def check(condition, what):
    print(("ok     " if condition else "FAILED ") + what)
    if not condition:
        failures.append(what)


def controller(helper, request):
    """The command's output, the record line and the helper's exit code."""
    run = subprocess.run([sys.executable, CONTROLLER, helper], input=json.dumps(request), capture_output=True,
                         text=True, timeout=300)
    record = run.stderr.split("\n", 1)[0]
    print("output: %r\nrecord: %s\nexit code: %d" % (run.stdout, record, run.returncode))
    return run.stdout, record, run.returncode


def main():
    helper = sys.argv[1]
    shutil.rmtree(BASE, ignore_errors=True)
    os.makedirs(WORKSPACE + "\\.zanth")
    with open(WORKSPACE + "\\.zanth\\secret.txt", "w") as secret:
        secret.write(SECRET + "\n")

    command = ("echo made> made.txt & type .zanth\\secret.txt & echo escaped> " + BASE + "\\outside.txt")
    output, record, code = controller(helper, {
        "operation": "run", "protocolVersion": 1, "command": command, "cwd": WORKSPACE, "root": WORKSPACE,
        "mode": "workspace-write", "readableRoots": [], "privatePaths": [WORKSPACE + "\\.zanth"],
        "networkAccess": True})
    check(code == 0, "the run ends with exit code 0")
    # The last command of the line (the refused write) sets cmd.exe's exit code.
    check(record == '{"kind":"exit","protocolVersion":1,"exitCode":1}', "the exit record carries the command's exit code")
    made = os.path.join(WORKSPACE, "made.txt")
    check(os.path.isfile(made) and open(made).read().startswith("made"), "the command wrote in its workspace")
    check(SECRET not in output, "the private file was not read")
    check(output.count("Access is denied.") == 2, "the private read and the write outside were refused")
    check(not os.path.exists(BASE + "\\outside.txt"), "nothing was written outside the workspace")

    state = os.path.join(os.environ["LOCALAPPDATA"], "TelvoSandboxState-v1")
    journals = [name for name in os.listdir(state) if name.endswith(".json")] if os.path.isdir(state) else []
    check(journals == [], "no recovery journal is left: %s" % journals)

    status = subprocess.run([helper, "host-status"], capture_output=True, text=True, timeout=120)
    print("host-status: %s" % status.stdout.strip())
    report = json.loads(status.stdout) if status.returncode == 0 else {}
    check(report.get("kind") == "hostPreparation" and report.get("prepared") is True,
          "host-status reports the host prepared")
    check(not APPCONTAINER_SID.search(status.stdout), "host-status names no AppContainer SID")

    output, record, code = controller(helper, {"operation": "recover", "protocolVersion": 1})
    check(code == 0 and record == '{"kind":"exit","protocolVersion":1,"exitCode":0}' and output == "",
          "a recover request finds nothing to do")

    for target in [BASE, WORKSPACE, "C:\\", os.path.dirname(os.environ["USERPROFILE"]), state]:
        arguments = ["icacls", target] + (["/T", "/C"] if target.startswith(BASE) else [])
        acl = subprocess.run(arguments, capture_output=True, text=True, timeout=300).stdout
        left = sorted({match.group(0) for match in APPCONTAINER_SID.finditer(acl)} |
                      set(re.findall(r"Telvo\.Sandbox\.[0-9a-f]{32}", acl)))
        check(left == [], "icacls %s: no entry of the run's AppContainer SID: %s" % (target, left))

    shutil.rmtree(BASE, ignore_errors=True)
    print("%d check(s) failed" % len(failures))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
