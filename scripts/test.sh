#!/usr/bin/env bash
# Sets up and runs every test: the native suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the native suite with the Wine suite and
# short fuzz runs. Ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh windows fuzz native-asan native

# The sanitizer suite runs as one process: a process per test would spend
# most of its time starting the sanitizer runtime. The walks over trees of
# 500000 objects and more (the object limits) take minutes each under the
# sanitizers; they run in the native suite below.
build/native-asan/tests/telvo_tests --gtest_brief=1 --gtest_filter='-WalkBoundTest.*:*AtTheObjectLimit*' \
    >build/native-asan-tests.log 2>&1 ||
    { cat build/native-asan-tests.log; exit 1; }
echo "sanitizers: $(tail -n 1 build/native-asan-tests.log)"
ctest --test-dir build/native --output-on-failure -j "$(nproc)"
