/*
 * The base every node's roots start from: a whole Debian system, and the
 * tree's own packages installed into it.
 *
 * Two layers, each built once and kept under the build's "sim-base/" by a
 * name made from what it is built from:
 * - the system layer, "system-KEY/root": a minimal Debian system made by
 *   mmdebstrap from the package archive this machine's apt uses, with what
 *   a node of this system runs (the remote shell with its server and
 *   inetd, perl, iproute2, psmisc, and what the tree's packages need);
 * - the tree layer, "tree-KEY/upper": an overlay's upper directory over the
 *   system layer, holding what apt and dpkg installed there: the platform's
 *   own package (sim-node-platform) and the base release, which carries the
 *   build's own package (osk-update).
 * A node's root partition is an overlay of its own upper directory over
 * both. Of clusters started at once, one builds and the others wait for it.
 */
#ifndef BASE_H
#define BASE_H

#include <string>
#include <vector>

/* The release the nodes start from, which the tests' releases are made
 * against; not the build's own (OSK_RELEASE), whose package it carries
 * whatever that is. */
#define BASE_RELEASE_DEFAULT "2.2.2.164"

struct base_layers {
    std::string system; /* the Debian system */
    std::string tree;   /* the tree's packages over it */
};

/* Finds, or builds and keeps, the base of the build in BINDIR with the base
 * release RELEASE ("none": no base release, the build's update linked in).
 * Returns 0, or -1 after one line on standard error saying why (nothing
 * half-built is kept). */
int base_layers_get(const char *bindir, const char *release, base_layers *out);

/* base_layers_get, then links DIR/base/system and DIR/base/tree to the
 * layers, where the nodes' boots find them. */
int base_release_make(const char *dir, const char *release, const char *bindir);

/* Runs ARGV (a program of the nodes' system) chrooted into the system layer
 * SYSTEM, which it sees read-only, with the folder MNT of this machine at
 * "/mnt": so a tool of the nodes' own makes files for them. Both output
 * streams go to *OUT. Returns the exit status, or -1. */
int base_system_run(const std::string &system, const std::string &mnt,
                    const std::vector<std::string> &argv, std::string *out);

/* "osk-cluster base [--base RELEASE]": builds what is missing and prints the
 * overlay lower-directory list of a fresh node root, highest layer first. */
int base_cmd(const char *bindir, int argc, char **argv);

#endif
