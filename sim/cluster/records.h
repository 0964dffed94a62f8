/*
 * osk-cluster's readers of the cluster's records: the event log and the
 * update history. Each takes the cluster folder and the command line and
 * returns the command's exit status.
 */
#ifndef RECORDS_H
#define RECORDS_H

int cluster_cmd_events(const char *dir, int argc, char **argv);
int cluster_cmd_history(const char *dir, int argc, char **argv);

#endif
