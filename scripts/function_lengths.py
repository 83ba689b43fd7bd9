#!/usr/bin/env python3
"""Lists C++ function bodies by length, longest first.

usage: python3 scripts/function_lengths.py [--min N] [--top N] [paths...]

A brace-matching scan, not a parser: comments, string and character literals are blanked
out, then every `{` whose preceding text (back to the last `;`, `{` or `}`) looks like a
function head -- a parameter list that is not an `if`/`for`/`while`/`switch`/`catch`
condition, and no `namespace`, `class`, `struct`, `enum` or `=` initialiser -- opens a
function. A lambda inside a function counts towards the enclosing function. The length is
the number of lines from the head's first line to the closing brace.
"""
import argparse
import pathlib
import re
import sys

CONTROL = re.compile(r"\b(if|for|while|switch|catch|do|else|try)\s*(\(|$)")
TYPE_HEAD = re.compile(r"\b(namespace|class|struct|union|enum)\b")


def blank_comments_and_literals(text):
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
        elif c in "\"'" and not (c == "'" and i > 0 and text[i - 1].isalnum()):
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(" " * (j + 1 - i))
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    text = blank_comments_and_literals(path.read_text())
    stack = []  # (kind, start_offset)
    head_start = 0
    for i, c in enumerate(text):
        if c == "{":
            head = text[head_start:i]
            inside_function = any(kind == "function" for kind, _ in stack)
            is_function = (
                not inside_function
                and ")" in head
                and not CONTROL.search(head.strip())
                and not TYPE_HEAD.search(head)
                and not re.search(r"=\s*$", head)
            )
            first = head_start + len(head) - len(head.lstrip())
            stack.append(("function" if is_function else "block", first))
            head_start = i + 1
        elif c == "}":
            if stack:
                kind, first = stack.pop()
                if kind == "function":
                    head = text[first:text.find("(", first)].split()
                    name = head[-1] if head else "?"
                    line0 = text.count("\n", 0, first) + 1
                    line1 = text.count("\n", 0, i) + 1
                    yield name, line0, line1 - line0 + 1
            head_start = i + 1
        elif c == ";":
            head_start = i + 1
        elif c in ":" and text[i - 1 : i + 1] != "::" and text[i : i + 2] != "::":
            # access specifiers and case labels end a head as well
            if re.search(r"\b(public|private|protected|default)\s*$", text[head_start:i]) or re.search(
                r"\bcase\b", text[head_start:i]
            ):
                head_start = i + 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--min", type=int, default=0)
    parser.add_argument("--top", type=int, default=0)
    parser.add_argument("paths", nargs="*", default=["src"])
    args = parser.parse_args()
    rows = []
    for root in args.paths:
        root = pathlib.Path(root)
        files = [root] if root.is_file() else sorted(
            p for p in root.rglob("*") if p.suffix in (".cpp", ".h")
        )
        for path in files:
            for name, line, length in functions(path):
                rows.append((length, f"{path}:{line}", name))
    rows.sort(key=lambda r: (-r[0], r[1]))
    if args.top:
        rows = rows[: args.top]
    for length, where, name in rows:
        if length >= args.min:
            print(f"{length:5d}  {where}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
