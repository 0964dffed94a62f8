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

#define UPDATE_TOOL_MAJOR 3
#define UPDATE_TOOL_MINOR 0
#define UPDATE_TOOL_PATCH 0

/* The release this update belongs to ("OSK version %s"), and the run log
 * header's text: the release, then who built it and how. */
extern const char update_release[];
extern const char update_build_ident[];

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

/* Programs the driver runs; the node's own tools at their fixed paths. */
#define SHELL_PROGRAM "/bin/sh"
#define TAR_PROGRAM "/bin/tar"
#define RCP_PROGRAM "/usr/bin/rcp"
#define RSH_PROGRAM "/usr/bin/rsh"
#define MD5SUM_PROGRAM "/usr/bin/md5sum"
#define DPKG_PROGRAM "/usr/bin/dpkg"
#define APTGET_PROGRAM "/usr/bin/apt-get"

/* The unpacked release, seen from the running root and from the target root. */
#define UPDATEPACKDIR "/altroot/tmp/oskpackage"
#define UPDATEPACKDIR_SAME "/tmp/oskpackage"
#define SOURCES_LOCAL_DIR_ALTROOT UPDATEPACKDIR "/dists/Valtor-2-0/osk/binary-i386"
#define SOURCES_LOCAL_DIR UPDATEPACKDIR_SAME "/dists/Valtor-2-0/osk/binary-i386"
#define SOURCES_LIST_ALT "/altroot/etc/apt/sources.list"
#define SOURCES_LIST_CURRENT "/etc/apt/sources.list"
#define LOCALREVERT_PACKAGES_DIR "/var/opt/osk/packages_localrevert"
#define SYNC_PR_IDE "rm -rf /altroot/pr_ide; cp -a /pr_ide /altroot"

/* The failure banner, then exit with status. */
[[noreturn]] void update_fail(int status);
/* Hands the log flags, the command text and the build to the run log. */
void update_log_settings(void);
/* Pre-exec hook: confines a child to /altroot when install_altroot is set. */
void do_chroot(void *unused = nullptr);

/* Command line and markers. */
void update_help(void);
const char *update_help_text(void);
void fresh_flag_set(void);
void fresh_flag_clear(void);

/* Package retrieval and verification. */
void make_absolute(char *dest, const char *src, int n);
void filename_starting_with(const char *dirname, const char *file_prefix, char *buffer,
                            int buffer_size);
int retrieve_rcp(const char *source, const char *filename);
int extract(const char *file);
void tarball_package_checksum(void); /* returns only when every sum matched */
int package_has_debs(void);
int sources_list_valid(void);
int local_verify(void);
int run_verify(void);

/* Versions and acceptance. */
void get_dpkg_info(const char *package, int is_file, int force_current_root, char *buffer,
                   int buffer_size);
int parse_info_version(const char *type, const char *dpkg_info);
int parse_toc_version(const char *info);
int parse_handshake_version(const char *info);
char *parse_osk_version(const char *dpkg_info);     /* own buffer, or null */
char *parse_release_version(const char *dpkg_info); /* own buffer, or null */
char *get_currentver(void);
char *get_packver(void);
int check_if_version_in_file(const char *filename, const char *version);
int check_if_current_version_in_file(const char *filename);
int altroot_has_newer(void); /* 0 when the alternate root's osk is newer */
int compare_release(const char *cur, const char *new_);
void assert_newer_version(void); /* exits 16 when refused */
int acceptable_version(void);
void check_killfile(void);

/* Installation into the target root. */
void do_prescript(const char *script, const char *failmsg);
void sources_list_localfile(const char *source);
void sources_list_revert(void);
void apt_update(void);
void install_woody_if_needed(void);
void dpkg_upgrade_osk(const char *dirname); /* only when the release holds packages */
void dpkg_install_dir(const char *dirname); /* unconditionally */
void remove_obsoleted(void);

/* The two roots and the revert. */
int get_altroot_number(void);
void move_localrevert_packages(void);
void make_altroot_match(void);

/* Boot loader and reboot. */
void do_lilo(unsigned nodemask, int switch_root);
void do_lilo_local(int switch_root);
void do_lilo_remote(int node, int switch_root);
void do_reboot(void);
int rebootremote(int node); /* -1: this node */

/* Nodes. */
int getthisnode(void);
int getnodesonline(void);
void learn_nodes(void); /* thisnode and nodes, or exit 2 */
cluster_t query_nodes_state(cluster_t node_mask);
int node_incluster(int node);
void stop_pm(void);
void onallnodes_set_pmnostart(int turn_on);
int do_other_nodes(const char *source); /* null: a revert */
/* Starts argv[n] for every node n that has one, all at once, then waits for
 * them in node order, logging waiting (a format with %d for the node) before
 * each wait when it is given. A node failed when its command ended non-zero
 * or its captured standard output holds the failure banner; each failed node
 * is logged with failed (same format). Returns the mask of failed nodes. */
int run_on_nodes(char **const argv[OSK_MAX_NODES], const char *waiting, const char *failed);

/* The system manager, rolling restarts, events and the update history. */
int connect_sysmgr(void);              /* 1 when management calls may be made */
void dump_vluns(unsigned mask);        /* the rolling-upgrade export inventory, for --dumpvluns */
int mangler_shutdown(int toc_version); /* 0, or the refusal: the caller exits 32 */
void display_sysmgr_failure(const char *mc_ertxt, int status, int from_cli_run);
int mcall_shutdown(int node, int toc_version, char *err_txt, int len);
void setup_rolling_upgrade(void);
void mangler_reboot_expedition(void);
void generate_simple_reboot_order(int list[OSK_MAX_NODES]);
void simple_rolling_reboot(void);
void simple_rolling_reboot_node(int node);
void append_pr_entry(void);
void post_update_event(const char *format, const char *version);

int rollover_run_log(const char *path); /* <0 when the rollover failed */

/*
 * The flows main() hands over to: each returns a status for main() to
 * return or ends the process with an exit status itself.
 */
int doupdate_tarball(char *source);
int doupdate_revert(void);

/* Boot loader and restart of the nodes after an update or a switch-root
 * revert, in the requested way: all at once (after the system-manager
 * shutdown when shutdown_first is set), rolling or simple rolling. */
void restart_cluster(int toc_version, int shutdown_first);

#endif
