#!/bin/bash
# Cost of updating a whole cluster against updating one node.
#
# Each repetition brings up a fresh 4-node simulated cluster twice and times,
# from the start of `update` on node 0 until the updated nodes are back up,
# integrated and running the new root:
#   cluster  update --file R          every node installs and reboots
#   local    update --local --file R  node 0 alone installs and reboots
#   quick    update --quick --file R  as cluster, node 0 installing beside
#                                     the others instead of before them
# and prints the medians and their ratios to local. The other nodes install
# at the same time, so the ratio stays near 1 when their work overlaps; on a
# machine with fewer cores than nodes it can't.
#
# Usage: bench/cluster_update.sh [BUILD_DIR] (default: build)
# Environment: REPS (default 5), OSK_SIM_REBOOT_DELAY_MS (the simulated
# reboot, default the cluster's own 1000 ms).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
bin=$build/bin
reps=${REPS:-5}
nodes=4
new=2.2.3.10
export OSK_CLUSTER_DIR=/var/tmp/osk-bench-$$

for p in osk-cluster osk-mkrelease update; do
    [ -x "$bin/$p" ] || { echo "no $bin/$p: build first" >&2; exit 1; }
done

down() { "$bin/osk-cluster" down >/dev/null 2>&1 || true; }
trap 'down; rm -rf "$OSK_CLUSTER_DIR"' EXIT

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Until NODES nodes (node 0 up) show state up, integrated and root B:
# a node runs root B only after it rebooted into the update. Bounded.
wait_back() {
    local want=$1
    for _ in $(seq 1200); do
        if [ "$("$bin/osk-cluster" status 2>/dev/null |
            grep -c 'state=up online=1 integrated=1 root=B')" -ge "$want" ]; then
            return 0
        fi
        sleep 0.05
    done
    echo "the cluster did not come back:" >&2
    "$bin/osk-cluster" status >&2 || true
    return 1
}

# One timed run: a fresh cluster, the release on node 0, then update ARGS;
# prints the milliseconds until WANT nodes are back on the new root.
timed() {
    local want=$1
    shift
    down
    "$bin/osk-cluster" up --nodes $nodes >/dev/null
    "$bin/osk-mkrelease" -o "$OSK_CLUSTER_DIR/pkghost/r.tgz" --release $new \
        --package osk=$new-1 --depends "osk-base (= $new-1)" \
        --package osk-base=$new-1 --package osk-tools=$new-1
    "$bin/osk-cluster" exec 0 -- rcp pkghost:/r.tgz /var/tmp/r.tgz
    local t0 st=0
    t0=$(now_ms)
    # When node 0 reboots itself the session may end before update does.
    "$bin/osk-cluster" exec 0 -- update "$@" --file /var/tmp/r.tgz >/dev/null 2>&1 || st=$?
    wait_back "$want"
    echo $(($(now_ms) - t0))
    [ $st -eq 0 ] || echo "(update on node 0 ended with $st)" >&2
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

echo "cluster update of $nodes nodes against update --local of one node, $reps repetitions"
echo "($(nproc) cores)"
all=() one=() quick=()
for i in $(seq "$reps"); do
    a=$(timed $nodes)
    b=$(timed 1 --local)
    q=$(timed $nodes --quick)
    all+=("$a") one+=("$b") quick+=("$q")
    printf 'run %d: cluster %6d ms   local %6d ms   quick %6d ms\n' "$i" "$a" "$b" "$q"
done
ma=$(printf '%s\n' "${all[@]}" | median)
mb=$(printf '%s\n' "${one[@]}" | median)
mq=$(printf '%s\n' "${quick[@]}" | median)
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf 'median: cluster %d ms, local %d ms, quick %d ms\n' "$ma" "$mb" "$mq"
printf 'ratio cluster/local: %s (goal: at most 1.5); quick/local: %s\n' "$(ratio "$ma" "$mb")" \
    "$(ratio "$mq" "$mb")"
