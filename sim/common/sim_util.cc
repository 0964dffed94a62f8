#include "sim_util.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "osk_banned.h"

const char *sim_cluster_dir(void)
{
    const char *d = getenv("OSK_CLUSTER_DIR");
    return (d && *d) ? d : "/var/tmp/osk-cluster";
}

int sim_write_full(int fd, const void *buf, size_t len)
{
    const char *p = (const char *)buf;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        len -= n;
    }
    return 0;
}

ssize_t sim_read_full(int fd, void *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, (char *)buf + got, len - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += n;
    }
    return (ssize_t)got;
}

static int write_with(const char *path, int flags, const char *text, mode_t mode)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags, mode);
    if (fd < 0)
        return -1;
    int rc = sim_write_full(fd, text, strlen(text));
    if (fchmod(fd, mode) < 0)
        rc = -1;
    if (close(fd) < 0)
        rc = -1;
    return rc;
}

int sim_write_file(const char *path, const char *text, mode_t mode)
{
    return write_with(path, O_TRUNC, text, mode);
}

int sim_create_file(const char *path, const char *text, mode_t mode)
{
    return write_with(path, O_EXCL, text, mode);
}

ssize_t sim_read_file(const char *path, char *buf, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = sim_read_full(fd, buf, size - 1);
    close(fd);
    if (n < 0)
        return -1;
    buf[n] = '\0';
    return n;
}

int sim_copy_file(const char *from, const char *to, mode_t mode)
{
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -1;
    int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode);
    if (out < 0) {
        close(in);
        return -1;
    }
    char buf[65536];
    int rc = 0;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            rc = n < 0 ? -1 : 0;
            break;
        }
        if (sim_write_full(out, buf, n) < 0) {
            rc = -1;
            break;
        }
    }
    if (fchmod(out, mode) < 0)
        rc = -1;
    close(in);
    if (close(out) < 0)
        rc = -1;
    return rc;
}

int sim_mkdir_p(const char *path, mode_t mode)
{
    char buf[4096];
    if (snprintf(buf, sizeof buf, "%s", path) >= (int)sizeof buf) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (char *p = buf + 1;; p++) {
        if (*p != '/' && *p != '\0')
            continue;
        char c = *p;
        *p = '\0';
        if (mkdir(buf, mode) < 0 && errno != EEXIST)
            return -1;
        *p = c;
        if (c == '\0')
            break;
    }
    struct stat st;
    if (stat(path, &st) < 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

static int rm_failed;

static int rm_one(const char *path, const struct stat *, int type, struct FTW *)
{
    int rc = (type == FTW_DP) ? rmdir(path) : unlink(path);
    if (rc < 0 && errno != ENOENT)
        rm_failed = 1;
    return 0;
}

int sim_rm_tree(const char *path)
{
    struct stat st;
    if (lstat(path, &st) < 0)
        return errno == ENOENT ? 0 : -1;
    rm_failed = 0;
    /* FTW_MOUNT keeps the walk on PATH's file system: a mount left below
     * must never let us delete what lies behind it. */
    if (nftw(path, rm_one, 32, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) < 0)
        return -1;
    if (rm_failed) {
        errno = ENOTEMPTY;
        return -1;
    }
    return 0;
}

/* Undoes the octal escapes of /proc/self/mountinfo ("\040" for a blank). */
static void unescape(char *s)
{
    char *w = s;
    for (char *r = s; *r; r++) {
        if (r[0] == '\\' && r[1] >= '0' && r[1] <= '7' && r[2] && r[3]) {
            *w++ = (char)((r[1] - '0') * 64 + (r[2] - '0') * 8 + (r[3] - '0'));
            r += 3;
        } else {
            *w++ = *r;
        }
    }
    *w = '\0';
}

int sim_mounts_under(const char *path, char (*out)[512], int max)
{
    FILE *f = fopen("/proc/self/mountinfo", "re");
    if (!f)
        return -1;
    size_t plen = strlen(path);
    while (plen > 1 && path[plen - 1] == '/')
        plen--;
    int n = 0;
    char line[4096];
    while (fgets(line, sizeof line, f)) {
        char mp[4096];
        if (sscanf(line, "%*s %*s %*s %*s %4095s", mp) != 1)
            continue;
        unescape(mp);
        if (strncmp(mp, path, plen) != 0 || (mp[plen] != '\0' && mp[plen] != '/'))
            continue;
        if (n < max)
            snprintf(out[n], sizeof out[n], "%.511s", mp);
        n++;
    }
    fclose(f);
    if (n > max)
        n = max;
    /* Later mounts sit on top of earlier ones: undo them first. */
    for (int i = 0; i < n / 2; i++) {
        char tmp[512];
        memcpy(tmp, out[i], sizeof tmp);
        memcpy(out[i], out[n - 1 - i], sizeof tmp);
        memcpy(out[n - 1 - i], tmp, sizeof tmp);
    }
    return n;
}

uint64_t sim_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

long sim_env_long(const char *name, long def)
{
    const char *v = getenv(name);
    if (!v || !*v)
        return def;
    char *end;
    long n = strtol(v, &end, 10);
    return *end ? def : n;
}

int sim_pid_is(pid_t pid, const char *name)
{
    if (pid <= 0)
        return 0;
    char path[64], cmd[512];
    snprintf(path, sizeof path, "/proc/%d/cmdline", (int)pid);
    ssize_t n = sim_read_file(path, cmd, sizeof cmd);
    if (n <= 0)
        return 0;
    /* A zombie has an empty command line and is as good as gone. An
     * interpreted program shows its interpreter first, so look at two words. */
    const char *w = cmd;
    for (int word = 0; word < 2 && w < cmd + n; word++) {
        const char *base = strrchr(w, '/');
        if (strcmp(base ? base + 1 : w, name) == 0)
            return 1;
        w += strlen(w) + 1;
    }
    return 0;
}

int sim_proc_start(pid_t pid, unsigned long long *start)
{
    char path[64], st[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    if (pid <= 0 || sim_read_file(path, st, sizeof st) <= 0) {
        errno = ESRCH;
        return -1;
    }
    /* The command name (field 2) may hold blanks and parentheses: count
     * from the last ')'. Field 22 is then the 20th word after it. */
    const char *p = strrchr(st, ')');
    for (int field = 2; p && field < 22; field++)
        p = strchr(p + 1, ' ');
    if (!p || sscanf(p, " %llu", start) != 1) {
        errno = ESRCH;
        return -1;
    }
    return 0;
}

int sim_pidfile_write(const char *path, pid_t pid)
{
    unsigned long long start;
    char tmp[4096], text[64];
    if (sim_proc_start(pid, &start) < 0)
        return -1;
    if (snprintf(tmp, sizeof tmp, "%s.new", path) >= (int)sizeof tmp) {
        errno = ENAMETOOLONG;
        return -1;
    }
    snprintf(text, sizeof text, "%d %llu\n", (int)pid, start);
    (void)unlink(tmp);
    if (sim_create_file(tmp, text, 0644) < 0)
        return -1;
    if (rename(tmp, path) < 0) {
        (void)unlink(tmp);
        return -1;
    }
    return 0;
}

/* The pid PATH records when that process runs and is NAME, else 0. */
static pid_t recorded(const char *path, const char *name)
{
    char text[64];
    int pid;
    unsigned long long want, start;
    if (sim_read_file(path, text, sizeof text) < 3 || sscanf(text, "%d %llu", &pid, &want) != 2)
        return 0;
    if (sim_proc_start(pid, &start) < 0 || start != want || !sim_pid_is(pid, name))
        return 0;
    return (pid_t)pid;
}

pid_t sim_pidfile_read(const char *path, const char *name)
{
    return recorded(path, name);
}

int sim_pidfile_pidfd(const char *path, const char *name)
{
    /* pidfd_open sets close-on-exec itself. */
    pid_t pid = recorded(path, name);
    if (!pid)
        return -1;
    int fd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0)
        return -1;
    /* The id may have been given to another between the check and the
     * open: the descriptor counts only if the same process is still there. */
    if (recorded(path, name) != pid) {
        close(fd);
        return -1;
    }
    return fd;
}

int sim_pidfd_signal(int pidfd, int sig)
{
    return (int)syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0);
}

int sim_pidfd_wait(int pidfd, int ms)
{
    struct pollfd pf = {pidfd, POLLIN, 0};
    uint64_t deadline = sim_now_ms() + (uint64_t)ms;
    for (;;) {
        uint64_t now = sim_now_ms();
        int left = now >= deadline ? 0 : (int)(deadline - now);
        int r = poll(&pf, 1, left);
        if (r > 0)
            return 1;
        if (r == 0 || errno != EINTR)
            return 0;
    }
}

void sim_flat_name(const char *name, size_t maxlen, char *out, size_t outlen)
{
    size_t o = 0;
    for (size_t i = 0; i < maxlen && name[i] != '\0' && o + 4 <= outlen; i++) {
        unsigned char c = (unsigned char)name[i];
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-' || (c == '.' && o > 0))
            out[o++] = (char)c;
        else
            o += (size_t)snprintf(out + o, outlen - o, "%%%02X", c);
    }
    if (outlen > 0)
        out[o < outlen ? o : outlen - 1] = '\0';
}
