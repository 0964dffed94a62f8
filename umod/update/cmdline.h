/*
 * The command line of `update`.
 *
 * update_parse_command_line() records the command line for the run log
 * (args_passed) and applies the options from left to right to the mode
 * flags. Options that act at once (help, version, verify, dumpvluns) and
 * argument errors end the process with their exit status, so options to
 * their right are never looked at. update_check_request() then refuses, with
 * the failure banner and its status, what the flags ask together that may
 * not be done: no source, a source and a revert, --simple with --rolling...
 * Call them in that order, once, before anything acts on the flags.
 */
#ifndef UPDATE_CMDLINE_H
#define UPDATE_CMDLINE_H

#include "node_paths.h"

/* The release named by --file (absolute) or --rcp (as given). */
extern char source_location[UPDATE_PATH_LEN];

void update_parse_command_line(int argc, char **argv);
void update_check_request(void);

#endif
