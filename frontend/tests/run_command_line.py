#!/usr/bin/env python3
"""The command line of qo: -e, standard input, --help, --version, --load,
and the exit statuses of usage and file errors."""
import signal
import subprocess
import sys
import time


def run(qo, args, stdin=b""):
    r = subprocess.run([qo] + args, input=stdin, capture_output=True, timeout=60)
    return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")


def check_interrupt(qo):
    """Ctrl-C stops a running script with the run error QoInterrupt (status 2)."""
    p = subprocess.Popen([qo, "--no-ext", "-e", "1; spin(:i) = i = 0, while(1, i++); spin(); 2"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(1.5)  # well into the loop (the output is written when the run ends)
    p.send_signal(signal.SIGINT)
    try:
        out, err = p.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        p.kill()
        print("FAIL interrupt: qo did not stop")
        return 1
    err = err.decode("utf-8", "replace")
    if out != b"1\n" or p.returncode != 2 or "QoInterrupt" not in err:
        print("FAIL interrupt: status %d stdout %r stderr %r" % (p.returncode, out, err))
        return 1
    return 0


def main():
    qo = sys.argv[1]
    checks = [
        (["-e", "1 + 2; \"x\""], b"", 0, "3\nx\n", ""),
        (["-e", "f(x)=x; f("], b"", 1, "", "-e:1:10: "),
        (["-e", "1; 2/0"], b"", 2, "1\n", "运行错误：/"),
        ([], b"2 * 21\n", 0, "42\n", ""),
        (["--help"], b"", 0, "用法：qo", ""),
        (["--version"], b"", 0, "qo32.DLL V1.0", ""),
        (["no/such/file.oqo"], b"", 3, "", "qo: 无法读取文件"),
        (["--frobnicate"], b"", 3, "", "未知选项"),
        (["-e"], b"", 3, "", "缺少参数"),
        (["a.oqo", "b.oqo"], b"", 3, "", "只能给出一个"),
        (["--no-ext", "--load", "NoSuchExtension", "-e", "1"], b"", 0, "", "libNoSuchExtension.so"),
        (["--no-ext", "--load", "QoSystem32", "-e", "sys::EOF"], b"", 0, "-1\n", ""),
        # --mem-limit: past the limit allocations fail as out of memory, and the script goes on
        (["--no-ext", "--mem-limit", "8M", "-e", "a = new(ints, 1000000); len(a); b = new(ints, 1000); len(b)"],
         b"", 0, "nil\nnil\n", ""),
        (["--no-ext", "--mem-limit", "8M", "-e", "s = \"ab\"; k = 0; while(k < 40, s = s + s, k++); k < 40"],
         b"", 2, "ab\n0\n", "运行错误：string operator，错误代码：6"),
        (["--no-ext", "--mem-limit", "1G", "-e", "a = new(ints, 1000000); len(a)"], b"", 0, "", ""),
        (["--mem-limit", "12X", "-e", "1"], b"", 3, "", "--mem-limit"),
        (["--mem-limit"], b"", 3, "", "--mem-limit"),
        (["--mem-limit", "0", "-e", "1"], b"", 3, "", "--mem-limit"),
    ]
    failures = 0
    for args, stdin, status, out, err in checks:
        got = run(qo, args, stdin)
        ok = got[0] == status and out in got[1] and err in got[2] and (out or got[1] == "" or status == 0)
        if out and not got[1].startswith(out) and not out.startswith("用法") and not out.startswith("qo32"):
            ok = ok and got[1] == out
        if not ok:
            failures += 1
            print("FAIL %s: status %d stdout %r stderr %r" % (args, got[0], got[1], got[2]))
    failures += check_interrupt(qo)
    print("ok" if not failures else "%d failures" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
