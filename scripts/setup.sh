#!/usr/bin/env bash
# Installs every Debian package that the build and the tests need, and the
# workflow validator (from npm, into build/tools, nothing global).
# Idempotent: returns at once when everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    cmake ninja-build g++ git python3
    g++-mingw-w64-x86-64-posix
    nlohmann-json3-dev
    googletest libgtest-dev libbenchmark-dev
    wine wine64
    clang-19 libclang-rt-19-dev
)

# The validator of .github/workflows, run by the test suite.
validator_version=0.6.0
validator_dir=build/tools/action-validator
validator="$validator_dir/node_modules/.bin/action-validator"

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
        missing+=("$package")
    fi
done
# Node.js and npm from Debian, unless the machine has them already.
command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    run_as_root=()
    [ "$(id -u)" -ne 0 ] && run_as_root=(sudo)
    "${run_as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${run_as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if ! [ -x "$validator" ] || ! grep -q "\"version\": \"$validator_version\"" \
        "$validator_dir/node_modules/@action-validator/cli/package.json" 2>/dev/null; then
    echo "installing: @action-validator/cli@$validator_version (into $validator_dir)"
    npm install --prefix "$validator_dir" --cache build/tools/npm-cache --no-audit --no-fund --loglevel=error \
        "@action-validator/cli@$validator_version" "@action-validator/core@$validator_version" >/dev/null
fi
