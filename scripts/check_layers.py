#!/usr/bin/env python3
"""Checks that each folder of the program includes only itself and folders below it: app/
(start-up and routing) on top, then share/ and fetch/ (neither includes the other), then
services/ (what both sides use), then core/ (the portable core). Prints each include that runs up,
sideways or out of the layers, and exits 1 when there is one.

Usage: check_layers.py [root of the tree; by default the one this script is in]
"""
import os
import re
import sys

LAYERS = {"app": 3, "share": 2, "fetch": 2, "services": 1, "core": 0}
# Top-level folders that are not part of the program.
NOT_PROGRAM = {"bench", "build", "cmake", "docs", "scripts", "tests", "tools", "work"}
SOURCES = (".c", ".cpp", ".h", ".rc")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def allowed(folder):
    return ", ".join(f"{name}/" for name in LAYERS if name == folder or LAYERS[name] < LAYERS[folder])


def offences(root):
    for folder in sorted(os.listdir(root)):
        top = os.path.join(root, folder)
        if folder.startswith(".") or folder in NOT_PROGRAM or not os.path.isdir(top):
            continue
        for here, _, files in sorted(os.walk(top)):
            for name in sorted(n for n in files if n.endswith(SOURCES)):
                path = os.path.join(here, name)
                with open(path, encoding="latin-1") as f:
                    for number, line in enumerate(f, 1):
                        found = INCLUDE.match(line)
                        if found is None:
                            continue
                        target = found.group(1)
                        # A bare name is found beside the including file.
                        to = target.split("/")[0] if "/" in target else folder
                        where = f"{os.path.relpath(path, root)}:{number}: includes {target}"
                        if folder not in LAYERS:
                            yield f"{where} ({folder}/ is no layer)"
                        elif to not in LAYERS:
                            yield f"{where} ({to}/ is no layer)"
                        elif to != folder and LAYERS[to] >= LAYERS[folder]:
                            yield f"{where} ({folder}/ may include only {allowed(folder)})"


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    found = list(offences(root))
    for offence in found:
        print(offence)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
