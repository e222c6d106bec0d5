#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints the README's introduction and the named sections, as the plain-text
README of a download.

  readme_text.py README.md [--crlf] PART...

A PART is a section of the README: its title as the README writes it after
its #s, below a top-level section its parent's title first
("Install/Windows"); a section runs to the next heading of its level or
above. PAGE:HEADING is a section of a guide, PAGE its path beside the README
("docs/windows.md:Running"), and PAGE: the whole guide. --crlf ends lines
with CR LF, for Windows' Notepad.
"""

import os
import re
import sys

HEADING = re.compile(r"^(#+) (.*)$")


def sections(lines):
    """The introduction (title and text before the first section) and a
    dict of heading path: lines for every section."""
    starts, in_code = [], False
    for i, line in enumerate(lines):
        if line.startswith("```"):
            in_code = not in_code
        match = None if in_code else HEADING.match(line)
        if match and len(match.group(1)) > 1:
            starts.append((i, len(match.group(1)), match.group(2)))
    intro = lines[:starts[0][0]] if starts else lines
    found, path = {}, []
    for index, (start, level, title) in enumerate(starts):
        path = path[:level - 2] + [title]
        end = next((s for s, l, _ in starts[index + 1:] if l <= level), len(lines))
        found["/".join(path)] = lines[start:end]
    return intro, found


def read_lines(path):
    with open(path, encoding="utf-8") as f:
        return f.read().splitlines()


def main():
    args = sys.argv[1:]
    crlf = "--crlf" in args
    args = [a for a in args if a != "--crlf"]
    if len(args) < 2:
        sys.exit(__doc__.strip())
    readme = args[0]
    intro, _ = sections(read_lines(readme))
    text, missing = list(intro), []
    for part in args[1:]:
        if text and text[-1]:
            text.append("")
        page, _, title = part.rpartition(":")
        path = os.path.join(os.path.dirname(readme), page) if page else readme
        lines = read_lines(path)
        if page and not title:
            text += lines
            continue
        found = sections(lines)[1]
        if title in found:
            text += found[title]
        else:
            missing.append("%s in %s" % (title, path))
    if missing:
        sys.exit("readme_text.py: no section %s" % ", ".join(missing))
    while text and not text[-1]:
        text.pop()
    end = "\r\n" if crlf else "\n"
    sys.stdout.buffer.write((end.join(text) + end).encode("utf-8"))


if __name__ == "__main__":
    main()
