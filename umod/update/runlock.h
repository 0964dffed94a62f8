/*
 * One update at a time on a node. A run that starts the update of the
 * cluster (or of this node) holds the node's run lock, a run started by
 * another node's update (`--child`) holds the node's child lock, each for
 * the life of its process: the kernel lets go of a lock when its holder
 * ends, however it ends, so a killed run never blocks the next one.
 *
 * runlock_take() refuses a second holder with a message naming the running
 * one and exit status 7. runlock_busy() is for the verification a run has
 * every node do: it reports a node where another update is at work (its
 * own parent, holding the run lock, does not count) and otherwise keeps
 * the node to itself like a child run. The lock files live in "/run", so
 * a reboot forgets them.
 */
#ifndef RUNLOCK_H
#define RUNLOCK_H

/* Takes the run lock, or the child lock when child is set; exits 7 when
 * another update holds it. */
void runlock_take(int child);

/* The pid of another update at work on this node, or 0; when 0, holds
 * the child lock until the process ends. */
int runlock_busy(void);

#endif
