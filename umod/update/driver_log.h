/*
 * The driver's side of the run log and the child engine: the table of exit
 * statuses, the failure exit, the log header's texts and the hook that
 * confines a child to the target root.
 *
 * The run log's switches (use_log, quiet, do_dots) live in ulog_settings
 * alone: the command line and start-up write them there, so what the log
 * does is what the driver asked for at every moment of the run.
 */
#ifndef UPDATE_DRIVER_LOG_H
#define UPDATE_DRIVER_LOG_H

#define LOGFILE_UPDATE "/var/log/osk/update"
#define LOGFILE_VERIFY "/var/log/osk/update_verify"
#define LOGFILE_FALLBACK "/tmp/update.log"

/* What a failed run says last; the update of the other nodes looks for it
 * in what each node's run printed. */
#define UPDATE_FAILED_BANNER "Update failed.\nCheck /var/log/osk/update for details.\n"

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

/* The failure banner, on the console exactly once, quiet or not. */
void update_failed(void);
/* The failure banner, then exit with status. */
[[noreturn]] void update_fail(int status);
/* Hands the run log's paths, the command text (args_passed) and the build
 * to the run log; call before the first record. */
void update_log_settings(void);
/* Pre-exec hook: confines a child to /altroot when install_altroot is set. */
void do_chroot(void *unused = nullptr);

#endif
