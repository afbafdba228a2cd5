#!/usr/bin/env python3
"""Checks that a 32-bit Windows exe starts on the oldest Windows the program runs on: every
function it imports must be in scripts/windows_imports.tsv with a version no later than that
system, and its header must not ask for a later one.

  check_imports.py EXE              checks EXE (exit 1 with each refusal listed)
  check_imports.py --probe          builds a small exe that calls GetTickCount64 and passes only
                                    if the check refuses it: the check itself can fail
"""
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TABLE = os.path.join(HERE, "windows_imports.tsv")
OBJDUMP = "i686-w64-mingw32-objdump"
ORDER = ["NT3.1", "NT3.5", "NT3.51", "NT4.0", "2000", "XP", "Vista", "7", "8", "10"]
OLDEST = "2000"
HEADER_LIMIT = (5, 0)  # Windows 2000 is NT 5.0


def read_table():
    table = {}
    with open(TABLE, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            dll, function, version = line.split("\t")
            if version not in ORDER:
                sys.exit("%s:%d: unknown version %r" % (TABLE, number, version))
            table[(dll.lower(), function)] = version
    return table


def read_exe(path):
    """(imports as (dll, function) pairs, {header field: value})."""
    text = subprocess.run([OBJDUMP, "-p", path], check=True, capture_output=True, text=True).stdout
    imports, dll = [], None
    fields = {}
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            dll = m.group(1).lower()
            continue
        m = re.match(r"\t[0-9a-f]+\t\s*\d+\s+(\S+)", line)
        if m and dll:
            imports.append((dll, m.group(1)))
            continue
        if not line.strip():
            dll = None
        m = re.match(r"(Major|Minor)(OSystem|Subsystem)Version\s+(\d+)", line)
        if m:
            fields[m.group(1) + m.group(2)] = int(m.group(3))
    return imports, fields


def refusals(path):
    table = read_table()
    imports, fields = read_exe(path)
    found = []
    if not imports:
        found.append("no import table read from %s" % path)
    for dll, function in imports:
        version = table.get((dll, function))
        if version is None:
            found.append("%s!%s is not in %s" % (dll, function, os.path.basename(TABLE)))
        elif ORDER.index(version) > ORDER.index(OLDEST):
            found.append("%s!%s needs Windows %s" % (dll, function, version))
    for kind in ("OSystem", "Subsystem"):
        asked = (fields.get("Major" + kind, 99), fields.get("Minor" + kind, 99))
        if asked > HEADER_LIMIT:
            found.append("the header's %s version is %d.%d, above %d.%d" % ((kind,) + asked + HEADER_LIMIT))
    return found


def probe():
    source = "#include <windows.h>\nint main(void) { return (int)(GetTickCount64() & 1); }\n"
    with tempfile.TemporaryDirectory() as folder:
        c, exe = os.path.join(folder, "probe.c"), os.path.join(folder, "probe.exe")
        with open(c, "w") as f:
            f.write(source)
        subprocess.run(["i686-w64-mingw32-gcc-win32", "-D_WIN32_WINNT=0x0600", "-O2", c, "-o", exe], check=True)
        found = refusals(exe)
    named = [r for r in found if "GetTickCount64 needs Windows Vista" in r]
    print("probe: the check refuses %s" % ("GetTickCount64, as it must" if named else "nothing it should"))
    return 0 if named else 1


def main():
    if sys.argv[1:] == ["--probe"]:
        return probe()
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    found = refusals(sys.argv[1])
    for line in found:
        print("refused: " + line)
    print("%s: %s" % (sys.argv[1], "imports only what Windows %s exports" % OLDEST if not found else
                      "%d refusal(s)" % len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
