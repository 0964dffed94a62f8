#!/bin/bash
# Installs the Debian packages the build, the tests and the simulated cluster
# need, asking dpkg first so that a ready machine installs nothing.
set -euo pipefail

# missing NAME...: the packages named that dpkg does not know as installed.
missing_of() {
    missing=()
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
}

missing_of cmake ninja-build g++ libssl-dev libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev \
    apt util-linux mount tar gzip bzip2 coreutils procps librsvg2-bin clang libclang-rt-14-dev \
    binutils lintian
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

# The simulated cluster's nodes are Debian systems of their own, made by
# mmdebstrap from the package archive (a tool only: it enables and starts
# nothing); iproute2 plugs their network together. Nothing the nodes run is
# installed on this machine.
missing_of iproute2 mmdebstrap
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
# Checked after any install: the remote shell listens only inside clusters.
if ss -ltnH 'sport = :514' | grep -q .; then
    echo "tools/deps.sh: a remote shell server listens on this machine (port 514);" \
        "stop it (the simulated cluster runs its own inside its namespaces)" >&2
    exit 1
fi
