#!/usr/bin/env python3
"""Runs qo on every script of a folder and compares with the expected files.

For NAME.oqo: NAME.out (standard output), NAME.err (standard error, optional:
missing means empty), NAME.status (exit status, optional: missing means 0) and
NAME.args (extra arguments before the file, optional). The expectations hold
the system's own (Chinese) texts, so qo runs under a Chinese locale
(LC_ALL=zh_CN.UTF-8; the locale need not be installed). Scripts whose name
starts with "lib_" are only used by others. Run from the script's folder, or,
with --temp, from a copy of it in a temporary directory (for scripts that
write files).
Usage: run_golden.py [--temp] QO SCRIPT_FOLDER [EXPECTATION_FOLDER]
"""
import os
import shutil
import subprocess
import sys
import tempfile


def read(path, default=""):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        return default


def main():
    argv = sys.argv[1:]
    if argv and argv[0] == "--temp":
        with tempfile.TemporaryDirectory() as tmp:
            copy = os.path.join(tmp, "scripts")
            shutil.copytree(argv[2], copy)
            expect = argv[3] if len(argv) > 3 else argv[2]
            return run_all(os.path.abspath(argv[1]), copy, os.path.abspath(expect))
    return run_all(argv[0], argv[1], argv[2] if len(argv) > 2 else argv[1])


def run_all(qo, folder, expect):
    failures = 0
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".oqo") or name.startswith("lib_"):
            continue
        base = name[:-4]
        args = read(os.path.join(expect, base + ".args")).split()
        run = subprocess.run([qo] + args + [name], cwd=folder, capture_output=True, timeout=60,
                             stdin=subprocess.DEVNULL, env=dict(os.environ, LC_ALL="zh_CN.UTF-8"))
        out, err = run.stdout.decode("utf-8", "replace"), run.stderr.decode("utf-8", "replace")
        want_out = read(os.path.join(expect, base + ".out"))
        want_err = read(os.path.join(expect, base + ".err"))
        want_status = int(read(os.path.join(expect, base + ".status"), "0").strip() or 0)
        problems = []
        if out != want_out:
            problems.append("stdout:\n--- expected\n%s--- got\n%s" % (want_out, out))
        if err != want_err:
            problems.append("stderr:\n--- expected\n%s--- got\n%s" % (want_err, err))
        if run.returncode != want_status:
            problems.append("exit status: expected %d, got %d" % (want_status, run.returncode))
        if problems:
            failures += 1
            print("FAIL %s\n%s" % (name, "\n".join(problems)))
        else:
            print("ok   %s" % name)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
