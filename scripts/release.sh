#!/usr/bin/env bash
# Builds the release zip: the shipped 32-bit caldervine.exe, the README and the licence.
# Output: build/release/caldervine-<version>.zip
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
version=1.0.0.1
stage=build/release/caldervine-$version
rm -rf "$stage" "$stage.zip"
mkdir -p "$stage"
i686-w64-mingw32-strip -o "$stage/caldervine.exe" build/win32/caldervine.exe
cp README.md "$stage/README.md"
cp LICENSE "$stage/LICENSE.txt"
[ -d docs ] && cp -r docs "$stage/docs"
(cd build/release && zip -qr "caldervine-$version.zip" "caldervine-$version")
echo "build/release/caldervine-$version.zip"
unzip -l "build/release/caldervine-$version.zip"
