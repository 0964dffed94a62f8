#!/bin/bash
# Fuzzes by hand for longer than the test suite does: builds the sanitizer
# tree as tools/test does and runs every fuzz target SECONDS each (default
# 300): tests/fuzz/run.sh [SECONDS]. Inputs found interesting stay in
# build-san/fuzz/corpus; a crash leaves its input in build-san/fuzz.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
OSK_TARGETS=osk_unit_tests tools/build.sh build-san -DOSK_SANITIZE=ON -DOSK_TESTS_ONLY_UNIT=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ "-DOSK_FUZZ_SECONDS=${1:-300}"
cd build-san
ctest -L fuzz --output-on-failure
