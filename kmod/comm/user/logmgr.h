/*
 * Log rollover. A log <log> past its size limit becomes <log>.0, older
 * generations move up by one (<log>.0 .. <log>.<N-1>; the oldest falls off)
 * and writing goes on in a fresh <log> (mode 0644). N comes from the kernel
 * (SCCMD_GET_VARS, accepted from 5 to 80) and is 5 otherwise.
 *
 * Two kinds of log:
 * - one the process writes through its standard output and error
 *   (logmgr_check_logrollover, logmgr_rollover_logfile): descriptors 1 and 2
 *   are re-pointed at the fresh file before anything is renamed, so no line
 *   is lost;
 * - one it does not hold open (logmgr_rollover_regfile).
 *
 * A program started with a managed log gets its name and limit in the
 * environment (OSK_LOGFNAME_ENV, OSK_LOGFSIZE_ENV) and may run the monitor
 * thread, which checks every 30 seconds. Nothing here takes a lock: use it
 * from one thread. Failures are printed ("LOGFILEMGR: ...") and returned,
 * never fatal, except a failed descriptor copy.
 */
#ifndef LOGMGR_H
#define LOGMGR_H

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#define LOGMGR_FNAME_ENV "OSK_LOGFNAME_ENV"
#define LOGMGR_FSIZE_ENV "OSK_LOGFSIZE_ENV"
#define LOGMGR_DEFAULT_SIZE 4194304u
#define LOGMGR_HEADROOM 40960u
#define LOGMGR_DEFAULT_FILES 5
#define LOGMGR_MIN_FILES 5
#define LOGMGR_MAX_FILES 80

extern char logmgr_pgmstarttime[256];

int logmgr_check_logrollover(const char *filename, int runtime, uint32_t maxsize); /* 0, 1, -1 */
int logmgr_rollover_logfile(const char *fname, int numfiles, int runtime);         /* 1 or 0 */
int logmgr_rollover_regfile(const char *fname, int numfiles, mode_t ipmode);       /* 1 or 0 */
int kern_query_num_logfiles(void);
void logmgr_rollover_identical_fds(const char *fname, const struct stat *oldstdout, int newfd);
int logmgr_init_logfile(const char *name, uint32_t size);
int logmgr_initenv_rolloverlogfile(char **envarray, const char *logfile, const char *pgmname,
                                   uint32_t maxlogfilesz, int env_index);
void logmgr_spawn_monitorthread(const char *pgm);
void *logmgr_monthread_main(void *arg);

/* Environment arrays: null-terminated arrays of "name=value" strings. */
int osk_envarray_count(char *const *env);
char **osk_envarray_mirror(char *const *env, int extra); /* copy with room for extra more */
int osk_envarray_append(char **env, int index, const char *name, const char *value);
void osk_envarray_free(char **env);

#endif
