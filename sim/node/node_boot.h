/*
 * Booting a simulated node: creating its two root partitions on first use,
 * and mounting the booted one as "/" with the other at "/altroot".
 *
 * A node's folder DIR/nodeN holds A/ and B/ (each an overlay's upper and
 * work directories over the cluster's base, DIR/base: see base.h of
 * osk-cluster), mnt/ (where the booted root is
 * mounted before the node pivots into it) and the supervisor's small state
 * files. Root A is the device /dev/hda1, root B /dev/hda2, as the node's
 * "/proc/mounts" shows them.
 */
#ifndef NODE_BOOT_H
#define NODE_BOOT_H

struct node_boot_t {
    const char *dir;    /* the cluster's folder */
    const char *bindir; /* the build's programs, shown at /opt/osk-sim/bin */
    int node;           /* 0..7 */
    char root;          /* 'A' or 'B': the partition booted */
};

/* Creates root X of the node unless it already exists (its marker
 * "/.osk-root" is written last, so a half-made root is made again). */
int node_root_create(const struct node_boot_t *b, char x);

/* In a fresh mount, PID and UTS namespace: names the host, mounts both
 * roots and the node's /proc, /dev, /run and tool folders, and pivots into
 * the booted root. Returns 0 or -1 after printing what failed. */
int node_mount_and_pivot(const struct node_boot_t *b);

/* In the booted node of a cluster whose remote shell is ssh: points
 * "/usr/bin/rsh" and "/usr/bin/rcp" of both roots at ssh and scp through
 * update-alternatives, unless they already are. 0, or -1 after printing
 * why. */
int node_ssh_alternatives(void);

#endif
