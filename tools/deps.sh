#!/bin/bash
# Installs the Debian packages the build, the tests and the simulated cluster
# need, asking dpkg first so that a ready machine installs nothing.
set -euo pipefail

want=(cmake ninja-build g++ libssl-dev libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev
      apt util-linux mount tar gzip bzip2 coreutils procps librsvg2-bin clang libclang-rt-14-dev
      binutils lintian)
missing=()
for p in "${want[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi
