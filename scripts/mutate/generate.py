#!/usr/bin/env python3
"""The mutants of make mutate, and the small file operations of its runner.

  generate.py list ROOT EQUIVALENT_TSV WINDOWS_TSV   every mutant as a row of TSV (see ROW)
  generate.py apply FILE OFFSET ORIGINAL REPLACEMENT the mutant into FILE, checked first
  generate.py sync SOURCE COPY                       COPY made equal to SOURCE's files

Native mutants come from a small C++ tokenizer over src/core: relational operators
to their neighbour, && and || swapped, number literals moved by one. Outside
comments, string and character literals and preprocessor lines only, and template
brackets are told from comparisons by the names they follow, so that nearly every
mutant compiles.
"""
import filecmp
import os
import re
import shutil
import subprocess
import sys
from decimal import Decimal

# ROW: tier, id, file (relative to ROOT), byte offset, original, replacement, ctest
# regex (windows), equivalent reason; separated by US, which no field holds and which,
# unlike a tab, the shell's read does not merge when a field is empty.
SEPARATOR = "\x1f"

RELATIONAL = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}

# Names that take template arguments in src/core; a "<" after one opens a bracket.
TEMPLATES = {
    "template", "static_cast", "reinterpret_cast", "const_cast", "dynamic_cast",
    "array", "vector", "optional", "span", "initializer_list", "numeric_limits",
    "basic_string", "basic_string_view", "unique_ptr", "shared_ptr", "pair", "tuple",
    "map", "set", "unordered_map", "unordered_set", "function", "variant", "is_same_v",
}

PUNCTUATORS = sorted("""<=> <<= >>= ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^=
    .* { } [ ] ( ) ; : ? . , + - * / % ^ & | ~ ! = < > #""".split(), key=len, reverse=True)

IDENT = re.compile(r"[A-Za-z_][A-Za-z_0-9]*")
PPNUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|'[0-9A-Za-z]|[A-Za-z0-9_.])*")
ENCODING = re.compile(r"(?:u8|u|U|L)?R?(?=[\"'])")


def tokens(text):
    """(kind, start, end) of each token: ident, number, punct, comment. Literals and
    preprocessor lines give none."""
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c in " \t\r\f\v":
            i += 1
            continue
        if c == "#" and line_start:
            while i < n and text[i] != "\n":  # to the end of the line, continuations too
                i += 2 if text[i] == "\\" else 1
            continue
        line_start = False
        if text.startswith("//", i):
            start, i = i, text.find("\n", i)
            i = n if i < 0 else i
            yield "comment", start, i
            continue
        if text.startswith("/*", i):
            start, i = i, text.find("*/", i + 2)
            i = n if i < 0 else i + 2
            yield "comment", start, i
            continue
        m = ENCODING.match(text, i)
        if m and m.end() < n and (m.group() or not IDENT.match(text, i)):
            prefix = m.group()
            q = m.end()
            if prefix.endswith("R") and text[q] == '"':
                delim = text[q + 1:text.index("(", q)]
                i = text.index(")" + delim + '"', q) + len(delim) + 2
                continue
            quote = text[q]
            j = q + 1
            while text[j] != quote:
                j += 2 if text[j] == "\\" else 1
            i = j + 1
            continue
        m = IDENT.match(text, i)
        if m:
            yield "ident", i, m.end()
            i = m.end()
            continue
        m = PPNUMBER.match(text, i)
        if m:
            yield "number", i, m.end()
            i = m.end()
            continue
        for p in PUNCTUATORS:
            if text.startswith(p, i):
                yield "punct", i, i + len(p)
                i += len(p)
                break
        else:
            yield "other", i, i + 1
            i += 1


def moved_literal(lit):
    """The literal plus one, in its own form and suffix; None when not a plain literal."""
    if "'" in lit:
        return None
    m = re.fullmatch(r"(0[xX])([0-9a-fA-F]+)([uUlLzZ]*)", lit)
    if m:
        digits = m.group(2)
        value = int(digits, 16) + 1
        out = format(value, "0%dx" % len(digits))
        if not any(c.islower() for c in digits):
            out = out.upper()
        return m.group(1) + out + m.group(3)
    m = re.fullmatch(r"([0-9]+)([uUlLzZ]*)", lit)
    if m:
        if len(m.group(1)) > 1 and m.group(1)[0] == "0":
            return None  # octal
        return str(int(m.group(1)) + 1) + m.group(2)
    m = re.fullmatch(r"([0-9]*\.[0-9]*|[0-9]+)([eE][+-]?[0-9]+)?([fFlL]?)", lit)
    if m and m.group(1) not in (".", ""):
        mantissa, exponent, suffix = m.group(1), m.group(2) or "", m.group(3)
        if exponent:
            return None
        places = len(mantissa.split(".")[1]) if "." in mantissa else 0
        value = Decimal(mantissa if not mantissa.endswith(".") else mantissa + "0") + 1
        text = format(value, "f")
        if "." in mantissa:
            whole = text.split(".")[0]
            text = whole + "." + (text.split(".")[1] if "." in text else "").ljust(places, "0")[:places]
        return text + suffix
    return None


def sites(text):
    """(start, end, replacement) of every mutation site of one source text."""
    toks = [t for t in tokens(text) if t[0] != "comment"]
    brackets = []  # nesting depth of each open template bracket
    depth = 0
    asserted = None  # depth outside a static_assert's parentheses
    for k, (kind, start, end) in enumerate(toks):
        s = text[start:end]
        prev = text[toks[k - 1][1]:toks[k - 1][2]] if k else ""
        prev_kind = toks[k - 1][0] if k else ""
        # A mutated static_assert only stops the build: it is a check at compile time.
        if s == "(" and prev == "static_assert" and asserted is None:
            asserted = depth
        if asserted is not None:
            depth += 1 if s in "([{" and kind == "punct" else -1 if s in ")]}" and kind == "punct" else 0
            if depth == asserted:
                asserted = None
            continue
        if kind == "number":
            moved = moved_literal(s)
            if moved is not None:
                yield start, end, moved
            continue
        if kind != "punct":
            continue
        if s in "([{":
            depth += 1
        elif s in ")]}":
            depth -= 1
        if s in ";{}":
            brackets.clear()
        if prev == "operator":
            continue
        if s == "<":
            glued = start > 0 and not text[start - 1].isspace()
            if prev in TEMPLATES or (prev_kind == "ident" and glued):
                brackets.append(depth)
                continue
        if s in (">", ">>") and brackets and brackets[-1] == depth:
            brackets.pop()
            if s == ">>" and brackets and brackets[-1] == depth:
                brackets.pop()
            continue
        if s in RELATIONAL:
            yield start, end, RELATIONAL[s]
        elif s in LOGICAL:
            yield start, end, LOGICAL[s]


def native_mutants(root):
    core = os.path.join(root, "src", "core")
    for name in sorted(os.listdir(core)):
        if not name.endswith((".cpp", ".h")):
            continue
        path = os.path.join(core, name)
        data = open(path, "rb").read()
        text = data.decode("utf-8")
        # Comments out of the ids too: rewording one does not make its mutants new.
        plain = list(text)
        for kind, start, end in tokens(text):
            if kind == "comment":
                plain[start:end] = " " * (end - start)
        plain = "".join(plain)
        if len(text) != len(data):
            sys.exit("mutate: %s is not ASCII: offsets would be wrong" % path)
        seen = {}
        rows = []
        for start, end, replacement in sites(text):
            line_start = text.rfind("\n", 0, start) + 1
            line_end = text.find("\n", start)
            line = " ".join(plain[line_start:line_end if line_end >= 0 else len(text)].split())
            original = text[start:end]
            key = (line, original, replacement)
            seen[key] = seen.get(key, 0) + 1
            rows.append((key, seen[key], start, original, replacement))
        for key, nth, start, original, replacement in rows:
            line = key[0]
            # The line's text, not its number: an id keeps matching after edits elsewhere.
            occurrence = " #%d" % nth if seen[key] > 1 else ""
            ident = "%s: %s%s '%s'→'%s'" % (name, line, occurrence, original, replacement)
            yield ["native", ident, "src/core/" + name, str(start), original, replacement, "", ""]


def read_tsv(path, columns):
    rows = []
    if not os.path.exists(path):
        return rows
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            fields = line.split("\t")
            if len(fields) < columns - 1 or len(fields) > columns:
                sys.exit("mutate: %s:%d: %d fields, not %d" % (path, number, len(fields), columns))
            rows.append((number, fields + [""] * (columns - len(fields))))
    return rows


def windows_mutants(root, path):
    names = set()
    for number, (name, rel, original, replacement, regex, reason) in read_tsv(path, 6):
        where = "%s:%d" % (path, number)
        if not name or name in names:
            sys.exit("mutate: %s: the name %r is empty or used twice" % (where, name))
        names.add(name)
        if not original or not regex:
            sys.exit("mutate: %s: %s needs the original text and a ctest regex" % (where, name))
        try:
            data = open(os.path.join(root, rel), "rb").read()
        except OSError as e:
            sys.exit("mutate: %s: %s: %s" % (where, name, e))
        needle = unescape(original).encode("utf-8")
        count = data.count(needle)
        if count != 1:
            sys.exit("mutate: %s: %s: the original text occurs %d times in %s, not once" % (where, name, count, rel))
        yield ["windows", name, rel, str(data.index(needle)), original, replacement, regex, reason]


def list_mutants(root, equivalent_path, windows_path):
    rows = list(native_mutants(root))
    ids = {row[1] for row in rows}
    equivalent = {}
    for number, (ident, reason) in read_tsv(equivalent_path, 2):
        if not reason:
            sys.exit("mutate: %s:%d: an equivalent mutant needs its reason" % (equivalent_path, number))
        equivalent[ident] = reason
        if ident not in ids:
            print("warning: stale equivalent entry (no such mutant): %s" % ident, file=sys.stderr)
    for row in rows:
        row[7] = equivalent.get(row[1], "")
    rows += windows_mutants(root, windows_path)
    for row in rows:
        for field in row:
            if SEPARATOR in field or "\n" in field:
                sys.exit("mutate: a separator or line end in the mutant %r" % row[1])
        print(SEPARATOR.join(row))


def unescape(text):
    """A hand-kept row spans lines with \\n; the listing keeps it escaped."""
    return text.replace("\\n", "\n")


def apply(path, offset, original, replacement):
    data = open(path, "rb").read()
    offset = int(offset)
    original, replacement = unescape(original), unescape(replacement)
    old = original.encode("utf-8")
    if data[offset:offset + len(old)] != old:
        sys.exit("mutate: %s has no %r at %d: the copy is not the source listed" % (path, original, offset))
    open(path, "wb").write(data[:offset] + replacement.encode("utf-8") + data[offset + len(old):])


def sync(source, copy):
    """The tracked and the untracked but not ignored files of SOURCE, build/ aside,
    into COPY; files of the same content are left as they are, so builds in COPY stay
    incremental."""
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            check=True, capture_output=True).stdout.decode().split("\0")
    wanted = set()
    for rel in listed:
        if not rel or rel.startswith("build/") or not os.path.isfile(os.path.join(source, rel)):
            continue
        wanted.add(rel)
        src, dst = os.path.join(source, rel), os.path.join(copy, rel)
        try:
            if filecmp.cmp(src, dst, shallow=False):
                continue
            # A new time, never the source's: the copy's objects may be newer than that
            # (built from a mutant), and make would keep them.
            shutil.copyfile(src, dst)
            shutil.copymode(src, dst)
        except FileNotFoundError:
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy2(src, dst)
    for top, dirs, files in os.walk(copy):
        rel_top = os.path.relpath(top, copy)
        if rel_top == ".":
            dirs[:] = [d for d in dirs if d != "build"]
        for f in files:
            rel = os.path.normpath(os.path.join(rel_top, f))
            if rel not in wanted:
                os.remove(os.path.join(top, f))


def main(argv):
    if len(argv) == 5 and argv[1] == "list":
        list_mutants(*argv[2:])
    elif len(argv) == 6 and argv[1] == "apply":
        apply(*argv[2:])
    elif len(argv) == 4 and argv[1] == "sync":
        sync(*argv[2:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
