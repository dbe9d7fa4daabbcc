#!/usr/bin/env bash
# Installs every Debian package that the build and the tests need.
# Idempotent: returns at once when everything is present.
set -euo pipefail

packages=(
    cmake ninja-build g++ git python3
    g++-mingw-w64-x86-64-posix
    nlohmann-json3-dev
    googletest libgtest-dev libbenchmark-dev
    wine wine64
    clang-19 libclang-rt-19-dev
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
run_as_root=()
[ "$(id -u)" -ne 0 ] && run_as_root=(sudo)
"${run_as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${run_as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
