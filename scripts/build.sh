#!/usr/bin/env bash
# Builds everything: the portable core with its tests (build/native), the shipped 32-bit program
# with its test tools (build/win32) and the 64-bit build of the same sources (build/win64), which
# the tests run on hosts that cannot execute 32-bit code.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

configure() {  # folder, extra cmake arguments...
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
}
configure build/native
configure build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw.cmake
configure build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
for dir in build/native build/win32 build/win64; do
    cmake --build "$dir" -j2 >/dev/null || cmake --build "$dir"  # show the errors on failure
done
echo "built: build/win32/caldervine.exe (shipped), build/win64/caldervine.exe, native tests"
