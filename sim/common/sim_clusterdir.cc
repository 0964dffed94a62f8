#include "sim_clusterdir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim_util.h"

#include "osk_banned.h"

/* Trees that belong to the system as a whole, and the folders of /var that
 * sit one level below the top and still hold the machine's state. */
static const char *const system_trees[] = {"/bin",  "/boot", "/dev",  "/etc", "/lib", "/lib64",
                                           "/proc", "/run",  "/sbin", "/sys", "/usr"};
static const char *const system_folders[] = {"/var/tmp",   "/var/lib",   "/var/log",
                                             "/var/cache", "/var/spool", "/var/mail",
                                             "/var/opt",   "/var/local", "/var/backups"};

static int is_system_folder(const char *real)
{
    if (strchr(real + 1, '/') == nullptr) /* "/" or directly under it */
        return 1;
    for (const char *t : system_trees) {
        size_t n = strlen(t);
        if (strncmp(real, t, n) == 0 && (real[n] == '\0' || real[n] == '/'))
            return 1;
    }
    for (const char *f : system_folders)
        if (strcmp(real, f) == 0)
            return 1;
    return 0;
}

/* The folder dir names with links, "." and ".." resolved; one that does not
 * exist yet is resolved through its parent. */
static int resolve(const char *dir, char *real)
{
    if (realpath(dir, real))
        return 0;
    if (errno != ENOENT)
        return -1;
    char parent[PATH_MAX];
    snprintf(parent, sizeof parent, "%s", dir);
    size_t len = strlen(parent);
    while (len > 1 && parent[len - 1] == '/')
        parent[--len] = '\0';
    char *slash = strrchr(parent, '/');
    const char *base = slash + 1;
    if (strcmp(base, ".") == 0 || strcmp(base, "..") == 0) {
        errno = EINVAL;
        return -1;
    }
    char name[NAME_MAX + 1];
    snprintf(name, sizeof name, "%s", base);
    if (slash == parent)
        parent[1] = '\0';
    else
        *slash = '\0';
    char real_parent[PATH_MAX];
    if (!realpath(parent, real_parent)) {
        if (errno != ENOENT)
            return -1;
        /* Nothing of it exists: it is made afresh, below a folder that is
         * not there yet either. */
        snprintf(real, PATH_MAX, "%s/%s", parent, name);
        return 0;
    }
    snprintf(real, PATH_MAX, "%s%s%s", real_parent, strcmp(real_parent, "/") ? "/" : "", name);
    return 0;
}

static int is_empty(const char *dir)
{
    DIR *d = opendir(dir);
    if (!d)
        return 0;
    int empty = 1;
    for (struct dirent *de; empty && (de = readdir(d));)
        empty = strcmp(de->d_name, ".") == 0 || strcmp(de->d_name, "..") == 0;
    closedir(d);
    return empty;
}

/* The first folder above real (resolved) that a user other than root may
 * change: one of another owner, or writable by others without the sticky
 * bit that keeps them from renaming root's entries. "" when none. */
static void changeable_parent(const char *real, char *found, size_t size)
{
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s", real);
    found[0] = '\0';
    for (char *slash = strchr(path + 1, '/'); slash; slash = strchr(slash + 1, '/')) {
        *slash = '\0';
        struct stat st;
        int open_to_others = lstat(path, &st) == 0 &&
                             (st.st_uid != 0 || ((st.st_mode & 022) && !(st.st_mode & S_ISVTX)));
        if (open_to_others)
            snprintf(found, size, "%s", path);
        *slash = '/';
        if (open_to_others)
            return;
    }
}

int sim_clusterdir_check(const char *dir)
{
    char real[PATH_MAX];
    if (resolve(dir, real) < 0) {
        fprintf(stderr, "osk-cluster: %s: %s\n", dir, strerror(errno));
        return -1;
    }
    if (is_system_folder(real)) {
        fprintf(stderr, "osk-cluster: %s is a system folder; a cluster needs a folder of its own\n",
                dir);
        return -1;
    }
    char parent[PATH_MAX];
    changeable_parent(real, parent, sizeof parent);
    if (parent[0] != '\0') {
        fprintf(stderr,
                "osk-cluster: %s is below %s, which another user can change; choose a "
                "folder whose parents are root's\n",
                dir, parent);
        return -1;
    }
    struct stat st;
    if (lstat(dir, &st) == 0 && S_ISLNK(st.st_mode) && st.st_uid != 0) {
        fprintf(stderr, "osk-cluster: %s is a link of another user; leaving it alone\n", dir);
        return -1;
    }
    if (lstat(real, &st) < 0)
        return 0; /* not made yet */
    if (!S_ISDIR(st.st_mode)) {
        fprintf(stderr, "osk-cluster: %s is not a folder\n", dir);
        return -1;
    }
    char mark[PATH_MAX + sizeof(SIM_CLUSTER_MARK) + 1];
    snprintf(mark, sizeof mark, "%s/%s", real, SIM_CLUSTER_MARK);
    struct stat ms;
    if ((lstat(mark, &ms) < 0 || !S_ISREG(ms.st_mode)) && !is_empty(real)) {
        fprintf(stderr, "osk-cluster: %s exists and is not a cluster's folder; leaving it alone\n",
                dir);
        return -1;
    }
    if (st.st_uid != 0 || (st.st_mode & 07777) != 0700) {
        fprintf(stderr,
                "osk-cluster: %s is not root's own folder of mode 0700 (owner %u, mode %04o); "
                "leaving it alone\n",
                dir, (unsigned)st.st_uid, (unsigned)(st.st_mode & 07777));
        return -1;
    }
    return 0;
}

int sim_clusterdir_mark(const char *dir)
{
    if (sim_mkdir_p(dir, 0700) < 0)
        return -1;
    /* Whatever stands at dir now, made by us or by someone quicker: only a
     * folder of root's is restricted and marked, never what a link names. */
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    int rc = fstat(fd, &st);
    if (rc == 0 && st.st_uid != 0) {
        errno = EPERM;
        rc = -1;
    }
    if (rc == 0)
        rc = fchmod(fd, 0700);
    if (rc == 0) {
        int m = openat(fd, SIM_CLUSTER_MARK, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                       0600);
        rc = m < 0 || sim_write_full(m, "osk-cluster\n", 12) < 0 ? -1 : 0;
        if (m >= 0)
            close(m);
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return rc;
}
