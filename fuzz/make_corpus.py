#!/usr/bin/env python3
"""Writes the seed corpora and the dictionary of the fuzz targets.

Seeds come from the project's own script tests: every source text of the
golden script files (engine/lang/tests/scripts/**/*.qo, format in
docs/testing.md) seeds the compiler and compile-and-run targets; the module
files of the front-end tests and the examples (*.oqo), and the golden sources
as one-item modules, seed the module-manager target. Every seed is stored as
little-endian UTF-16, named by its content hash.

usage: make_corpus.py OUT_DIR   (writes OUT_DIR/<target>/ and OUT_DIR/qo.dict)
"""
import hashlib
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

TOKENS = [
    # control forms, inline functions, header words
    "if(", "while(", "until(", "which(", "break()", "continue()", "return(",
    "sqrt(", "exp(", "ln(", "lg(", "sin(", "cos(", "tan(", "asin(", "acos(", "atan(",
    "sinh(", "cosh(", "tanh(", "abs(", "floor(", "ceil(", "itor(", "rtoi(", "con(",
    "global(", "local(", "atan2(", "fmod(", "static", "common", "free",
    # engine natives and constants
    "A(", "A2(", "A3(", "clock()", "sum(", "pro(", "SetStackMax(", "const(", "Module(",
    "OutFun(", "HFor(", "using(", "o(", "oset(", "oget(", "gc(", "ObjNum(", "ClearBuf(",
    "qo(", "intss(", "realss(", "cast(", "del(", "delete(", "new(", "len(", "newtype(",
    "copy(", "deepcopy(", "set(", "get(",
    "nil", "nil1", "nil2", "true", "false", "int", "real", "complex", "vector", "string",
    "ints", "reals", "all", "data", "public", "private", "protected", "virtual", "row",
    "rank", "inf", "INF", "nan", "NaN", "self", "method",
    # operators and punctuation
    "++", "--", "&&", "||", "~~", "!!", "!=", "==", ">=", "<=", "<<", ">>", ":=", "::",
    ".*", "./", ".\\", ".^", ".'", "$", "@", "#", "(:", "):", ")=", "f(x)=", "(x,y:t)=",
    "\"", "@\"", "\\x0041", "\\00065", "\\[3]", "\\&", "\\%", "1.5e3", "0x1F", "3i", "10L",
    "#USE#", "~", "//", "/*", "*/", ";",
    # the system library's containers, classes and objects
    "sys::class(", "sys::class_handle(", "sys::obj(", "sys::obj_oget(", "sys::obj_oset(", "sys::obj_method(",
    "sys::struct(", "sys::struct_oget(", "sys::struct_oset(", "sys::dict(", "sys::dict_oget(", "sys::dict_oset(",
    "sys::dict_del(", "sys::qou(", "__init__", "__del__", "__copy__", "#get", "@get", "(self)", "(self, v)=",
    "oget(self, #", "oget(p, #get)", "delete(self)",
]

# Scripts for objects_fuzz: lines of functions (methods among them), the last
# line the one that runs.
OBJECT_SEEDS = [
    "get(self) = 3\n(: c, p, i, s) = c = sys::class(#M, method, #get, @get), p = sys::obj(c), i = 0, s = 0, "
    "while(i < 9, s = s + oget(p, #get), i++), s",
    "twice(self, v) = v * 2\nmix(self, v, w) = v * 10 + w\n(: c, p, i, s) = c = sys::class(#M, method, #twice, @twice, "
    "#mix, @mix), p = sys::obj(c), i = 0, s = 0, while(i < 9, s = s * 2 + oget(p, #twice, i) - oget(p, #mix, i, 1), i++), s",
    "kill(self) = delete(self), 9\n(: c, p, i, s) = c = sys::class(#K, method, #kill, @kill), p = sys::obj(c), i = 0, "
    "s = 0, while(i < 3, s = s + oget(p, #kill), i++), s",
    "deep(self, n) = which(n < 1, 0, 1 + oget(self, #deep, n - 1))\n(: c, p) = c = sys::class(#D, method, #deep, @deep), "
    "p = sys::obj(c), oget(p, #deep, 50)",
    "redo(self) = sys::class(#M, method, #redo, @redo), 2\n(: p, i, s) = p = sys::obj(sys::class(#M, method, #redo, @redo)), "
    "i = 0, s = 0, while(i < 4, s = s + oget(p, #redo), i++), s",
    "peek(self) = oget(self, #h) + 1\nbye(self) = o(\"bye\"), 0\n(: c, p, q, i, s) = c = sys::class(#P, private, #h, public, "
    "#x, method, #peek, @peek, #__del__, @bye), p = sys::obj(c), sys::obj_oset(p, #h, 4), sys::obj_oset(p, #x, 5), "
    "q = sys::obj(sys::class(#Q, #P)), i = 0, s = 0, while(i < 5, s = s + oget(p, #peek) + oget(p, #x) + oget(q, #P, #x), i++), "
    "delete(p), gc(), s",
    "(: t, d, i, s) = t = sys::struct(#x, 1, #y, 2), d = sys::dict(), i = 0, s = 0, while(i < 20, "
    "sys::dict_oset(d, i, i * 2), oset(t, #x, i), s = s + oget(t, #x) + sys::dict_oget(d, i), i++), s",
]


def golden_sources():
    for path in sorted((ROOT / "engine/lang/tests/scripts").rglob("*.qo")):
        in_case, pending = False, []
        for line in read_text(path).splitlines():
            if line.startswith("=== "):
                in_case, pending = True, []
            elif not in_case or line.startswith("@@@"):
                continue
            elif line.startswith("-->"):
                if pending:
                    yield "\n".join(pending)
                pending = []
            else:
                pending.append(line)


def read_text(path):
    data = path.read_bytes()
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return data.decode("utf-16")
    return data.decode("utf-8-sig", errors="replace")


def module_files():
    for pattern in ("frontend/tests/scripts/*.oqo", "examples/**/*.oqo"):
        for path in sorted(ROOT.glob(pattern)):
            yield read_text(path)


def write_seeds(directory, texts):
    directory.mkdir(parents=True, exist_ok=True)
    count = 0
    for text in texts:
        data = text.encode("utf-16-le")
        (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)
        count += 1
    return count


# Formats and sources for text_format_fuzz: subject byte, split byte, then the
# two texts as UTF-16 (the split byte places the cut at the first text's end).
FORMATS = [
    (0, "%d %5.2f %s %-3C|%I64x %p %n %.1e %hd %%", ""),
    (0, "[%05d|%+d|% d|%#o|%.2s|%99.99f]", ""),
    (1, "%d%lf%s%C%n%I64d%[a-z]%*d%x", "12 3.5 word A 99 abc 7 ff"),
    (1, "%[^,],%s %p %e", "left,right 0x10 1e5"),
    (2, "%d %s %g\n", "%d %s %lf"),
    (2, "%10s|%-10s|%.3s\n", " %[^|]|%s"),
    (3, "plain ascii, ü, 字, 😀, \ud800 lone", ""),
]


def format_seeds():
    for subject, a, b in FORMATS:
        units = (a + b).encode("utf-16-le", "surrogatepass")
        split = min(255, (len(a) * 256 + len(a + b) - 1) // max(1, len(a + b))) if b else 255
        yield bytes([subject, split]) + units


REGEX_TOKENS = [
    "(?:", "(?>", "(?=", "(?!", "(?<=", "(?<!", "(?<n>", "(?'n'", "(?P<n>", "(?(1)", "(?(n)",
    "(?(?=", "(?R)", "(?R<n>)", "(?1)", "(?#c)", "(?i)", "(?-i)", "(?ms:", "\\k<n>", "\\1",
    "\\Q", "\\E", "\\L", "\\U", "\\x{1F600}", "\\u0041", "\\x41", "\\d", "\\w",
    "\\s", "\\b", "\\B", "\\A", "\\Z", "\\z", "\\G", "[:alpha:]", "[:^digit:]",
    "[^", "a-z", "*?", "*+", "+?", "++", "??", "?+", "{2}", "{2,}", "{1,3}", "{0,1}?", "|", ".",
    "^", "$", "#", "\n",
]

# Pattern/text pairs of the engine's unit tables: {u"PATTERN", u"TEXT", ...}.
def regex_cases():
    import re
    source = read_text(ROOT / "ext-system/regex/tests/regex_test.cpp")
    def unescape(s):
        return s.encode("latin-1", "backslashreplace").decode("unicode_escape", errors="replace")
    for m in re.finditer(r'\{u"((?:[^"\\]|\\.)*)", u"((?:[^"\\]|\\.)*)", "[^"]*"(?:, (k\w+))?', source):
        flags = {"kSingleline": 1, "kMultiline": 2, "kIgnoreCase": 8, "kRightToLeft": 16, "kExtended": 32}
        yield unescape(m.group(1)), unescape(m.group(2)), flags.get(m.group(3) or "", 0)


def write_regex_seeds(directory, cases, with_text):
    directory.mkdir(parents=True, exist_ok=True)
    count = 0
    for pattern, text, flags in cases:
        p = pattern.encode("utf-16-le", errors="surrogatepass")
        units = min(len(p) // 2, 255)
        data = bytes([flags]) + (bytes([units]) + p + text.encode("utf-16-le", errors="surrogatepass") if with_text else p)
        (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)
        count += 1
    return count


def write_dict(path, tokens=TOKENS):
    with path.open("w", encoding="ascii") as out:
        for i, token in enumerate(tokens):
            escaped = "".join("\\x%02x" % b for b in token.encode("utf-16-le"))
            out.write('t%d="%s"\n' % (i, escaped))


def main():
    out = pathlib.Path(sys.argv[1])
    sources = list(golden_sources())
    modules = list(module_files())
    counts = {
        "qocom_fuzz": write_seeds(out / "qocom_fuzz", sources),
        "qocal_fuzz": write_seeds(out / "qocal_fuzz", sources),
        "commodule_fuzz": write_seeds(out / "commodule_fuzz", modules + sources),
        "objects_fuzz": write_seeds(out / "objects_fuzz", [t.replace("\\n", "\n") for t in OBJECT_SEEDS] + sources),
    }
    target = out / "text_format_fuzz"
    target.mkdir(parents=True, exist_ok=True)
    for data in format_seeds():
        (target / hashlib.sha1(data).hexdigest()).write_bytes(data)
    counts["text_format_fuzz"] = len(FORMATS)
    cases = list(regex_cases())
    counts["regex_compile_fuzz"] = write_regex_seeds(out / "regex_compile_fuzz", cases, False)
    counts["regex_match_fuzz"] = write_regex_seeds(out / "regex_match_fuzz", cases, True)
    write_dict(out / "qo.dict")
    write_dict(out / "regex.dict", REGEX_TOKENS)
    for name, n in counts.items():
        print("%s: %d seeds" % (name, n))


if __name__ == "__main__":
    main()
