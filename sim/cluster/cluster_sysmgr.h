/*
 * osk-cluster's part of the system manager stand-in (sim/sysmgr): its
 * options to `up`, its line in `status`, and the `exports`, `sysmgr` and
 * `env` commands. DIR is the cluster's folder; the stand-in's files are in
 * DIR/run (sim/README.md).
 */
#ifndef CLUSTER_SYSMGR_H
#define CLUSTER_SYSMGR_H

/* An option of `up` at argv[*i]: 1 when it was ours (*i moved past its
 * argument), 0 when not. */
int sysmgr_up_option(int argc, char **argv, int *i);
/* Writes DIR/run/sysmgr.conf for NNODES nodes (and sysmgr.off when told
 * --no-sysmgr); BINDIR holds the default configuration. 0 or -1 after a
 * message. */
int sysmgr_prepare(const char *dir, const char *bindir, int nnodes);
/* Status lines: whether the manager is up and the exports not served. */
void sysmgr_status(const char *dir);
int cmd_exports(const char *dir, int argc, char **argv);
int cmd_sysmgr(const char *dir, int argc, char **argv);
/* `env`: the export lines that point osk-mcall at the manager's socket and
 * the cluster's certificate; 1 after a message when it does not listen. */
int cmd_env(const char *dir, int argc, char **argv);

#endif
