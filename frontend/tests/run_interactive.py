#!/usr/bin/env python3
"""The interactive loop on a pseudo-terminal: one module for the session,
entries that continue over lines, redefinition, errors that do not end it,
Ctrl-C that stops a running entry and leaves the session going; typed UTF-8
text, Ctrl-C at the prompt, Ctrl-D, and the history surviving every way out."""
import os
import pty
import select
import signal
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


def start(qo, home, lang="zh_CN.UTF-8"):
    pid, fd = pty.fork()
    if pid == 0:
        os.environ["HOME"] = home
        for name in ("LC_ALL", "LC_CTYPE", "LANG"):
            os.environ.pop(name, None)
        if lang:
            os.environ["LC_ALL"] = lang
        os.execv(qo, [qo, "--no-ext"])
    return pid, fd


def session(qo, home, inputs, lang):
    pid, fd = start(qo, home, lang)
    transcript = read_until_quiet(fd)
    for data in inputs:
        os.write(fd, data)
        transcript += read_until_quiet(fd)
    _, status = os.waitpid(pid, 0)
    return transcript, status


def check_prompt(qo):
    """UTF-8 typed at the prompt reaches the script; Ctrl-C abandons the line
    (and an unfinished entry) and the session goes on; Ctrl-D ends it; a
    second Ctrl-C during a run ends qo, and the history is there all the same."""
    home = tempfile.mkdtemp()
    inputs = ["\"h\u00e9llo \u4e2d\u6587\"\n".encode(), b"12345", b"\x03", b"1 + 1\n", b"(1 +\n", b"\x03",
              b"7\n", b"\x04"]
    transcript, status = session(qo, home, inputs, None)  # no locale set at all: still UTF-8
    want = ["h\u00e9llo \u4e2d\u6587\n", "qo> 12345^C\nqo> ", "\n2\n", "..> ^C\nqo> 7\n7\n", "Ctrl-D exits"]
    missing = [w for w in want if w not in transcript]
    if missing or os.WEXITSTATUS(status) != 0 or "12345" in transcript.split("^C", 1)[1]:
        print("prompt transcript:\n" + transcript)
        print("missing: %s, status %d" % (missing, os.WEXITSTATUS(status)))
        return 1
    # A session that is killed keeps the history of its entries.
    pid, fd = start(qo, home, "en_US.UTF-8")
    transcript = read_until_quiet(fd)
    for data in [b"40 + 2\n", b"\x03", b"50 + 2\n"]:
        os.write(fd, data)
        transcript += read_until_quiet(fd)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    with open(os.path.join(home, ".qo_history"), encoding="utf-8") as f:
        history = f.read().replace("\\040", " ")  # libedit writes blanks as \040
    if "\n52\n" not in transcript or "40 + 2" not in history or "50 + 2" not in history \
            or "1 + 1" not in history or "\u4e2d\u6587" not in history:
        print("killed session: history %r\n%s" % (history, transcript))
        return 1
    return 0


def main():
    qo = sys.argv[1]
    if check_prompt(qo):
        return 1
    home = tempfile.mkdtemp()
    pid, fd = start(qo, home)
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
