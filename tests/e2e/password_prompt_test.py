#!/usr/bin/env python3
"""The tool's password prompt on a terminal, as a shell runs it (a pseudo-terminal that is its
controlling terminal): after Ctrl-D or Ctrl-C at the prompt, nothing typed is echoed, and what
comes next starts a line of its own, the tool's error line or the shell's prompt.

Usage: password_prompt_test.py TOOL
"""
import os
import pty
import select
import signal
import sys
import time

PROMPT = b"Password for alice on filedrop: "
# The key typed at the prompt, all that the terminal shows (a "\n" as "\r\n"), and how the tool
# ends: its exit status, or minus the signal that killed it.
CASES = [
    (b"\x04", PROMPT + b"\r\nvexodl-filehosting: the password is empty, and a user name needs one"
     b"\r\n", 2),
    (b"\x03", PROMPT + b"\r\n", -signal.SIGINT),
]

failed = False
for key, expected, ending in CASES:
    pid, fd = pty.fork()
    if pid == 0:
        tool = sys.argv[1]
        os.execv(tool, [tool, "set", "filedrop", "--type", "vexo", "--username", "alice"])
    shown, deadline = b"", time.monotonic() + 30
    # What the terminal shows until the tool closes it (EIO) or the deadline passes; the key is
    # typed once the prompt is there.
    while time.monotonic() < deadline:
        if key and shown.endswith(PROMPT):
            os.write(fd, key)
            key = None
        if select.select([fd], [], [], 0.1)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                break
            shown += chunk
    else:
        os.kill(pid, signal.SIGKILL)
    status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    os.close(fd)
    if (shown, status) != (expected, ending):
        print(f"the terminal showed {shown!r} and the tool ended with {status}, not {expected!r} "
              f"and {ending}")
        failed = True
sys.exit(1 if failed else 0)
