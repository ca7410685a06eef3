#!/usr/bin/env bash
# Configures and builds into the given directory (default: build).
# Extra arguments go to CMake's configure step (e.g. -DVN_SANITIZE=ON).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
shift || true
"$top/scripts/setup-deps.sh"
cmake -S "$top" -B "$top/$dir" "$@" >/dev/null
cmake --build "$top/$dir" -j "$(nproc)"
