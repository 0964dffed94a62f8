/*
 * The cluster's record of updates: the table "update_history" in the
 * persistent repository, one entry per release (or per package of a
 * partial release), written in one transaction that a failure rolls back
 * and starts over; and the events that announce an update or a revert.
 */
#ifndef UPDATE_HISTORY_H
#define UPDATE_HISTORY_H

void append_pr_entry(void);
void post_update_event(const char *format, const char *version);

#endif
