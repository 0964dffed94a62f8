/*
 * The update itself: from the package source to the restart of the
 * cluster. Almost every path ends the process with an exit status.
 */
#ifndef UPDATE_FLOW_H
#define UPDATE_FLOW_H

/* The flow main() hands over to: returns main()'s status or ends the
 * process with an exit status itself. */
int doupdate_tarball(char *source);

/* Boot loader and restart of the nodes after an update or a switch-root
 * revert, in the requested way: all at once (after the system-manager
 * shutdown when shutdown_first is set), rolling or simple rolling. */
void restart_cluster(int toc_version, int shutdown_first);

#endif
