/*
 * Log rollover. See logmgr.h.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "logmgr.h"
#include "osk_errcode.h"
#include "osk_runtime.h"
#include "sc_ioctl.h"
#include "osk_banned.h"

#define LOGMGR_PATH_MAX 4096
#define LOGMGR_CHECK_SECS 30
#define LOGMGR_BUILD_ID "osk user libraries, system-control interface 266"

char logmgr_pgmstarttime[256];

int kern_query_num_logfiles(void)
{
    if (!sc_open_try())
        return LOGMGR_DEFAULT_FILES;
    osk_var_info_t *v = (osk_var_info_t *)ioctl_alloc(SCCMD_GET_VARS, sizeof(osk_var_info_t));
    int n = LOGMGR_DEFAULT_FILES;
    if (sc_ioctl(&v->tvi_hdr) >= 0 && v->tvi_hdr.io_status == TE_PASS &&
        v->num_log_files >= LOGMGR_MIN_FILES && v->num_log_files <= LOGMGR_MAX_FILES)
        n = v->num_log_files;
    ioctl_free(&v);
    return n;
}

static void gen_name(char *buf, size_t len, const char *fname, int gen)
{
    snprintf(buf, len, "%s.%d", fname, gen);
}

/* Renames that fail are reported and the shift goes on. */
static void rename_reported(const char *from, const char *to)
{
    if (rename(from, to) < 0)
        osk_print("LOGFILEMGR: Unable to rename file %s -> %sError: %s\n", from, to,
                  strerror(errno));
}

/* <log>.(N-2) .. <log>.0 move up by one, then <log> becomes <log>.0. */
static void shift_generations(const char *fname, int numfiles)
{
    char from[LOGMGR_PATH_MAX];
    char to[LOGMGR_PATH_MAX];
    for (int i = numfiles - 2; i >= 0; i--) {
        gen_name(from, sizeof(from), fname, i);
        if (access(from, F_OK) != 0)
            continue;
        gen_name(to, sizeof(to), fname, i + 1);
        rename_reported(from, to);
    }
    gen_name(to, sizeof(to), fname, 0);
    rename_reported(fname, to);
}

static void write_rollover_banner(int fd, const char *fname)
{
    char when[128];
    time_t now = time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr ||
        strftime(when, sizeof(when), "{%a %b %d %H:%M:%S %Z %Y} DEBUG ", &tm) == 0) {
        osk_print("LOGFILEMGR: Unable to get date %s.Not logging rollover message for\n", fname);
        return;
    }
    if (write(fd, when, strlen(when)) != (ssize_t)strlen(when)) {
        osk_print("LOGFILEMGR: Unable to write date to log file %s. Not logging rollover "
                  "message\n",
                  fname);
        return;
    }
    char msg[512];
    int n = snprintf(msg, sizeof(msg),
                     "LOGFILEMGR: The program started at %s is being rolled over by pid %d\n\n",
                     logmgr_pgmstarttime, (int)getpid());
    if (n < 0 || (size_t)n >= sizeof(msg)) {
        osk_print("LOGFILEMGR: Unable to fit message in string. Previous date : %sNot logging "
                  "rollover message\n",
                  logmgr_pgmstarttime);
        return;
    }
    if (write(fd, msg, (size_t)n) != n)
        osk_print("LOGFILEMGR: Unable to write message to log file %s.Previous date : %sNot "
                  "logging rollover message\n",
                  fname, logmgr_pgmstarttime);
}

int logmgr_rollover_logfile(const char *fname, int numfiles, int runtime)
{
    if (numfiles == -1)
        numfiles = kern_query_num_logfiles();
    char roll[LOGMGR_PATH_MAX];
    snprintf(roll, sizeof(roll), "%s.rollover", fname);
    int fd = open(roll, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        osk_print("LOGFILEMGR: Unable to open rollover file (%s).Error: (%s)Log file not rolled "
                  "over\n",
                  fname, strerror(errno));
        return 0;
    }
    if (runtime)
        write_rollover_banner(fd, fname);

    struct stat oldout;
    if (fstat(1, &oldout) < 0) {
        osk_print("LOGFILEMGR: unable to run fstat on stdout: (%s)\n", strerror(errno));
        memset(&oldout, 0, sizeof(oldout));
    }
    fflush(stdout);
    fflush(stderr);
    int status = dup2(fd, 1);
    OSK_ASSERT(status != -1);
    status = dup2(fd, 2);
    OSK_ASSERT(status != -1);
    logmgr_rollover_identical_fds(fname, &oldout, fd);
    close(fd);

    shift_generations(fname, numfiles);
    if (rename(roll, fname) < 0) {
        osk_print("LOGFILEMGR: Unable to rename file %s -> %sError: %s\n", roll, fname,
                  strerror(errno));
        return 0;
    }
    return 1;
}

void logmgr_rollover_identical_fds(const char *fname, const struct stat *oldstdout, int newfd)
{
    if (strstr(fname, "cimserver") == nullptr)
        return;
    if (oldstdout->st_dev == 0)
        osk_panic("LOGFILEMGR: panicing because of invalid fstat from stdout\n");
    struct rlimit rl;
    long limit = 100;
    int rc = getrlimit(RLIMIT_NOFILE, &rl);
    if (rc != 0)
        osk_print("LOGFILEMGR: getrlimit failed with %d\n", rc);
    else
        limit = rl.rlim_cur > 65536 ? 65536 : (long)rl.rlim_cur;
    for (int d = 3; d < limit; d++) {
        struct stat st;
        if (d == newfd || fstat(d, &st) != 0)
            continue;
        if (st.st_dev == oldstdout->st_dev && st.st_ino == oldstdout->st_ino) {
            osk_print("LOGFILEMGR: Duping stdout to fd %d\n", d);
            int status = dup2(newfd, d);
            OSK_ASSERT(status != -1);
        }
    }
}

int logmgr_rollover_regfile(const char *fname, int numfiles, mode_t ipmode)
{
    if (numfiles == -1)
        numfiles = kern_query_num_logfiles();
    shift_generations(fname, numfiles);
    int fd = open(fname, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, ipmode);
    if (fd < 0) {
        osk_print("LOGFILEMGR: Unable to open file %sError: %s\n", fname, strerror(errno));
        return 0;
    }
    close(fd);
    return 1;
}

int logmgr_check_logrollover(const char *filename, int runtime, uint32_t maxsize)
{
    struct stat st;
    if (stat(filename, &st) != 0) {
        osk_print("LOGFILEMGR: Failed to stat log file %s\n", filename);
        return -1;
    }
    if ((uint64_t)st.st_size <= maxsize)
        return 0;
    return logmgr_rollover_logfile(filename, -1, runtime) ? 1 : -1;
}

int logmgr_init_logfile(const char *name, uint32_t size)
{
    if (size == 0) {
        osk_print("LOGFILEMGR: Rolling over log file at startup for %s\n", name);
        if (!logmgr_rollover_logfile(name, -1, 0))
            osk_print("LOGFILEMGR: Failed rolling over log file %s\n", name);
        return 0;
    }
    int rc = setenv(LOGMGR_FNAME_ENV, name, 1);
    if (rc != 0) {
        osk_print("LOGFILEMGR: Unable to set log file name env : %d.Rolling over the log file at "
                  "startup..\n",
                  rc);
        if (!logmgr_rollover_logfile(name, -1, 0))
            osk_print("LOGFILEMGR: Failed rolling over log file %s\n", name);
        return 0;
    }
    char sz[32];
    snprintf(sz, sizeof(sz), "%u", size);
    rc = setenv(LOGMGR_FSIZE_ENV, sz, 1);
    if (rc != 0) {
        osk_print("LOGFILEMGR: Unable to set log file size env : %d\n", rc);
        size = LOGMGR_DEFAULT_SIZE;
    }
    uint32_t limit = size > LOGMGR_HEADROOM ? size - LOGMGR_HEADROOM : 0;
    rc = logmgr_check_logrollover(name, 0, limit);
    if (rc < 0)
        osk_print("LOGFILEMGR: Error when rolling over log file : %d\n", rc);
    return 0;
}

static int write_text(int fd, const char *s)
{
    size_t len = strlen(s);
    return write(fd, s, len) == (ssize_t)len ? 0 : -1;
}

int logmgr_initenv_rolloverlogfile(char **envarray, const char *logfile, const char *pgmname,
                                   uint32_t maxlogfilesz, int env_index)
{
    int next = env_index;
    struct stat st;
    int exists = stat(logfile, &st) == 0;
    if (maxlogfilesz != 0) {
        char sz[32];
        snprintf(sz, sizeof(sz), "%u", maxlogfilesz);
        osk_envarray_append(envarray, env_index, LOGMGR_FNAME_ENV, logfile);
        osk_envarray_append(envarray, env_index + 1, LOGMGR_FSIZE_ENV, sz);
        next = env_index + 2;
        uint64_t limit = maxlogfilesz > LOGMGR_HEADROOM ? maxlogfilesz - LOGMGR_HEADROOM : 0;
        if (exists && (uint64_t)st.st_size > limit) {
            osk_print("LOGFILEMGR: Rolling over log file at startup for %s\n", logfile);
            if (!logmgr_rollover_regfile(logfile, -1, 0644))
                osk_print("LOGFILEMGR: Error when rolling over log file\n");
        }
    } else if (exists) {
        osk_print("LOGFILEMGR: Rolling over log file at startup for %s\n", logfile);
        if (!logmgr_rollover_regfile(logfile, -1, 0644))
            osk_print("LOGFILEMGR: Failed rolling over log file %s\n", logfile);
    }

    int fd = open(logfile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return next;
    char banner[512];
    char rule[81];
    memset(rule, '=', 80);
    rule[80] = '\0';
    snprintf(banner, sizeof(banner), "\n\n\n\n\n%s\n= LOGFILEMGR: %-54s\n%s\n\n\n\n\n\n", rule,
             pgmname, rule);
    if (write_text(fd, banner) < 0) {
        osk_print("Unable to write start message to log file %s error = %s\nNot logging start "
                  "message for %s\n",
                  logfile, strerror(errno), pgmname);
    } else if (write_text(fd, LOGMGR_BUILD_ID "\n\n\n\n\n") < 0) {
        osk_print("Unable to write compile string to log file %s error = %s\nNot logging compile "
                  "string message for %s\n",
                  logfile, strerror(errno), pgmname);
    }
    close(fd);
    return next;
}

void logmgr_spawn_monitorthread(const char *pgm)
{
    if (getenv(LOGMGR_FNAME_ENV) == nullptr) {
        osk_print("LOGFILEMGR: Env %s not set when %s was started up. %s was probably started "
                  "up manually. Log manager thread not started ...\n",
                  LOGMGR_FNAME_ENV, pgm, pgm);
        return;
    }
    (void)osk_thread_create_detached(logmgr_monthread_main, nullptr);
}

void *logmgr_monthread_main(void *)
{
    const char *env = getenv(LOGMGR_FNAME_ENV);
    if (env == nullptr) {
        osk_print("LOGFILEMGR: log file name env (%s) not set\n", LOGMGR_FNAME_ENV);
        return nullptr;
    }
    char name[LOGMGR_PATH_MAX];
    snprintf(name, sizeof(name), "%s", env);
    uint32_t size = LOGMGR_DEFAULT_SIZE;
    const char *sz = getenv(LOGMGR_FSIZE_ENV);
    if (sz != nullptr)
        size = (uint32_t)strtoul(sz, nullptr, 10);

    time_t now = time(nullptr);
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr ||
        strftime(logmgr_pgmstarttime, sizeof(logmgr_pgmstarttime), "(%a %b %d %H:%M:%S %Z %Y)",
                 &tm) == 0)
        osk_print("LOGFILEMGR: Unable to get current time.Maintaining old time\n");
    sleep(LOGMGR_CHECK_SECS);
    for (;;) {
        if (logmgr_check_logrollover(name, 1, size) < 0)
            osk_print("LOGFILEMGR: log file rollover failed\n");
        sleep(LOGMGR_CHECK_SECS);
    }
}

int osk_envarray_count(char *const *env)
{
    int n = 0;
    while (env != nullptr && env[n] != nullptr)
        n++;
    return n;
}

char **osk_envarray_mirror(char *const *env, int extra)
{
    int n = osk_envarray_count(env);
    char **copy = (char **)calloc((size_t)(n + extra + 1), sizeof(char *));
    OSK_ASSERT(copy != nullptr);
    for (int i = 0; i < n; i++) {
        copy[i] = strdup(env[i]);
        OSK_ASSERT(copy[i] != nullptr);
    }
    return copy;
}

int osk_envarray_append(char **envarray, int env_tailindex, const char *name, const char *value)
{
    OSK_ASSERT(envarray[env_tailindex] == (char *)NULL);
    size_t len = strlen(name) + strlen(value) + 2;
    char *s = (char *)malloc(len);
    OSK_ASSERT(s != nullptr);
    snprintf(s, len, "%s=%s", name, value);
    envarray[env_tailindex] = s;
    return env_tailindex + 1;
}

void osk_envarray_free(char **env)
{
    for (int i = 0; env != nullptr && env[i] != nullptr; i++)
        free(env[i]);
    free(env);
}
