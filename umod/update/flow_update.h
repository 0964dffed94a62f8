/*
 * The update flow: from the package source to the restart of the cluster.
 * Almost every path ends the process with an exit status.
 */
#ifndef UPDATE_FLOW_UPDATE_H
#define UPDATE_FLOW_UPDATE_H

/* The flow main() hands over to: returns main()'s status or ends the
 * process with an exit status itself. */
int doupdate_tarball(char *source);

#endif
