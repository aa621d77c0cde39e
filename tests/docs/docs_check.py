#!/usr/bin/env python3
"""Keeps the docs and the programs in step where a machine can tell.

  docs_check.py SOURCE_DIR LOGTEST_RUN

- every option that `logtest-run --help` lists is in the man page's OPTIONS, and the other way
  round;
- every line logtest can print, other than its progress and usage lines, is in one of the
  README's tables (format conversions such as %d stand for any text there: `...`, `<path>`,
  a number);
- the README renders as meant: cmark-gfm (GitHub's dialect) turns every heading and every
  table of its source into one, so no fence left open swallows the rest as code.
"""
import glob
import re
import subprocess
import sys

root, launcher = sys.argv[1], sys.argv[2]
problems = []


def help_options():
    text = subprocess.run([launcher, "--help"], capture_output=True, text=True, check=True).stdout
    listed = text.split("\n\n\n")[0]  # the footer's prose mentions options too
    return set(re.findall(r"(?m)^\s+(?:-\w,)?(--[a-z][a-z-]*)", listed))


def man_options():
    text = open(f"{root}/man/logtest-run.1", encoding="utf-8").read()
    section = text.split(".SH OPTIONS")[1].split("\n.SH ")[0]
    found = set()
    for tag in re.findall(r"(?m)^\.TP\n(.*)$", section):
        found.update(o.replace("\\-", "-") for o in re.findall(r"(?:\\-){2}[a-z][a-z\\-]*", tag))
    return found


PROGRESS = ("Usage: ", "Log rename ", "Checking log ", "Dumping log ", "Done!", "%4d (")
CALL = re.compile(r'(?:printf|puts|perror|snprintf\(label, sizeof\(label\),)\(?\s*"((?:[^"\\]|\\.)*)"')
CONVERSION = re.compile(r"%[-+ 0#]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXcsp]")


def program_lines():
    lines = set()
    for path in glob.glob(f"{root}/src/**/*.cpp", recursive=True):
        for literal in CALL.findall(open(path, encoding="utf-8").read()):
            text = literal.replace('\\"', '"').replace("\\n", "").rstrip()
            if text and not text.startswith(PROGRESS):
                lines.add(text)
    return lines


def readme_cells():
    cells = []
    for row in open(f"{root}/README.md", encoding="utf-8"):
        if row.startswith("|"):
            cells += re.findall(r"`([^`]+)`", row)
    return cells


def as_pattern(line):
    parts = CONVERSION.split(line)
    return re.compile(".+?".join(re.escape(p) for p in parts))


helped = help_options()
missing = helped ^ man_options()
for option in sorted(missing):
    where = "--help" if option in helped else "the man page"
    problems.append(f"{option} is only in {where}")

cells = readme_cells()
for line in sorted(program_lines()):
    pattern = as_pattern(line)
    if not any(pattern.search(cell) for cell in cells):
        problems.append(f"logtest can print a line the README's tables do not show: {line}")

def source_blocks(text):
    """Headings and tables of the Markdown source, outside code fences."""
    headings = tables = 0
    fenced = False
    lines = text.split("\n")
    for i, line in enumerate(lines):
        if line.startswith("```"):
            fenced = not fenced
        elif not fenced and re.match(r"#{1,6} ", line):
            headings += 1
        elif not fenced and line.startswith("|") and i + 1 < len(lines) and \
                re.match(r"\|[-| :]+\|$", lines[i + 1]):
            tables += 1
    return headings, tables


readme = open(f"{root}/README.md", encoding="utf-8").read()
try:
    html = subprocess.run(["cmark-gfm", "-e", "table"], input=readme, capture_output=True,
                          text=True, check=True).stdout
    rendered = (len(re.findall(r"<h[1-6]>", html)), html.count("<table>"))
    if rendered != source_blocks(readme):
        problems.append("the README renders %d headings and %d tables of its %d and %d: a code "
                        "fence is not closed on a line of its own" % (rendered + source_blocks(readme)))
except FileNotFoundError:
    problems.append("cmark-gfm is missing (scripts/setup test installs it)")

for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
