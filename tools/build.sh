#!/bin/bash
# Configures and builds one tree: tools/build.sh [DIR [cmake options...]]
# OSK_TARGETS names the targets to build (default: all).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build}
shift || true
cd "$top"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
# shellcheck disable=SC2086 # a list of target names
ninja -C "$dir" ${OSK_TARGETS:-} >/dev/null || ninja -C "$dir" ${OSK_TARGETS:-}
