/*
 * The mode flags of the update driver: process-wide plain integers (true =
 * non-zero) that the command line sets from left to right, a few start-up
 * and update steps lower when the package or the cluster asks for it, and
 * every other family reads. The driver is single-threaded.
 *
 * The flags of other families are declared with them: thisnode and nodes
 * in nodes.h, mangler_isup in sysmgr_conn.h, and the run log's switches
 * (use_log, quiet, do_dots) in ulog_settings.
 */
#ifndef UPDATE_MODES_H
#define UPDATE_MODES_H

#include "node_paths.h"

typedef enum source {
    SOURCE_INVALID = 0,
    SOURCE_FILE = 1,
    SOURCE_RCP = 2,
} source_t;

extern source_t package_source;
extern int do_pivot;
extern int install_altroot;
extern int rebootpermitted;
extern int nosysmgr;
extern unsigned expeditionmask;
extern int removefirst;
extern int onlyshowversion;
extern int initial_install;
extern int local;
extern int from_cli;
extern int is_rolling;
extern int simple_rolling;
extern int quick_update;
extern int is_partial;
extern int check_rolling_type;
extern int verbose;
extern int do_revert;
extern int is_child;

#define ARGS_PASSED_LEN 1024

extern char args_passed[ARGS_PASSED_LEN]; /* program name and arguments, cut at 1023 */
extern char update[UPDATE_PATH_LEN];      /* own executable, for starting it elsewhere */

#endif
