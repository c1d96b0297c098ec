#!/usr/bin/env python3
"""The include layering of the tree, from the quoted includes of every tracked source.

docs/architecture.md's tables say which folders each folder uses. This script reads what the
sources really include, folder by folder, and

  layers.py          fails (exit 1) on a use the tables do not list, and on a listed use no
                     source makes any more, naming the files;
  layers.py --table  prints the uses it found, one line a folder, as the tables' "uses" column.

The folders around the floors (tests/support, the test folders, benchmarks, fuzz targets) are
checked by their own rule: they may use any floor, the board and tests/support, never a folder of
tests/ beside tests/support.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DOC = os.path.join(ROOT, "docs", "architecture.md")

# Folders in the order a longer prefix must win.
FOLDERS = [
    "board/program", "board/bench", "board", "link/uart", "link/bench", "link", "platform", "console",
    "hexlib", "chip", "flash", "imagecheck", "image", "front", "tests/support", "bench", "fuzz",
    "examples",
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    if path.startswith("tests/"):
        parts = path.split("/")
        return "/".join(parts[:2]) if len(parts) > 2 else None
    for folder in FOLDERS:
        if path == folder or path.startswith(folder + "/"):
            return folder
    return None


def resolve(including, name):
    """Repository path of a quoted include: beside the including file, from the root, or the
    library's public header folder."""
    for candidate in (os.path.join(os.path.dirname(including), name), name,
                      os.path.join("hexlib/include", name), os.path.join("hexlib", name)):
        candidate = os.path.normpath(candidate)
        if os.path.isfile(os.path.join(ROOT, candidate)):
            return candidate
    return None


def tracked_sources():
    out = subprocess.run(["git", "-C", ROOT, "ls-files", "*.h", "*.cpp", "*.hpp", "*.c"],
                         check=True, capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if line]


def actual_uses():
    """{folder: {used folder: [including files]}}, and includes that name no file."""
    uses, unresolved = {}, []
    for path in tracked_sources():
        folder = folder_of(path)
        if folder is None:
            continue
        uses.setdefault(folder, {})
        with open(os.path.join(ROOT, path), encoding="utf-8", errors="replace") as source:
            text = source.read()
        for name in INCLUDE.findall(text):
            target = resolve(path, name)
            if target is None:
                unresolved.append(f"{path}: \"{name}\"")
                continue
            used = folder_of(target)
            if used and used != folder:
                uses[folder].setdefault(used, []).append(path)
    return uses, unresolved


def documented_uses():
    """{folder: set of folders} from the rows of the floor and beside tables."""
    row = re.compile(r"^\|(?:\s*\d+\s*\|)?\s*`([a-z/]+)/`\s*\|[^|]*\|\s*([^|]*)\|\s*$")
    documented = {}
    with open(DOC, encoding="utf-8") as doc:
        for line in doc:
            match = row.match(line)
            if not match:
                continue
            folder, column = match.group(1), match.group(2).strip()
            if folder not in FOLDERS:
                continue
            names = [] if column in ("—", "-", "") else [n.strip() for n in column.split(",")]
            # Rows in prose ("the floors, board") are the folders around the floors: own rule.
            if all(name in FOLDERS for name in names):
                documented[folder] = set(names)
    return documented


AROUND = ("tests/", "bench", "fuzz")


def around_problems(uses):
    problems = []
    for folder, used in uses.items():
        if not folder.startswith(AROUND):
            continue
        for other, files in used.items():
            if other.startswith("tests/") and other != "tests/support":
                problems.append(f"{folder} uses {other} ({files[0]}): only tests/support is shared")
    return problems


def main():
    uses, unresolved = actual_uses()
    if "--table" in sys.argv:
        for folder in FOLDERS + sorted(f for f in uses if f.startswith("tests/")):
            if folder in uses:
                print(f"{folder}: {', '.join(sorted(uses[folder])) or '—'}")
        return 0
    documented = documented_uses()
    problems = [f"include of no file: {entry}" for entry in unresolved]
    for folder, allowed in sorted(documented.items()):
        found = uses.get(folder, {})
        for used in sorted(set(found) - allowed):
            problems.append(f"{folder} uses {used} ({found[used][0]}), which docs/architecture.md does not list")
        for used in sorted(allowed - set(found)):
            problems.append(f"docs/architecture.md lists {folder} using {used}, which no source of it includes")
    for folder in sorted(set(uses) - set(documented)):
        if not folder.startswith(AROUND):
            problems.append(f"{folder} is in no table of docs/architecture.md")
    problems += around_problems(uses)
    for problem in problems:
        print(f"layers: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
