#!/usr/bin/env bash
# Configures and builds the given presets (native, native-asan, windows, fuzz).
# The native presets learn where the Windows executables and the fuzz targets
# are, so that their test runs include the Wine suite and short fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

for preset in "$@"; do
    extra=()
    case "$preset" in
        native|native-asan)
            [ -f build/windows/src/telvo-windows-sandbox.exe ] &&
                extra+=("-DTELVO_WINDOWS_EXE=$root/build/windows/src/telvo-windows-sandbox.exe")
            [ -f build/windows/tests/contract/telvo_contract_tests.exe ] &&
                extra+=("-DTELVO_WINDOWS_CONTRACT_TESTS=$root/build/windows/tests/contract/telvo_contract_tests.exe")
            [ -d build/fuzz/fuzz ] && extra+=("-DTELVO_FUZZ_DIR=$root/build/fuzz/fuzz")
            ;;
    esac
    cmake --preset "$preset" "${extra[@]}" >/dev/null
    cmake --build "build/$preset" -j "$jobs"
done
