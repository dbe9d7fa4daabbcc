#!/usr/bin/env bash
# Makes a fresh Wine prefix with a persistent wineserver and its services
# already running, detached from any pipe: a program under test must not hand
# its standard streams to a Wine process that outlives it.
set -euo pipefail
prefix=$1 wine=$2 wineserver=$3
export WINEPREFIX=$prefix
"$wineserver" -k >/dev/null 2>&1 || true
rm -rf "$prefix"
mkdir -p "$prefix"
"$wineserver" -p </dev/null >/dev/null 2>&1
timeout 240 "$wine" wineboot --init </dev/null >/dev/null 2>&1
echo "fresh Wine prefix at $prefix"
