/*
 * The update driver: process-wide mode flags, exit statuses and the
 * procedures the flows call one another through.
 *
 * The flags are set once by the command-line parser and the start-up steps
 * of main(), lowered by the update flow when the package asks for it, and
 * read everywhere else. The driver is single-threaded.
 */
#ifndef UPDATE_H
#define UPDATE_H

#include <stddef.h>

#include "osk_types.h"

#define UPDATE_RELEASE "2.2.2.164"
#define UPDATE_TOOL_MAJOR 3
#define UPDATE_TOOL_MINOR 0
#define UPDATE_TOOL_PATCH 0

/* Process exit statuses: every failing step ends the process with one. */
enum update_exit {
    UPD_EXIT_OK = 0,
    UPD_EXIT_NOT_READY = 1,
    UPD_EXIT_NODES_UNKNOWN = 2,
    UPD_EXIT_CHECKSUM = 3,
    UPD_EXIT_BAD_PACKAGE = 4,
    UPD_EXIT_MISSING_ARG = 6,
    UPD_EXIT_REFUSED = 7,
    UPD_EXIT_TWO_SOURCES = 8,
    UPD_EXIT_UNKNOWN_OPTION = 9,
    UPD_EXIT_RCP = 14,
    UPD_EXIT_VERSION = 16,
    UPD_EXIT_NOT_ROOT = 23,
    UPD_EXIT_FAILURE = 25,
    UPD_EXIT_OTHER_NODE = 28,
    UPD_EXIT_APT_UPDATE = 29,
    UPD_EXIT_DPKG = 30,
    UPD_EXIT_SYSMGR_SHUTDOWN = 32,
};

typedef enum source {
    SOURCE_INVALID = 0,
    SOURCE_FILE = 1,
    SOURCE_RCP = 2,
} source_t;

/* Mode flags (true = non-zero). */
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
extern int quiet;
extern int is_partial;
extern int check_rolling_type;
extern int use_log;
extern int verbose;
extern int do_revert;
extern int do_dots;
extern int is_child;
extern int thisnode;
extern int nodes;
extern int mangler_isup;

#define ARGS_PASSED_LEN 1024
#define UPDATE_PATH_LEN 1024

extern char args_passed[ARGS_PASSED_LEN]; /* program name and arguments, cut at 1023 */
extern char update[UPDATE_PATH_LEN];      /* own executable, for starting it elsewhere */
extern const char *nodehostnames_brnet[OSK_MAX_NODES];

#define NOUPDATE_FILE "/etc/noupdate"
#define DEVELOPER_FILE "/etc/kivo/DEVELOPER"
#define FRESH_INSTALL_FILE "/var/opt/osk/FRESH_INSTALL"
#define ALTROOT_TMP "/altroot/tmp"
#define LOGFILE_UPDATE "/var/log/osk/update"
#define LOGFILE_VERIFY "/var/log/osk/update_verify"
#define LOGFILE_FALLBACK "/tmp/update.log"
#define LOG_ROLLOVER_SIZE 0x400000

/* The failure banner, then exit with status. */
[[noreturn]] void update_fail(int status);

/* Command line and markers. */
void update_help(void);
const char *update_help_text(void);
void fresh_flag_set(void);
void fresh_flag_clear(void);

/* Package retrieval and verification. */
void make_absolute(char *dest, const char *src, int n);
int local_verify(void);
int run_verify(void);

/* Nodes and the system manager. */
int getthisnode(void);
int getnodesonline(void);
int connect_sysmgr(void);               /* 1 when management calls may be made */
void dump_vluns(unsigned mask);         /* the rolling-upgrade export inventory, for --dumpvluns */
int rollover_run_log(const char *path); /* <0 when the rollover failed */

/*
 * The flows main() hands over to: each returns a status for main() to
 * return or ends the process with an exit status itself.
 */
int doupdate_tarball(char *source);
int doupdate_revert(void);

#endif
