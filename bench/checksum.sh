#!/bin/bash
# Cost of the release checksum step against plain md5sum over the same
# package files, side by side in one run on a simulated node.
#
#   bench/checksum.sh [BUILD_DIR] [SIZE_MB] [REPETITIONS]
#
# Builds a release of SIZE_MB (default 200) of random payload spread over
# four packages, unpacks it on node 0 with `update --getversion` (which also
# checks it once, as an operator would), then times the checksum step and
# md5sum alternately and prints their medians and the ratio. Timings are
# reported, never judged: this is not a test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
size_mb=${2:-200}
reps=${3:-7}
for p in osk-cluster osk-mkrelease checksum_driver; do
    [ -x "$build/bin/$p" ] || { echo "missing $build/bin/$p (build it first)" >&2; exit 1; }
done

work=$(mktemp -d /var/tmp/ckbench.XXXXXX)
export OSK_CLUSTER_DIR=$work/c
cleanup() {
    "$build/bin/osk-cluster" down >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# Random content, so neither side profits from compressible data, in
# .deb files stored without compression.
parts=4
per_mb=$((size_mb / parts))
args=(--release 2.2.3.10 --format tar --package osk=2.2.3.10-1)
for i in $(seq 1 $parts); do
    d=$work/data$i
    mkdir -p "$d/DEBIAN" "$d/opt/osk/data"
    head -c $((per_mb * 1024 * 1024)) /dev/urandom > "$d/opt/osk/data/blob$i"
    printf 'Package: osk-data%d\nVersion: 2.2.3.10-1\nArchitecture: all\nMaintainer: bench\nDescription: payload\n' \
        "$i" > "$d/DEBIAN/control"
    dpkg-deb -Znone --build "$d" "$work/osk-data${i}.deb" >/dev/null
    rm -rf "$d"
    args+=(--package "osk-data$i=2.2.3.10-1" --deb "$work/osk-data${i}.deb")
done
"$build/bin/osk-cluster" up --nodes 1 >/dev/null
"$build/bin/osk-mkrelease" -o "$OSK_CLUSTER_DIR/pkghost/rel.tar" "${args[@]}"
rm -f "$work"/osk-data*.deb
echo "release: $(du -m "$OSK_CLUSTER_DIR/pkghost/rel.tar" | cut -f1) MB in $((parts + 1)) packages"

# Leaves the unpacked release in /altroot/tmp/oskpackage, where the step reads it.
"$build/bin/osk-cluster" exec 0 -- update --getversion --local --rcp pkghost:/rel.tar
# Inside a node the build's programs are at /opt/osk-sim/bin.
"$build/bin/osk-cluster" exec 0 -- /opt/osk-sim/bin/checksum_driver "$reps"
