#!/usr/bin/env bash
# Builds the release zip: the shipped 32-bit caldervine.exe with the empty Share and Incoming
# folders it needs beside it, a plain-text "read me first", the README and the licence.
# Output: build/release/caldervine-<version>.zip, which unpacks into a folder ready to run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
version=1.0.0.1
stage=build/release/caldervine-$version
rm -rf "$stage" "$stage.zip"
mkdir -p "$stage/Share" "$stage/Incoming"
i686-w64-mingw32-strip -o "$stage/caldervine.exe" build/win32/caldervine.exe
python3 scripts/check_imports.py "$stage/caldervine.exe" >/dev/null
# Notepad before Windows 10 shows a bare LF file as one long line: every text document goes with
# Windows line ends. The README holds a few signs beyond ASCII (≤, ≥, …), which older Notepads read
# as UTF-8 reliably only behind its byte-order mark.
sed 's/$/\r/' scripts/read-me-first.txt >"$stage/READ ME FIRST.txt"
{ printf '\357\273\277'; sed 's/$/\r/' README.md; } >"$stage/README.md"
sed 's/$/\r/' LICENSE >"$stage/LICENSE.txt"
[ -d docs ] && cp -r docs "$stage/docs"
(cd build/release && zip -qr "caldervine-$version.zip" "caldervine-$version")
echo "build/release/caldervine-$version.zip"
unzip -l "build/release/caldervine-$version.zip"
