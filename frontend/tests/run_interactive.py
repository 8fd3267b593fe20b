#!/usr/bin/env python3
"""The interactive loop on a pseudo-terminal: one module for the session,
entries that continue over lines, redefinition, errors that do not end it,
Ctrl-C that stops a running entry and leaves the session going."""
import os
import pty
import select
import sys
import tempfile
import time


def read_until_quiet(fd, quiet=0.4, limit=10.0):
    out, last, start = b"", time.time(), time.time()
    while time.time() - last < quiet and time.time() - start < limit:
        ready, _, _ = select.select([fd], [], [], 0.05)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            out, last = out + chunk, time.time()
    return out.decode("utf-8", "replace").replace("\r\n", "\n")


def main():
    qo = sys.argv[1]
    home = tempfile.mkdtemp()
    pid, fd = pty.fork()
    if pid == 0:
        os.environ["HOME"] = home
        os.execv(qo, [qo, "--no-ext"])
    read_until_quiet(fd)
    lines = ["f(x) = x * 2", "f(21)", "f(x) = x * 3", "f(2)", "g(a) = (a +", "1)", "g(1); h(", "1+)",
             "y = 5", "y * 2", "1 / 0", "y", "spin(:i) = i = 0, while(1, i++)", "spin()", "\x03", "y + 1"]
    transcript = ""
    for line in lines:
        os.write(fd, line.encode() if line == "\x03" else (line + "\n").encode())
        transcript += read_until_quiet(fd)
    os.write(fd, b"\x04")
    transcript += read_until_quiet(fd)
    _, status = os.waitpid(pid, 0)
    expected = ["42", "6", "3", "不可识别函数名", "5", "10", "运行错误：/", "..> ", "QoInterrupt", "\n6\n"]
    missing = [e for e in expected if e not in transcript]
    order_ok = transcript.find("\n42\n") < transcript.find("\n6\n") < transcript.find("\n10\n")
    if missing or not order_ok or os.WEXITSTATUS(status) != 0:
        print("transcript:\n" + transcript)
        print("missing: %s, order ok: %s, status %d" % (missing, order_ok, os.WEXITSTATUS(status)))
        return 1
    if not os.path.exists(os.path.join(home, ".qo_history")):
        print("no history file written")
        return 1
    # A session without definitions keeps its variables and what they hold.
    pid, fd = pty.fork()
    if pid == 0:
        os.environ["HOME"] = home
        os.execv(qo, [qo, "--no-ext"])
    read_until_quiet(fd)
    transcript = ""
    for line in ["a = 3", "a + 4", 's = "ab" + "cd"', "k = 0; while(k < 40, t = s + s, k++)", 's + "!"']:
        os.write(fd, (line + "\n").encode())
        transcript += read_until_quiet(fd)
    os.write(fd, b"\x04")
    transcript += read_until_quiet(fd)
    os.waitpid(pid, 0)
    if "\n7\n" not in transcript or "\nabcd!\n" not in transcript:
        print("variables lost between entries:\n" + transcript)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
