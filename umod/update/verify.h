/*
 * Every node checks its installation before an update: local_verify() on
 * this node (logging to LOGFILE_VERIFY), run_verify() on every node that
 * takes part. Both return 0 when the update may go on, or the exit status.
 */
#ifndef UPDATE_VERIFY_H
#define UPDATE_VERIFY_H

int local_verify(void);
int run_verify(void);

#endif
