#!/usr/bin/env python3
"""Checks the examples of a Markdown guide: every ```qo block is run with qo
(as a script file) and its standard output and standard error, together,
must equal the ```output block that follows it."""
import os
import re
import subprocess
import sys
import tempfile

BLOCK = re.compile(r"```qo\n(.*?)```\s*```output\n(.*?)```", re.S)


def main():
    qo, guide = sys.argv[1], sys.argv[2]
    with open(guide, encoding="utf-8") as f:
        text = f.read()
    pairs = BLOCK.findall(text)
    if not pairs:
        print("no examples found")
        return 1
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for n, (code, expected) in enumerate(pairs, 1):
            path = os.path.join(tmp, "example.oqo")
            with open(path, "w", encoding="utf-8") as f:
                f.write(code)
            r = subprocess.run([qo, "example.oqo"], cwd=tmp, capture_output=True, timeout=60,
                               env=dict(os.environ, LC_ALL="zh_CN.UTF-8"))
            got = r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")
            if got != expected:
                failures += 1
                print("FAIL example %d:\n%s--- expected\n%s--- got\n%s" % (n, code, expected, got))
    print("%d examples, %d failures" % (len(pairs), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
