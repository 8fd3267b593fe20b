#!/usr/bin/env python3
"""The command line of qo: -e, standard input and "-", script arguments,
interpreter lines, --help, --version, --load, the extension folders, the
language of the messages, real printing, and the exit statuses of usage and
file errors."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ZH = {"LC_ALL": "zh_CN.UTF-8"}
EN = {"LC_ALL": "", "LC_MESSAGES": "", "LANG": "en_US.UTF-8"}


def run(qo, args, stdin=b"", env=None, cwd=None):
    full = dict(os.environ, **(env or ZH))
    full.pop("QO_EXT_PATH", None)
    full.update({k: v for k, v in (env or {}).items() if k == "QO_EXT_PATH"})
    r = subprocess.run([qo] + args, input=stdin, capture_output=True, timeout=60, env=full, cwd=cwd)
    return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")


def check_interrupt(qo):
    """Ctrl-C stops a running script with the run error QoInterrupt (status 2)."""
    p = subprocess.Popen([qo, "--no-ext", "-e", "1; spin(:i) = i = 0, while(1, i++); spin(); 2"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, **ZH))
    time.sleep(1.5)  # well into the loop (the output is written when the run ends)
    p.send_signal(signal.SIGINT)
    try:
        out, err = p.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        p.kill()
        print("FAIL interrupt: qo did not stop")
        return 1
    err = err.decode("utf-8", "replace")
    if out != b"1\n" or p.returncode != 2 or "QoInterrupt" not in err or "正在中断运行" not in err:
        print("FAIL interrupt: status %d stdout %r stderr %r" % (p.returncode, out, err))
        return 1
    return 0


def check(label, got, status, out=None, err_has=(), err_lacks=(), out_exact=True):
    failures = []
    if got[0] != status:
        failures.append("status %d" % got[0])
    if out is not None and (got[1] != out if out_exact else out not in got[1]):
        failures.append("stdout %r" % got[1])
    for e in err_has:
        if e not in got[2]:
            failures.append("stderr lacks %r" % e)
    for e in err_lacks:
        if e in got[2]:
            failures.append("stderr has %r" % e)
    if failures:
        print("FAIL %s: %s (stderr %r)" % (label, ", ".join(failures), got[2]))
        return 1
    return 0


def has_cjk(text):
    return any("\u3000" <= c <= "\u9fff" or "\uff00" <= c <= "\uffef" for c in text)


def check_extension_folders(qo, tmp):
    """A copy of qo with its manager and engine but no extensions warns that the
    system library is missing; QO_EXT_PATH supplies it."""
    bindir = os.path.dirname(os.path.realpath(qo))
    copy = os.path.join(tmp, "copied")
    os.mkdir(copy)
    for name in ("qo", "libMQo32.so", "libqo32.so"):
        shutil.copy(os.path.realpath(os.path.join(bindir, name)), os.path.join(copy, name))
    lone = os.path.join(copy, "qo")
    env = dict(ZH, LD_LIBRARY_PATH=copy)
    failures = check("copied qo without extensions",
                     run(lone, ["-e", "1"], env=env), 0, "1\n", ["找不到扩展库 libQoSystem32.so"])
    env["QO_EXT_PATH"] = "/nonexistent:" + bindir
    failures += check("copied qo with QO_EXT_PATH",
                      run(lone, ["-e", "sys::EOF"], env=env), 0, "-1\n", err_lacks=["libQoSystem32"])
    failures += check("--no-ext expects nothing",
                      run(lone, ["--no-ext", "-e", "1"], env=dict(ZH, LD_LIBRARY_PATH=copy)), 0, "1\n",
                      err_lacks=["QoSystem32"])
    return failures


def main():
    qo = sys.argv[1]
    tmp = tempfile.mkdtemp()
    failures = 0
    try:
        script = os.path.join(tmp, "args.oqo")
        with open(script, "w", encoding="utf-8") as f:
            f.write("#!/usr/bin/env qo\nqoarg(); qoarg(0); qoarg(1); qoarg(2); qoarg(3)\n")
        os.chmod(script, 0o755)
        failures += check("-e", run(qo, ["-e", "1 + 2; \"x\""]), 0, "3\nx\n")
        failures += check("compile error", run(qo, ["-e", "f(x)=x; f("]), 1, "", ["-e:1:10: ", "编译错误"])
        failures += check("run error", run(qo, ["-e", "1; 2/0"]), 2, "1\n", ["运行错误：/"])
        failures += check("stdin", run(qo, [], b"2 * 21\n"), 0, "42\n")
        failures += check("-", run(qo, ["-", "a", "b"], b"#!qo\nqoarg(); qoarg(2)\n"), 0, "2\nb\n")
        failures += check("interpreter line and arguments", run(qo, [script, "one", "--two"]), 0,
                          "2\n%s\none\n--two\nnil\n" % script)
        failures += check("interpreter line: positions kept", run(qo, ["-"], b"#!/usr/bin/qo\n1 +\n"), 1, "",
                          ["<stdin>:2:3: "])
        failures += check("qoarg in -e", run(qo, ["-e", "qoarg(0); qoarg(1)", "x y"]), 0, "-e\nx y\n")
        failures += check("qoarg refuses a non-int", run(qo, ["-e", "qoarg(\"1\")"]), 2, "", ["qoarg"])
        failures += check("reals", run(qo, ["-e", "0/0.0; -(0/0.0); 1/0.0; -1/0.0; 2.5"]), 0,
                          "nan\nnan\ninf\n-inf\n2.5\n")
        failures += check("--help", run(qo, ["--help"]), 0, "用法：qo", out_exact=False)
        failures += check("--version", run(qo, ["--version"]), 0, "qo32.DLL V1.0", out_exact=False)
        failures += check("missing file", run(qo, ["no/such/file.oqo"]), 3, "", ["qo: 无法读取文件"])
        failures += check("unknown option", run(qo, ["--frobnicate"]), 3, "", ["未知选项"])
        failures += check("-e without text", run(qo, ["-e"]), 3, "", ["缺少参数"])
        failures += check("words after the script are arguments", run(qo, ["no/such.oqo", "b.oqo"]), 3, "",
                          ["no/such.oqo"])
        failures += check("--load missing", run(qo, ["--no-ext", "--load", "NoSuchExtension", "-e", "1"]), 0,
                          "1\n", ["libNoSuchExtension.so"])
        failures += check("--load", run(qo, ["--no-ext", "--load", "QoSystem32", "-e", "sys::EOF"]), 0, "-1\n")
        # --mem-limit: past the limit allocations fail as out of memory, and the script goes on
        failures += check("--mem-limit", run(qo, ["--no-ext", "--mem-limit", "8M", "-e",
                                                  "a = new(ints, 1000000); len(a); b = new(ints, 1000); len(b)"]),
                          0, "nil\nnil\n", out_exact=False)
        failures += check("--mem-limit string", run(qo, ["--no-ext", "--mem-limit", "8M", "-e",
                                                         "s = \"ab\"; k = 0; while(k < 40, s = s + s, k++); k < 40"]),
                          2, "ab\n0\n", ["运行错误：string operator，错误代码：6"])
        failures += check("--mem-limit 1G", run(qo, ["--no-ext", "--mem-limit", "1G", "-e",
                                                     "a = new(ints, 1000000); len(a)"]), 0, "1000000\n", out_exact=False)
        for bad in (["--mem-limit", "12X", "-e", "1"], ["--mem-limit"], ["--mem-limit", "0", "-e", "1"]):
            failures += check("bad --mem-limit", run(qo, bad), 3, "", ["--mem-limit"])

        # English: every message in English, none in Chinese.
        for label, args, stdin, status in [
                ("en help", ["--help"], b"", 0), ("en option", ["--frobnicate"], b"", 3),
                ("en file", ["no/such/file.oqo"], b"", 3), ("en compile", ["-e", "f(x)=x; f("], b"", 1),
                ("en run", ["-e", "1; 2/0"], b"", 2), ("en module", ["-e", "#USE# nowhere\n1"], b"", 1),
                ("en load", ["--no-ext", "--load", "NoSuchExtension", "-e", "1"], b"", 0)]:
            got = run(qo, args, stdin, env=EN)
            if got[0] != status or has_cjk(got[1] + got[2]) or not (got[1] + got[2]).strip():
                failures += 1
                print("FAIL %s: status %d, output %r %r" % (label, got[0], got[1], got[2]))
        failures += check("en compile text", run(qo, ["-e", "f(x)=x; f("], env=EN), 1, "",
                          ["-e:1:10: compile error: "])
        failures += check("en run text", run(qo, ["-e", "2/0"], env=EN), 2, "", ["run error: /, code "])
        failures += check("forged handles", run(qo, ["-e", "cast(5, qo); cast(3, sys::dict); 1"], env=EN), 0,
                          "<deleted or invalid qo handle 5>\n<deleted or invalid sys::dict handle 3>\n1\n")
        failures += check("#USE# of a missing module", run(qo, ["-e", "#USE# nowhere\n1"], env=EN), 1, "",
                          ["module not found"])
        with open(os.path.join(tmp, "cube.oqo"), "w", encoding="utf-8") as f:
            f.write("~cube(x) = x * x * x\n")
        with open(os.path.join(tmp, "main.oqo"), "w", encoding="utf-8") as f:
            f.write("1\n#USE# cube\ncube(3)\n")
        failures += check("#USE# ends at the line end", run(qo, [os.path.join(tmp, "main.oqo")]), 0, "1\n27\n")
        failures += check_extension_folders(qo, tmp)
        failures += check_interrupt(qo)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print("ok" if not failures else "%d failures" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
