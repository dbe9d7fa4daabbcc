#!/usr/bin/env bash
# Sets up and runs every test: the native suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the native suite with the Wine suite and
# short fuzz runs. Ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh windows fuzz native-asan native

ctest --test-dir build/native-asan --output-on-failure -E '^(wine|fuzz)\.' -j "$(nproc)" >build/native-asan-ctest.log 2>&1 ||
    { cat build/native-asan-ctest.log; exit 1; }
tail -n 3 build/native-asan-ctest.log
ctest --test-dir build/native --output-on-failure -j "$(nproc)"
