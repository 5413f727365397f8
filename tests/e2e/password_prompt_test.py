#!/usr/bin/env python3
"""The tool's password prompt on a terminal, as a shell runs it (a pseudo-terminal that is its
controlling terminal): after Ctrl-D or Ctrl-C at the prompt, what comes next starts a line of its
own, the tool's error line or the shell's prompt.

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


def read_until(fd, done, deadline):
    """What the terminal shows until done(it) holds, the tool closes it, or the deadline passes."""
    shown = b""
    while not done(shown) and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # EIO: nothing holds the terminal any more
                break
            if not chunk:
                break
            shown += chunk
    return shown


def main(tool):
    failed = False
    for key, expected, ending in CASES:
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(tool, [tool, "set", "filedrop", "--type", "vexo", "--username", "alice"])
        deadline = time.monotonic() + 30
        shown = read_until(fd, lambda text: text.endswith(PROMPT), deadline)
        os.write(fd, key)
        shown += read_until(fd, lambda text: False, deadline)
        if time.monotonic() >= deadline:
            os.kill(pid, signal.SIGKILL)
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        os.close(fd)
        if (shown, status) != (expected, ending):
            print(f"after {key!r} the terminal showed {shown!r} and the tool ended with {status}, "
                  f"not {expected!r} and {ending}")
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main(sys.argv[1])
