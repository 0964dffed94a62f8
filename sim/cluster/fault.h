/*
 * Faults injected into a running simulated cluster: `osk-cluster fault`.
 *
 * A fault is armed by one command and fires at once, after a delay, or when
 * a text first appears in a node's run log (text already in the log when
 * it is armed does not count). Delayed and log-triggered faults are fired
 * by a detached watcher process of this machine. Every fault is recorded
 * under DIR/run/faults/ (the nodes see that folder at
 * /run/osk-sim/faults): F<id>.args (its words), F<id>.state ("armed",
 * "fired +<ms> <what>" or "failed <why>") and, while a watcher waits,
 * F<id>.pid. The node tools read the rsh flags rsh-node<N> there.
 *
 * `fault clear` ends the watchers and undoes what can be undone (hung
 * nodes continue, rsh works again, the small scratch file system goes,
 * damaged files on the package host come back); `osk-cluster down` ends
 * the watchers through fault_clear_all() before it removes the cluster.
 */
#ifndef FAULT_H
#define FAULT_H

/* `osk-cluster fault ARGS...` (argv[0] is "fault") on the cluster in DIR
 * of nnodes nodes; returns the process's exit status. */
int fault_main(const char *dir, int nnodes, int argc, char **argv);

/* Ends every watcher of the cluster in DIR and undoes the faults; quiet. */
void fault_clear_all(const char *dir);

#endif
