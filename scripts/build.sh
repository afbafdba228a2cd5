#!/usr/bin/env bash
# Builds everything: the portable core with its tests (build/native), the shipped 32-bit program
# with its test tools (build/win32) and the 64-bit build of the same sources (build/win64), which
# the tests run on hosts that cannot execute 32-bit code.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

configure() {  # folder, toolchain file or nothing
    local dir=$1 toolchain=${2:-}
    # CMake reads a toolchain file only when it makes a tree; given again to an existing tree it
    # is ignored, with a warning on every build. So it goes only to a tree that is new.
    if [ -n "$toolchain" ] && [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" >/dev/null
    else
        cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
}
configure build/native
configure build/win32 cmake/toolchain-mingw.cmake
configure build/win64 cmake/toolchain-mingw64.cmake
for dir in build/native build/win32 build/win64; do
    cmake --build "$dir" -j2 >/dev/null || cmake --build "$dir"  # show the errors on failure
done
echo "built: build/win32/caldervine.exe (shipped), build/win64/caldervine.exe, native tests"
