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

# The simulated cluster's network and remote shell: iproute2 and Debian's
# rsh server, client and superserver, which every host of a cluster runs in
# namespaces of its own. Their install must start no server on this machine:
# where no policy forbids service starts, one does for the install's length.
missing_of iproute2 rsh-server rsh-client openbsd-inetd
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    policy=/usr/sbin/policy-rc.d
    ours=
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# put here by tools/deps.sh for one install\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        ours=1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" || status=$?
    [ -z "$ours" ] || rm -f "$policy"
    [ "${status:-0}" = 0 ] || exit "$status"
fi
# Checked after any install: the remote shell listens only inside clusters.
if ss -ltnH 'sport = :514' | grep -q .; then
    echo "tools/deps.sh: a remote shell server listens on this machine (port 514);" \
        "stop it (the simulated cluster runs its own inside its namespaces)" >&2
    exit 1
fi
