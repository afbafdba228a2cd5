#!/usr/bin/env bash
# The test command: installs what is missing, builds everything and runs every test (unit tests,
# fuzzers for a bounded time, and the end-to-end tests of the real program under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build/native
ctest --output-on-failure --timeout 900 "$@"
