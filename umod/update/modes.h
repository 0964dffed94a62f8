/*
 * The mode flags of the update driver: process-wide plain integers (true =
 * non-zero) that the command line sets from left to right (cmdline.cc, its
 * option table and the options with an argument) and every family reads.
 * The driver is single-threaded.
 *
 * After the command line only the two flows change a flag, each at one
 * step named below, so that a reader of any other family can tell a flag's
 * value from the command line and the flow it runs under.
 *
 * The flags of other families are declared with them: thisnode and nodes
 * in nodes.h, mangler_isup in sysmgr_conn.h, and the run log's switches
 * (use_log, quiet, do_dots) in ulog_settings.
 */
#ifndef UPDATE_MODES_H
#define UPDATE_MODES_H

#include "node_mask.h"
#include "node_paths.h"

typedef enum source {
    SOURCE_INVALID = 0,
    SOURCE_FILE = 1,
    SOURCE_RCP = 2,
} source_t;

/* --file, --rcp. */
extern source_t package_source;
/* Boot the other root: --revert, --switch-root, --rolling, --simple set it;
 * --initial, --retain-root, --preload clear it. The update flow clears it
 * when the release carries "nopivot"; the revert flow clears it for the
 * in-place revert and sets it for the switch of roots. */
extern int do_pivot;
/* Install into the alternate root: set and cleared with do_pivot by the
 * same options (--preload sets it alone); cleared by the update flow on
 * "nopivot" and by the in-place revert. */
extern int install_altroot;
/* --noreboot and --preload clear it; the update flow clears it when the
 * release carries "noreboot". */
extern int rebootpermitted;
extern int nosysmgr; /* --nosysmgr */
/* The nodes a standard rolling upgrade restarts first: --rolling's mask,
 * or --dumpvluns's for the inventory it writes; every node otherwise. */
extern node_mask expeditionmask;
/* Remove before installing: -d; the update flow sets it when the
 * alternate root holds the newer release (a revert was done). */
extern int removefirst;
extern int onlyshowversion; /* --getversion */
extern int initial_install; /* --initial */
extern int local;           /* --local */
extern int from_cli;        /* --cli */
/* --rolling, --check-rolling-type; the update flow lowers it to
 * simple_rolling when the release lists the running version as one a
 * simple rolling upgrade serves. */
extern int is_rolling;
/* --simple, or the update flow's lowering of is_rolling. */
extern int simple_rolling;
extern int quick_update; /* --quick, -q */
/* The update flow sets it when the release carries "partial". */
extern int is_partial;
extern int check_rolling_type; /* --check-rolling-type */
extern int verbose;            /* --verbose */
extern int do_revert;          /* --revert */
extern int is_child;           /* --child: started by update on another node */

#define ARGS_PASSED_LEN 1024

extern char args_passed[ARGS_PASSED_LEN]; /* program name and arguments, cut at 1023 */
extern char update[UPDATE_PATH_LEN];      /* own executable, for starting it elsewhere */

#endif
