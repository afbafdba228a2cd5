#!/usr/bin/env bash
# The benchmarks: builds everything, then runs scripts/bench.py, which prints its figures and
# writes bench/results.txt. Arguments go to bench.py, e.g.  bash scripts/bench.sh --size-mib 64
# Not a test: nothing here passes or fails on the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! bash scripts/build.sh; then
    # The benchmarks only need the Windows builds of the program and of tools/.
    echo "bench: full build failed; building only what the benchmarks run" >&2
    bash scripts/setup.sh
    for arch in win32 win64; do
        toolchain=cmake/toolchain-mingw.cmake
        [ "$arch" = win64 ] && toolchain=cmake/toolchain-mingw64.cmake
        [ -f "build/$arch/CMakeCache.txt" ] ||
            cmake -S . -B "build/$arch" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$toolchain >/dev/null
        cmake --build "build/$arch" -j2 --target caldervine baseline_sender baseline_receiver >/dev/null
        # The driver is needed only for the two-copies figure; bench.py reports it missing.
        cmake --build "build/$arch" -j2 --target driver >/dev/null 2>&1 ||
            echo "bench: the test driver did not build for $arch" >&2
    done
fi
exec python3 scripts/bench.py "$@"
