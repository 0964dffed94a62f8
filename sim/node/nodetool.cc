/*
 * osk-nodetool: the node's lilo, reboot, umount and pm, one program chosen
 * by the name it is called by. Each root partition holds its own copies at
 * the usual paths. (rsh and rcp are Debian's own.)
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pm.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "osk_banned.h"

/* Where the agents' and supervisor's sockets are; a test on this machine
 * may point it at a cluster's folder. */
static const char *run_dir(void)
{
    const char *d = getenv("OSK_SIM_RUN_DIR");
    return (d && *d) ? d : SIM_NODE_RUN_DIR;
}

/* This node's number, from its host name "nodeN". */
static int this_node(void)
{
    char h[64] = "";
    if (gethostname(h, sizeof h - 1) < 0 || strncmp(h, "node", 4) != 0 || h[4] < '0' ||
        h[4] > '7' || h[5])
        return -1;
    return h[4] - '0';
}

static int supervisor(const char *prog, const char *req)
{
    char sock[512], reply[256];
    snprintf(sock, sizeof sock, "%s/super.sock", run_dir());
    int rc = sim_line_request(sock, req, reply, sizeof reply, 10000);
    if (rc < 0) {
        fprintf(stderr, "%s: cannot reach the cluster supervisor: %s\n", prog, strerror(errno));
        return 1;
    }
    if (rc > 0) {
        fprintf(stderr, "%s: %s", prog, reply);
        return 1;
    }
    return 0;
}

static int lilo_main(int, char **)
{
    char buf[64];
    if (access("/etc/lilo.conf", R_OK) < 0) {
        fprintf(stderr, "Fatal: open /etc/lilo.conf: %s\n", strerror(errno));
        return 1;
    }
    /* Which partition this root is tells which one to boot: run in the
     * running root it keeps it, chrooted into /altroot it picks that. */
    if (sim_read_file("/.osk-root", buf, sizeof buf) < 1 || (buf[0] != 'A' && buf[0] != 'B')) {
        fprintf(stderr, "Fatal: cannot identify the root partition of this system\n");
        return 1;
    }
    int node = this_node();
    if (node < 0) {
        fprintf(stderr, "Fatal: host name is not a cluster node name\n");
        return 1;
    }
    char req[64];
    snprintf(req, sizeof req, "lilo %d %c", node, buf[0]);
    if (supervisor("lilo", req) != 0)
        return 1;
    printf("Added osk *\n");
    return 0;
}

static int reboot_main(int, char **)
{
    int node = this_node();
    if (node < 0) {
        fprintf(stderr, "reboot: host name is not a cluster node name\n");
        return 1;
    }
    char req[64];
    snprintf(req, sizeof req, "reboot %d", node);
    /* The supervisor outside the node does the work, so it completes even
     * though this process is among those the reboot ends. */
    return supervisor("reboot", req);
}

static int umount_main(int argc, char **argv)
{
    int all = 0, nfs = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-a") == 0)
            all = 1;
        else if (strcmp(argv[i], "-t") == 0 && i + 1 < argc && strcmp(argv[i + 1], "nfs") == 0)
            nfs = 1, i++;
    }
    if (all && nfs)
        return 0; /* a node mounts no network shares */
    execv("/usr/bin/umount", argv);
    execv("/bin/umount", argv);
    fprintf(stderr, "umount: %s\n", strerror(errno));
    return 1;
}

int main(int argc, char **argv)
{
    /* Callers that detach close 0, 1 and 2; a socket opened later must not
     * take their place and be mistaken for standard input. */
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
            return 1;
    const char *name = strrchr(argv[0], '/');
    name = name ? name + 1 : argv[0];
    if (strcmp(name, "osk-nodetool") == 0 && argc > 1) {
        /* osk-nodetool TOOL ARGS...: the same, for testing on this machine. */
        argv++, argc--;
        name = argv[0];
    }
    if (strcmp(name, "lilo") == 0)
        return lilo_main(argc, argv);
    if (strcmp(name, "reboot") == 0)
        return reboot_main(argc, argv);
    if (strcmp(name, "umount") == 0)
        return umount_main(argc, argv);
    if (strcmp(name, "pm") == 0)
        return pm_main(argc, argv);
    fprintf(stderr, "osk-nodetool: unknown tool %s\n", name);
    return 2;
}
