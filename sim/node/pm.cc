#include "pm.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim_fork.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "osk_banned.h"

#define PM_SOCK "/run/osk-pm.sock"
#define PM_CONF "/etc/osk/pm.conf"
#define PM_MAX 32

struct pm_service_t {
    char name[64];
    char cmd[1024];
    pid_t pid;        /* 0 when not running */
    int stopped;      /* stopped on request: never restarted */
    uint64_t restart; /* when to start it again after it died */
};

static struct pm_service_t svc[PM_MAX];
static int nsvc;

static void svc_start(struct pm_service_t *s)
{
    pid_t pid;
    int r = sim_fork(FORK_NEW_SESSION | FORK_NULL_STDIN | FORK_RESET_SIGNALS | FORK_CLOSE_ALL_FDS,
                     nullptr, 0, &pid);
    if (r == 0) {
        char line[1100];
        snprintf(line, sizeof line, "exec %s", s->cmd);
        execl("/bin/sh", "sh", "-c", line, (char *)nullptr);
        _exit(127);
    }
    s->pid = r > 0 ? pid : 0;
    printf("pm: started %s (pid %d)\n", s->name, (int)s->pid);
    fflush(stdout);
}

static void svc_stop(struct pm_service_t *s)
{
    s->stopped = 1;
    if (s->pid <= 0)
        return;
    (void)kill(-s->pid, SIGTERM);
    for (int i = 0; i < 200; i++) {
        if (waitpid(s->pid, nullptr, WNOHANG) == s->pid) {
            s->pid = 0;
            return;
        }
        usleep(10000);
    }
    (void)kill(-s->pid, SIGKILL);
    (void)waitpid(s->pid, nullptr, 0);
    s->pid = 0;
}

static void load_conf(void)
{
    FILE *f = fopen(PM_CONF, "re");
    if (!f)
        return;
    char line[1200];
    while (nsvc < PM_MAX && fgets(line, sizeof line, f)) {
        line[strcspn(line, "\n")] = '\0';
        char *p = line + strspn(line, " \t");
        if (*p == '#' || *p == '\0')
            continue;
        size_t nl = strcspn(p, " \t");
        if (p[nl] == '\0')
            continue;
        struct pm_service_t *s = &svc[nsvc++];
        memset(s, 0, sizeof *s);
        snprintf(s->name, sizeof s->name, "%.*s", (int)nl, p);
        snprintf(s->cmd, sizeof s->cmd, "%s", p + nl + strspn(p + nl, " \t"));
    }
    fclose(f);
}

/* Answers one request; returns 1 when the PM is to end. */
static int answer(int c)
{
    char req[256];
    ssize_t n = read(c, req, sizeof req - 1);
    if (n <= 0)
        return 0;
    req[n] = '\0';
    req[strcspn(req, "\n")] = '\0';
    char out[8192];
    size_t len = 0;
    int quit = 0;
    if (strcmp(req, "status") == 0) {
        for (int i = 0; i < nsvc; i++)
            len += snprintf(out + len, sizeof out - len, "%s %s %d\n", svc[i].name,
                            svc[i].pid > 0 ? "running" : "stopped", (int)svc[i].pid);
        snprintf(out + len, sizeof out - len, "end\n");
    } else if (strcmp(req, "stop") == 0) {
        for (int i = 0; i < nsvc; i++)
            svc_stop(&svc[i]);
        snprintf(out, sizeof out, "ok\n");
        quit = 1;
    } else if (strncmp(req, "stop ", 5) == 0) {
        int i = 0;
        while (i < nsvc && strcmp(svc[i].name, req + 5) != 0)
            i++;
        if (i == nsvc) {
            snprintf(out, sizeof out, "error no service %s\n", req + 5);
        } else {
            svc_stop(&svc[i]);
            snprintf(out, sizeof out, "ok\n");
        }
    } else {
        snprintf(out, sizeof out, "error unknown request\n");
    }
    (void)sim_write_full(c, out, strlen(out));
    return quit;
}

static int pm_daemon(void)
{
    char reply[64];
    if (sim_line_request(PM_SOCK, "status", reply, sizeof reply, 1000) >= 0) {
        fprintf(stderr, "pm: already running\n");
        return 1;
    }
    int lfd = sim_unix_listen(PM_SOCK);
    if (lfd < 0) {
        fprintf(stderr, "pm: listen on %s: %s\n", PM_SOCK, strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    load_conf();
    if (access("/pm_nostart", F_OK) == 0) {
        printf("pm: /pm_nostart present, starting nothing\n");
        for (int i = 0; i < nsvc; i++)
            svc[i].stopped = 1;
    }
    for (int i = 0; i < nsvc; i++)
        if (!svc[i].stopped)
            svc_start(&svc[i]);
    for (;;) {
        struct pollfd p = {lfd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                int quit = answer(c);
                close(c);
                if (quit) {
                    (void)unlink(PM_SOCK);
                    return 0;
                }
            }
        }
        int st;
        pid_t pid;
        while ((pid = waitpid(-1, &st, WNOHANG)) > 0)
            for (int i = 0; i < nsvc; i++)
                if (svc[i].pid == pid) {
                    printf("pm: %s ended (status %d)\n", svc[i].name, st);
                    fflush(stdout);
                    svc[i].pid = 0;
                    svc[i].restart = sim_now_ms() + 1000;
                }
        for (int i = 0; i < nsvc; i++)
            if (!svc[i].stopped && svc[i].pid == 0 && sim_now_ms() >= svc[i].restart)
                svc_start(&svc[i]);
    }
}

static int pm_request(const char *req)
{
    char reply[8192];
    int rc = sim_line_request(PM_SOCK, req, reply, sizeof reply, 30000);
    if (rc < 0) {
        fprintf(stderr, "pm: not running\n");
        return 1;
    }
    if (rc > 0 || strcmp(req, "status") == 0)
        fputs(reply, rc > 0 ? stderr : stdout);
    return rc;
}

static int pm_stopall(void)
{
    const char *d = getenv("OSK_SIM_RUN_DIR");
    const char *run = (d && *d) ? d : SIM_NODE_RUN_DIR;
    for (int n = 0; n < 8; n++) {
        char host[16], sock[512];
        snprintf(host, sizeof host, "node%d", n);
        (void)sim_agent_path(run, host, sock, sizeof sock);
        if (access(sock, F_OK) == 0)
            (void)sim_agent_exec(run, host, "/opt/osk/bin/pm --stop", -1, 1, 2);
    }
    return 0;
}

int pm_main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--boot") == 0)
        return pm_daemon();
    if (argc == 2 && strcmp(argv[1], "--status") == 0)
        return pm_request("status");
    if (argc == 2 && strcmp(argv[1], "--stop") == 0)
        return pm_request("stop");
    if (argc == 3 && strcmp(argv[1], "--stop") == 0) {
        char req[128];
        snprintf(req, sizeof req, "stop %s", argv[2]);
        return pm_request(req);
    }
    if (argc == 2 && strcmp(argv[1], "--stopall") == 0)
        return pm_stopall();
    fprintf(stderr, "usage: pm --boot | --status | --stop [NAME] | --stopall\n");
    return 2;
}
