/*
 * The run logs' witness: a process of the supervisor's that watches every
 * node's "/var/log/osk" in both of its roots (their upper directories,
 * where a node's writes land) and copies each line of a run log, as it
 * arrives, into a times file of the cluster folder, after the wall-clock
 * time it arrived in milliseconds:
 *
 *   DIR/node<N>/<R>/log-times/<NAME>   "<ms since the epoch>\t<the line>"
 *
 * The run logs themselves stamp whole seconds and stay as they are; the
 * nodes never see the times files. A log that is rolled over or started
 * anew is followed from its first byte; rolled-over generations (names
 * with a dot) are not witnessed again. A times file that outgrows
 * WITNESS_TIMES_MAX is kept as "<NAME>.old" and started afresh.
 */
#ifndef WITNESS_H
#define WITNESS_H

#include <string>

#define WITNESS_TIMES_MAX (8L << 20)

/* Watches the cluster in DIR, of NNODES nodes, until the process is
 * killed; returns only when it cannot watch at all (the reason on
 * standard error). */
int witness_run(const char *dir, int nnodes);

/* The times file of run log NAME ("update") of node N's root R. */
std::string witness_times_path(const std::string &dir, int n, char root, const char *name);

#endif
