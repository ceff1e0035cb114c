#!/usr/bin/env python3
"""Checks every quoted #include of the libraries against docs/architecture.md.

The document's tables list, for each folder of a library, the folders it may
include. A header of the same folder may always be included; anything else
not listed fails the check, so the folder tree stays the architecture the
document describes. Run as: check_includes.py SOURCE_ROOT
"""
import os
import re
import sys

ROW = re.compile(r"^\|\s*`(core|profile)/([^`]+)/`\s*\|[^|]*\|\s*([^|]*)\|\s*$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def read_rules(document):
    rules = {}
    with open(document, encoding="utf-8") as text:
        for line in text:
            match = ROW.match(line.strip())
            if match:
                library, folder, allowed = match.groups()
                names = re.findall(r"`([^`]+)`", allowed)
                rules[(library, folder)] = set(name.rstrip("/") for name in names)
    return rules


def main(root):
    rules = read_rules(os.path.join(root, "docs", "architecture.md"))
    if not rules:
        print("no folder rules found in docs/architecture.md")
        return 1
    folders = {folder: library for library, folder in rules}
    problems = []
    for library in ("core", "profile"):
        base = os.path.join(root, library)
        for directory, _, files in os.walk(base):
            folder = os.path.relpath(directory, base)
            sources = [name for name in files if name.endswith((".h", ".cpp"))]
            if not sources:
                continue
            if (library, folder) not in rules:
                problems.append(f"{library}/{folder}/: not described in docs/architecture.md")
                continue
            allowed = rules[(library, folder)] | {folder}
            for name in sources:
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8") as source:
                    for included in INCLUDE.findall(source.read()):
                        target = os.path.dirname(included)
                        where = f"{library}/{folder}/{name}"
                        if target not in folders:
                            problems.append(f"{where}: \"{included}\" names no library folder")
                        elif library == "core" and folders[target] != "core":
                            problems.append(f"{where}: core includes profile/ (\"{included}\")")
                        elif target not in allowed:
                            problems.append(f"{where}: {folder}/ may not include {target}/ (\"{included}\")")
    for problem in problems:
        print(problem)
    print(f"{len(problems)} include rule violations")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
