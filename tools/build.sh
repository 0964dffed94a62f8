#!/bin/bash
# Configures and builds one tree: tools/build.sh [DIR [cmake options...]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
shift || true
cd "$top"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
ninja -C "$dir" >/dev/null || ninja -C "$dir"
