#!/bin/bash
# Builds the fuzz targets with clang in their own tree and runs each for a
# bounded time: run.sh SOURCE_DIR FUZZ_BUILD_DIR [SECONDS]. Inputs found
# interesting are kept in FUZZ_BUILD_DIR/corpus for the next run; a crash
# leaves its input in FUZZ_BUILD_DIR as crash-* and fails the run.
set -euo pipefail
src=$1 out=$2 secs=${3:-${OSK_FUZZ_SECONDS:-20}}
cmake -S "$src" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSK_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
ninja -C "$out" fuzz_cmdline fuzz_pkgindex fuzz_versions >/dev/null ||
    ninja -C "$out" fuzz_cmdline fuzz_pkgindex fuzz_versions
status=0
for t in cmdline pkgindex versions; do
    mkdir -p "$out/corpus/$t"
    if "$out/bin/fuzz_$t" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus/$t" \
        "$src/tests/fuzz/seeds/$t" >"$out/fuzz_$t.log" 2>&1; then
        echo "fuzz_$t: clean, $(grep -o 'stat::number_of_executed_units: *[0-9]*' \
            "$out/fuzz_$t.log" | grep -o '[0-9]*$') runs in ${secs}s"
    else
        echo "fuzz_$t: FAILED"
        tail -40 "$out/fuzz_$t.log" || :
        status=1
    fi
done
exit $status
