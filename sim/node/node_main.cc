/*
 * osk-node: the init of a simulated node, and the package host's agent.
 *
 *   osk-node boot DIR N ROOT BINDIR   PID 1 of the node's namespaces; boots
 *                                     root partition ROOT (A or B)
 *   osk-node pkghost DIR              serves DIR/pkghost to rcp
 *
 * The supervisor starts both. A booting node writes 'R' to descriptor 3
 * once its agent listens, then closes it; closing it without 'R' means the
 * boot failed.
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "agent.h"
#include "node_boot.h"
#include "sim_fork.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "osk_banned.h"

static pid_t start_agent(int lfd)
{
    pid_t pid;
    int r = sim_fork(FORK_NULL_STDIN | FORK_RESET_SIGNALS, nullptr, 0, &pid);
    if (r == 0)
        agent_serve(lfd, 0);
    return r < 0 ? -1 : pid;
}

static void start_pm(void)
{
    pid_t pid;
    int r = sim_fork(FORK_NULL_STDIN | FORK_RESET_SIGNALS | FORK_CLOSE_ALL_FDS, nullptr, 0, &pid);
    if (r == 0) {
        execl("/opt/osk/bin/pm", "pm", "--boot", (char *)nullptr);
        fprintf(stderr, "osk-node: /opt/osk/bin/pm: %s\n", strerror(errno));
        _exit(127);
    }
}

static int boot(int argc, char **argv)
{
    if (argc != 6 || strlen(argv[4]) != 1 || (argv[4][0] != 'A' && argv[4][0] != 'B')) {
        fprintf(stderr, "usage: osk-node boot DIR N A|B BINDIR\n");
        return 2;
    }
    struct node_boot_t b = {argv[2], argv[5], atoi(argv[3]), argv[4][0]};
    if (getpid() != 1) {
        fprintf(stderr, "osk-node: boot must run as PID 1 of a new namespace\n");
        return 1;
    }
    if (node_root_create(&b, 'A') < 0 || node_root_create(&b, 'B') < 0)
        return 1;
    if (node_mount_and_pivot(&b) < 0)
        return 1;
    agent_login_env();

    char sock[64];
    snprintf(sock, sizeof sock, SIM_NODE_RUN_DIR "/node%d.sock", b.node);
    int lfd = sim_unix_listen(sock);
    if (lfd < 0) {
        fprintf(stderr, "osk-node: listen on %s: %s\n", sock, strerror(errno));
        return 1;
    }
    pid_t agent = start_agent(lfd);
    if (agent < 0) {
        fprintf(stderr, "osk-node: start agent: %s\n", strerror(errno));
        return 1;
    }
    start_pm();
    /* SIGTERM is a reboot: once the agent has seen its running sessions
     * out, ending PID 1 ends every process of the node. Both signals are
     * taken only by sigwaitinfo, so neither can be missed between a check
     * and a wait; the handler is there because the init of a namespace
     * drops a signal it has no handler for. Set before the node says it is
     * up, so no reboot request can come first. */
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGTERM);
    sigaddset(&wake, SIGCHLD);
    sigprocmask(SIG_BLOCK, &wake, nullptr);
    printf("node%d: booted root %c\n", b.node, b.root);
    fflush(stdout);
    (void)!write(3, "R", 1);
    close(3);

    /* PID 1 inherits every orphan of the node: reap them all, and keep the
     * agent alive so the node stays reachable. */
    int stopping = 0;
    for (;;) {
        int st;
        pid_t pid;
        while ((pid = waitpid(-1, &st, WNOHANG)) > 0) {
            if (pid != agent)
                continue;
            if (stopping)
                return 0;
            fprintf(stderr, "osk-node: agent ended (status %d), restarting it\n", st);
            agent = start_agent(lfd);
        }
        if (sigwaitinfo(&wake, nullptr) == SIGTERM && !stopping) {
            stopping = 1;
            (void)kill(agent, SIGTERM);
        }
    }
}

static int pkghost(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: osk-node pkghost DIR\n");
        return 2;
    }
    char sock[4096], root[4096];
    snprintf(sock, sizeof sock, "%s/run/pkghost.sock", argv[2]);
    snprintf(root, sizeof root, "%s/pkghost", argv[2]);
    int lfd = sim_unix_listen(sock);
    if (lfd < 0) {
        fprintf(stderr, "osk-node: listen on %s: %s\n", sock, strerror(errno));
        return 1;
    }
    /* The package host shows nothing but its own folder. */
    if (chroot(root) < 0 || chdir("/") < 0) {
        fprintf(stderr, "osk-node: chroot %s: %s\n", root, strerror(errno));
        return 1;
    }
    agent_serve(lfd, 1);
}

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "boot") == 0)
        return boot(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "pkghost") == 0)
        return pkghost(argc, argv);
    fprintf(stderr, "usage: osk-node boot DIR N A|B BINDIR | osk-node pkghost DIR\n");
    return 2;
}
