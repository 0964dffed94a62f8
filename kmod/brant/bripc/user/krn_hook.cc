/*
 * The kernel hook entry. See krn_hook.h.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include "krn_hook.h"
#include "osk_dev.h"
#include "osk_banned.h"

static int hook_fd = -1;

int osk_krn_hook(int hook, uintptr_t arg1, uintptr_t arg2, uintptr_t arg3, uintptr_t arg4)
{
    if (hook_fd < 0) {
        int fd = osk_dev_open();
        if (fd < 0) {
            perror("osk_krn_hook:  open");
            fprintf(stderr, "osk_krn_hook:  %s is inaccessible\n", osk_dev_path());
            exit(255);
        }
        hook_fd = fd;
    }
    osk_krn_hook_t rec;
    rec.result = 0;
    rec.hook = hook;
    rec.arg1 = arg1;
    rec.arg2 = arg2;
    rec.arg3 = arg3;
    rec.arg4 = arg4;
    int rc;
    /* A hook interrupted before the kernel answered is issued again, as an
     * interrupted system call restarts; only a real failure ends us. */
    while ((rc = osk_dev_ioctl(hook_fd, OSK_HOOK_IOCTL, &rec)) < 0 && errno == EINTR)
        rec.result = 0;
    if (rc < 0) {
        fprintf(stderr, "osk_krn_hook:  the ioctl failed (%d)\n", errno);
        exit(255);
    }
    return rec.result;
}
