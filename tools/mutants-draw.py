#!/usr/bin/env python3
"""Draws mutants at random over the sources: a seeded choice of sites, each with a small fault of
one of the kinds below, written as rows of the mutant list that tools/mutants.sh runs (the format
of tools/mutants.tsv, with an empty test column: every test runs).

Usage: tools/mutants-draw.py SEED COUNT [--root DIR] [--under src] > list.tsv

Kinds of fault:
  compare   a comparison turned into its neighbour (== !=, < <=, > >=)
  logic     && and || swapped
  negate    the condition of an if or while negated
  constant  an integer literal replaced by its neighbour (n+1, n-1) or 0
  flag      a named constant replaced by the next one of its family (O_..., SQLITE_OPEN_...,
            QMessageBox::...), or left out of the flags it is or-ed with
  boolean   true and false swapped
  call      a statement that only calls something deleted
  return    a returned value replaced by the type's default ({})
  early     a function left at once (return; or return {};) as its first statement
  swap      the two arguments of a call of two simple arguments swapped

Sites lie in code only: comments, string and character literals and preprocessor lines are
left out. The same seed over the same sources gives the same rows, in the same order; a row whose
mutant does not compile is to be passed over and the next one taken (tools/mutants.sh --random).
Needs Python 3 (Debian: python3).
"""

import argparse
import os
import random
import re
import sys

COMPARE = {"==": ["!="], "!=": ["=="], "<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"]}


def code_mask(lines):
    """For each line, the same line with comments and literals blanked (same length), or None for
    a preprocessor line."""
    masked = []
    in_block = False
    for line in lines:
        if not in_block and line.lstrip().startswith("#"):
            masked.append(None)
            continue
        out = []
        i = 0
        n = len(line)
        while i < n:
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    in_block = False
                    out.append("  ")
                    i += 2
                else:
                    out.append(" ")
                    i += 1
                continue
            if line.startswith("//", i):
                out.append(" " * (n - i))
                break
            if line.startswith("/*", i):
                in_block = True
                out.append("  ")
                i += 2
                continue
            if line.startswith('R"(', i):  # a raw string literal on one line
                end = line.find(')"', i + 3)
                end = n if end < 0 else end + 2
                out.append("\"" + " " * (end - i - 2) + "\"")
                i = end
                continue
            if c in "\"'":
                j = i + 1
                while j < n and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                j = min(j + 1, n)
                out.append(c + " " * max(0, j - i - 2) + (c if j - i >= 2 else ""))
                i = j
                continue
            out.append(c)
            i += 1
        masked.append("".join(out)[:n].ljust(n))
    return masked


def matching_paren(text, start):
    """Index of the parenthesis closing the one at start, on the same line, or -1."""
    depth = 0
    for i in range(start, len(text)):
        if text[i] == "(":
            depth += 1
        elif text[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


# Named constants: all capitals with a family prefix (O_NOFOLLOW: O_, SQLITE_OPEN_READONLY:
# SQLITE_OPEN_), or a Qt enumerator (QMessageBox::Critical: QMessageBox::).
NAMED = re.compile(r"\b(?:([A-Z][A-Z0-9]*_(?:[A-Z0-9]+_)*)[A-Z0-9]+|(Q[A-Za-z]*::|Qt::)[A-Z]\w*)\b")


def family_of(m):
    family = m.group(1) or m.group(2)
    return None if family.startswith(("Q_", "QT_")) else family


def families_of(all_lines):
    """Every named constant the sources use, by family, in sorted order."""
    families = {}
    for lines in all_lines:
        for code in code_mask(lines):
            for m in NAMED.finditer(code or ""):
                if family_of(m):
                    families.setdefault(family_of(m), set()).add(m.group(0))
    return {family: sorted(names) for family, names in families.items() if len(names) > 1}


def sites_of(path, lines, families):
    masked = code_mask(lines)
    for no, (line, code) in enumerate(zip(lines, masked)):
        if code is None or not code.strip():
            continue
        for m in re.finditer(r"(?<=[\w)\]]) (==|!=|<=|>=|<|>) (?=[\w(!*&:-])", code):
            for to in COMPARE[m.group(1)]:
                yield no, m.start(1), m.end(1), to, "compare", f"{m.group(1)} becomes {to}"
        for m in re.finditer(r" (&&|\|\|) ", code):
            to = "||" if m.group(1) == "&&" else "&&"
            yield no, m.start(1), m.end(1), to, "logic", f"{m.group(1)} becomes {to}"
        for m in re.finditer(r"\b(if|while) \(", code):
            open_at = m.end() - 1
            close = matching_paren(code, open_at)
            if close > open_at + 1:
                cond = line[open_at + 1:close]
                yield no, open_at + 1, close, f"!({cond})", "negate", f"the condition of {m.group(1)} negated"
        for m in re.finditer(r"(?<![\w.'])(\d+)(?![\w.'])", code):
            value = int(m.group(1))
            for to in sorted({value + 1, max(value - 1, 0), 0} - {value}):
                yield no, m.start(1), m.end(1), str(to), "constant", f"{value} becomes {to}"
        for m in NAMED.finditer(code):
            names = families.get(family_of(m) or "", [])
            if m.group(0) in names:
                to = names[(names.index(m.group(0)) + 1) % len(names)]
                yield no, m.start(), m.end(), to, "flag", f"{m.group(0)} becomes {to}"
            if code.startswith(" | ", m.end()):
                yield no, m.start(), m.end() + 3, "", "flag", f"{m.group(0)} left out"
            elif code[:m.start()].endswith(" | "):
                yield no, m.start() - 3, m.end(), "", "flag", f"{m.group(0)} left out"
        for m in re.finditer(r"\b(true|false)\b", code):
            to = "false" if m.group(1) == "true" else "true"
            yield no, m.start(1), m.end(1), to, "boolean", f"{m.group(1)} becomes {to}"
        stripped = code.strip()
        if (re.match(r"^[A-Za-z_:~][\w:.<>\->]*\(.*\);$", stripped) and not stripped.startswith(("return", "delete"))
                and " = " not in stripped and matching_paren(stripped, stripped.index("(")) == len(stripped) - 2):
            start = len(line) - len(line.lstrip())
            yield no, start, len(line.rstrip()), "(void)0;", "call", "the call deleted"
        m = re.match(r"^(\s*)return (.+);$", code)
        if m and m.group(2).strip() not in ("{}", "true", "false") and not m.group(2).strip().startswith("{"):
            yield no, code.index("return") + 7, len(line.rstrip()) - 1, "{}", "return", "the value returned becomes {}"
        if line.rstrip() == "{" and no > 0 and masked[no - 1] and masked[no - 1].rstrip().endswith((")", "const", "noexcept", "override")):
            yield no, 1, 1, "\n    return;", "early", "the function returns at once"
            yield no, 1, 1, "\n    return {};", "early", "the function returns its default at once"
        for m in re.finditer(r"\b[A-Za-z_]\w*\(([A-Za-z_][\w.]*(?:\(\))?), ([A-Za-z_][\w.]*(?:\(\))?)\)", code):
            if m.group(1) != m.group(2):
                yield no, m.start(1), m.end(2), f"{m.group(2)}, {m.group(1)}", "swap", "the two arguments swapped"


def unique_context(lines, no, count_in):
    """The smallest run of lines around line no whose text occurs once in the file."""
    lo = hi = no
    while True:
        text = "\n".join(lines[lo:hi + 1])
        if count_in(text) == 1 or (lo == 0 and hi == len(lines) - 1):
            return lo, hi
        lo, hi = max(lo - 1, 0), min(hi + 1, len(lines) - 1)


def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("seed", type=int)
    parser.add_argument("count", type=int)
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    parser.add_argument("--under", default="src")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    sources = {}
    for folder, _, names in os.walk(os.path.join(root, args.under)):
        for name in sorted(names):
            if name.endswith((".cpp", ".h")):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as f:
                    sources[os.path.relpath(path, root)] = f.read().split("\n")
    families = families_of(sources.values())
    sites = [(rel,) + site for rel, lines in sources.items() for site in sites_of(rel, lines, families)]
    sites.sort()
    random.Random(args.seed).shuffle(sites)
    texts = {}
    print(f"# {args.count} of {len(sites)} sites drawn with seed {args.seed} over {args.under}/")
    for n, (rel, no, start, end, to, kind, what) in enumerate(sites[:args.count], 1):
        if rel not in texts:
            with open(os.path.join(root, rel), encoding="utf-8") as f:
                texts[rel] = f.read()
        content = texts[rel]
        lines = content.split("\n")
        mutated_line = lines[no][:start] + to + lines[no][end:]
        lo, hi = unique_context(lines, no, content.count)
        before = "\n".join(lines[lo:hi + 1])
        after = "\n".join(lines[lo:no] + [mutated_line] + lines[no + 1:hi + 1])
        print("\t".join([f"r{args.seed}-{n:03d}", rel, escape(before), escape(after), "",
                         f"{kind}: {what} ({rel}:{no + 1})"]))


if __name__ == "__main__":
    sys.exit(main())
