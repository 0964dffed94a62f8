#!/bin/sh
# Debian's service policy for this node: a root that is not the one running
# (the alternate root an update installs into, reached with chroot) starts
# no service, as Debian does for installs into a root that is not running;
# the running root allows every action.
if ischroot; then
    exit 101
fi
exit 0
