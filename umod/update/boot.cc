/*
 * Making the nodes boot the new root and restarting them, the local node
 * last so that the requests to the others go out before this node goes down.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "boot.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "nodes.h"
#include "ulog.h"

#include "osk_banned.h"

#define LILO_PROGRAM "/sbin/lilo"
#define REBOOT_PROGRAM "/sbin/reboot"
#define UMOUNT_PROGRAM "/sbin/umount"
#define LILO_CAPTURE_LEN 4096

static const char delayed_reboot[] = "sleep 10; reboot";

static void run_lilo(char **argv, ptr_func_t hook)
{
    static char out[LILO_CAPTURE_LEN], err[LILO_CAPTURE_LEN];
    if (ulog_exec_captured(argv, hook, out, sizeof(out), err, sizeof(err)) == 0)
        return;

    ulog_message("Output of lilo to stdout:\n%s\n", out);
    ulog_message("Output of lilo to stderr:\n%s\n", err);
    ulog_message("lilo did not complete successfully!  Please examine the\nabove output for "
                 "details.");
    update_fail(UPD_EXIT_FAILURE);
}

void do_lilo_local(int switch_root)
{
    char *argv[] = {(char *)LILO_PROGRAM, NULL};
    run_lilo(argv, switch_root ? do_chroot : NULL);
}

void do_lilo_remote(int node, int switch_root)
{
    char *argv[6];
    int argc = 0;
    argv[argc++] = (char *)RSH_PROGRAM;
    argv[argc++] = (char *)nodehostnames_brnet[node];
    if (switch_root) {
        argv[argc++] = (char *)"chroot";
        argv[argc++] = (char *)"/altroot";
    }
    argv[argc++] = (char *)LILO_PROGRAM;
    argv[argc] = NULL;
    run_lilo(argv, NULL);
}

void do_lilo(node_mask which, int switch_root)
{
    if (local) {
        do_lilo_local(switch_root);
        return;
    }
    for (int n = 0; n < OSK_MAX_NODES; n++)
        if (nodes.has(n) && which.has(n))
            do_lilo_remote(n, switch_root);
}

int rebootremote(int node)
{
    if (node == -1)
        (void)ulog_execl(UMOUNT_PROGRAM, "-a", "-t", "nfs", nullptr);

    if (from_cli) {
        /* The management command line waits for us: reboot after we are gone. */
        if (fork() == 0) {
            setpgid(0, 0);
            close(0);
            close(1);
            close(2);
            if (node == -1)
                execl(SHELL_PROGRAM, SHELL_PROGRAM, "-c", delayed_reboot, (char *)NULL);
            else
                execl(RSH_PROGRAM, RSH_PROGRAM, nodehostnames_brnet[node], delayed_reboot,
                      (char *)NULL);
            _exit(1);
        }
        return 0;
    }
    if (node == -1)
        return ulog_execl(REBOOT_PROGRAM, nullptr);
    return ulog_execl(RSH_PROGRAM, nodehostnames_brnet[node], REBOOT_PROGRAM, nullptr);
}

void do_reboot(void)
{
    if (!rebootpermitted)
        return;
    ulog_message("Rebooting.");
    if (!local)
        for (int n = OSK_MAX_NODES - 1; n >= 0; n--)
            if (expeditionmask.has(n) && nodes.has(n) && n != thisnode)
                (void)rebootremote(n);
    if (expeditionmask.has(thisnode))
        (void)rebootremote(-1);
}
