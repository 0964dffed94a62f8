/*
 * The revert flow: back to the previous release, in place or by booting
 * the other root.
 */
#ifndef UPDATE_FLOW_REVERT_H
#define UPDATE_FLOW_REVERT_H

/* The flow main() hands over to: returns main()'s status or ends the
 * process with an exit status itself. */
int doupdate_revert(void);

#endif
