/*
 * osk-node: the init of a simulated node, of the package host, and the
 * holder of the cluster's hub network.
 *
 *   osk-node boot DIR N ROOT BINDIR   PID 1 of the node's namespaces; boots
 *                                     root partition ROOT (A or B)
 *   osk-node pkghost DIR              PID 1 of the package host's; serves
 *                                     DIR/pkghost as its "/"
 *   osk-node hub                      in a network namespace of its own:
 *                                     makes the bridges, then waits
 *
 * The supervisor starts all three and plugs each host's cable in (sim_net.h).
 * Each writes 'R' to descriptor 3 once it is ready (a host: its remote shell
 * listens), then closes it; closing it without 'R' means the start failed.
 */
#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "agent.h"
#include "node_boot.h"
#include "node_host.h"
#include "sim_net.h"
#include "sim_fork.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "osk_banned.h"

static void say_ready(void)
{
    (void)!write(3, "R", 1);
    close(3);
}

static pid_t start_agent(int lfd)
{
    pid_t pid;
    int r = sim_fork(FORK_NULL_STDIN | FORK_RESET_SIGNALS, nullptr, 0, &pid);
    if (r == 0)
        agent_serve(lfd);
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
    int ssh = sim_net_ssh(SIM_NODE_RUN_DIR);
    if (ssh && node_ssh_alternatives() < 0)
        return 1;
    char no_rsh[64];
    snprintf(no_rsh, sizeof no_rsh, SIM_NODE_RUN_DIR "/faults/rsh-node%d", b.node);
    if (host_up(b.node, no_rsh, ssh) < 0)
        return 1;

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
    /* SIGTERM is a reboot: once the agent and the remote shell have seen
     * their running sessions out, ending PID 1 ends every process of the
     * node. Both signals are taken only by sigwaitinfo, so neither can be
     * missed between a check and a wait; the handler is there because the
     * init of a namespace drops a signal it has no handler for. Set before
     * the node says it is up, so no reboot request can come first. */
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGTERM);
    sigaddset(&wake, SIGCHLD);
    sigprocmask(SIG_BLOCK, &wake, nullptr);
    printf("node%d: booted root %c at %s\n", b.node, b.root, sim_net_addr(b.node).c_str());
    fflush(stdout);
    say_ready();

    /* PID 1 inherits every orphan of the node: reap them all, and keep the
     * agent alive so the node stays reachable. */
    int stopping = 0;
    for (;;) {
        int st;
        pid_t pid;
        while ((pid = waitpid(-1, &st, WNOHANG)) > 0) {
            if (pid != agent)
                continue;
            if (stopping) {
                agent = 0;
                continue;
            }
            fprintf(stderr, "osk-node: agent ended (status %d), restarting it\n", st);
            agent = start_agent(lfd);
        }
        if (stopping && agent == 0 && host_sessions(ssh) == 0)
            return 0;
        /* While stopping, the remote shell's sessions are counted again
         * shortly: they are no children of ours. */
        struct timespec tick = {0, 5 * 1000 * 1000};
        int sig = sigtimedwait(&wake, nullptr, stopping ? &tick : nullptr);
        if (sig == SIGTERM && !stopping) {
            stopping = 1;
            host_stop_shell(ssh);
            (void)kill(agent, SIGTERM);
        }
    }
}

/* PID 1 of a host's namespaces once it is up: reaps orphans until told to
 * stop. */
static int reap_until_term(void)
{
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGTERM);
    sigaddset(&wake, SIGCHLD);
    sigprocmask(SIG_BLOCK, &wake, nullptr);
    for (;;) {
        while (waitpid(-1, nullptr, WNOHANG) > 0)
            ;
        if (sigwaitinfo(&wake, nullptr) == SIGTERM)
            return 0;
    }
}

static int pkghost(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: osk-node pkghost DIR\n");
        return 2;
    }
    if (getpid() != 1) {
        fprintf(stderr, "osk-node: pkghost must run as PID 1 of a new namespace\n");
        return 1;
    }
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigaction(SIGTERM, &sa, nullptr);
    char run[PATH_MAX];
    snprintf(run, sizeof run, "%s/run", argv[2]);
    int ssh = sim_net_ssh(run);
    if (pkghost_mount_and_pivot(argv[2], ssh) < 0 || host_up(SIM_NET_PKGHOST, nullptr, ssh) < 0)
        return 1;
    printf("pkghost: up at %s\n", sim_net_addr(SIM_NET_PKGHOST).c_str());
    fflush(stdout);
    say_ready();
    return reap_until_term();
}

static int hub(int argc, char **)
{
    if (argc != 2) {
        fprintf(stderr, "usage: osk-node hub\n");
        return 2;
    }
    std::string err;
    if (sim_net_run("ip", 0,
                    "link set lo up\nlink add " SIM_NET_BRIDGE
                    " type bridge\nlink set " SIM_NET_BRIDGE " up\n",
                    0, &err) < 0) {
        fprintf(stderr, "osk-node: hub: %s", err.c_str());
        return 1;
    }
    say_ready();
    for (;;)
        pause();
}

int main(int argc, char **argv)
{
    if (argc >= 2 && strcmp(argv[1], "boot") == 0)
        return boot(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "pkghost") == 0)
        return pkghost(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "hub") == 0)
        return hub(argc, argv);
    fprintf(stderr, "usage: osk-node boot DIR N A|B BINDIR | pkghost DIR | hub\n");
    return 2;
}
