/*
 * Rolling the run log over before it grows past LOG_ROLLOVER_SIZE. A log
 * not written yet has nothing to roll over and counts as done.
 */
#ifndef UPDATE_LOGROLL_H
#define UPDATE_LOGROLL_H

#define LOG_ROLLOVER_SIZE 0x400000

int rollover_run_log(const char *path); /* <0 when the rollover failed */

#endif
