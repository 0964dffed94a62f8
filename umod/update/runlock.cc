#include "runlock.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include "driver_log.h"
#include "ulog.h"

#include "osk_banned.h"

#define RUN_LOCK "/run/osk-update.lock"
#define CHILD_LOCK "/run/osk-update-child.lock"

/* The pid a held lock file names; 0 when the lock is free. */
static int holder(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int pid = 0;
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        char buf[32] = "";
        ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
        pid = n > 0 ? atoi(buf) : -1;
        if (pid == 0)
            pid = -1; /* taken, its pid not written yet */
    }
    close(fd);
    return pid;
}

void runlock_take(int child)
{
    const char *path = child ? CHILD_LOCK : RUN_LOCK;
    /* Kept open for the life of the process; never handed to a child. */
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return; /* no /run to lock in: nothing to protect against either */
    int other = flock(fd, LOCK_EX | LOCK_NB) != 0 ? holder(path) : 0;
    /* A node that another node's run is updating is busy too. */
    if (!other && !child)
        other = holder(CHILD_LOCK);
    if (other) {
        close(fd);
        ulog_message("Error: Another update (pid %d) is running on this node.", other);
        update_fail(UPD_EXIT_REFUSED);
    }
    char pid[32];
    int n = snprintf(pid, sizeof(pid), "%d\n", (int)getpid());
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, (size_t)n, 0) != n)
        ulog_message_logonly("Warning: cannot record this run in %s", path);
}

int runlock_busy(void)
{
    /* Held until this verification ends, so that no update starts on the
     * node under it. */
    int fd = open(CHILD_LOCK, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        int pid = holder(CHILD_LOCK);
        return pid ? pid : -1;
    }
    int pid = holder(RUN_LOCK);
    return pid == getppid() ? 0 : pid;
}
