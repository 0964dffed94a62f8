#include "agent.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "sim_fork.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "osk_banned.h"

void agent_login_env(void)
{
    clearenv();
    setenv("PATH", NODE_PATH, 1);
    setenv("HOME", "/root", 1);
    setenv("USER", "root", 1);
    setenv("LOGNAME", "root", 1);
    setenv("SHELL", "/bin/sh", 1);
}

static void send_status(int sock, int status)
{
    uint32_t st = htonl((uint32_t)status);
    (void)sim_frame_send(sock, SIM_FR_EXIT, &st, 4);
}

static void send_error(int sock, const char *fmt, const char *arg)
{
    char msg[1024];
    int n = snprintf(msg, sizeof msg, fmt, arg, strerror(errno));
    if (n > (int)sizeof msg - 1)
        n = sizeof msg - 1;
    (void)sim_frame_send(sock, SIM_FR_STDERR, msg, n);
}

static pid_t start_shell(const char *cmd, int tty, int *in_w, int *out_r, int *err_r)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0)
        return -1;
    /* With a terminal the command's input is its slave side; the master
     * stays open here, unread, for as long as the command runs. */
    int master = -1, slave = -1;
    if (tty && openpty(&master, &slave, nullptr, nullptr, nullptr) < 0)
        return -1;
    pid_t pid;
    int r = sim_fork(FORK_NEW_SESSION | FORK_RESET_SIGNALS, nullptr, 0, &pid);
    if (r < 0)
        return -1;
    if (r == 0) {
        if (tty && (ioctl(slave, TIOCSCTTY, 0) < 0 || dup2(slave, in[0]) < 0))
            _exit(127);
        if (dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
            _exit(127);
        (void)close_range(3, ~0U, 0);
        if (chdir("/") < 0)
            _exit(127);
        agent_login_env();
        execl("/bin/sh", "sh", "-c", cmd, (char *)nullptr);
        dprintf(2, "sh: %s\n", strerror(errno));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (tty) {
        close(slave);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        close(in[1]);
        in[1] = master; /* the terminal's input: nothing is ever typed */
    }
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    *in_w = in[1];
    *out_r = out[0];
    *err_r = err[0];
    return pid;
}

/* Moves bytes between the session and the command until both of its output
 * pipes are closed, then reports its status. Standard input is buffered
 * without bound so a command that never reads it cannot stall its output. */
static int serve_exec(int sock, const char *cmd, int tty)
{
    int in_w, out_r, err_r;
    pid_t pid = start_shell(cmd, tty, &in_w, &out_r, &err_r);
    if (pid < 0) {
        send_error(sock, "%s: %s\n", "rsh");
        return 1;
    }
    std::string pending;
    int in_eof = 0, sock_open = 1;
    static char buf[SIM_FRAME_MAX];
    while (out_r >= 0 || err_r >= 0) {
        struct pollfd p[4] = {{out_r, POLLIN, 0},
                              {err_r, POLLIN, 0},
                              {sock_open ? sock : -1, POLLIN, 0},
                              {(in_w >= 0 && !pending.empty()) ? in_w : -1, POLLOUT, 0}};
        if (poll(p, 4, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            int *fd = i == 0 ? &out_r : &err_r;
            if (*fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(*fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                close(*fd);
                *fd = -1;
            } else if (sock_open &&
                       sim_frame_send(sock, i == 0 ? SIM_FR_STDOUT : SIM_FR_STDERR, buf, n) < 0) {
                sock_open = 0;
            }
        }
        if (sock_open && (p[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            int type;
            size_t len;
            if (sim_frame_recv(sock, &type, buf, sizeof buf, &len) != 1 || type != SIM_FR_STDIN) {
                /* The caller is gone: hang up on the command as a closed
                 * login would. */
                sock_open = 0;
                (void)kill(-pid, SIGHUP);
            } else if (len == 0) {
                in_eof = 1;
            } else {
                pending.append(buf, len);
            }
        }
        if (in_w >= 0 && !pending.empty() && (p[3].revents & (POLLOUT | POLLERR))) {
            ssize_t n = write(in_w, pending.data(), pending.size());
            if (n > 0)
                pending.erase(0, n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                pending.clear(), in_eof = 1;
        }
        /* Closing a terminal's master hangs its command up: keep it open. */
        if (in_w >= 0 && in_eof && pending.empty() && !tty) {
            close(in_w);
            in_w = -1;
        }
    }
    if (in_w >= 0)
        close(in_w);
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR)
        ;
    if (WIFSIGNALED(st))
        return 128 + WTERMSIG(st);
    return WEXITSTATUS(st);
}

[[noreturn]] static void handle(int sock)
{
    signal(SIGCHLD, SIG_DFL);
    (void)sim_frame_send(sock, SIM_FR_HELLO, "", 0);
    static char req[SIM_FRAME_MAX + 1];
    int type;
    size_t len;
    if (sim_frame_recv(sock, &type, req, SIM_FRAME_MAX, &len) != 1)
        _exit(0);
    req[len] = '\0';
    int st;
    if (type == SIM_FR_EXEC || type == SIM_FR_EXEC_TTY) {
        st = serve_exec(sock, req, type == SIM_FR_EXEC_TTY);
    } else {
        errno = EPERM;
        send_error(sock, "%s: %s\n", "rshd");
        st = 1;
    }
    send_status(sock, st);
    _exit(0);
}

static volatile sig_atomic_t g_stop;

static void on_term(int)
{
    g_stop = 1;
}

void agent_serve(int lfd)
{
    /* Handlers are never waited for: let the kernel reap them. */
    signal(SIGCHLD, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    /* SIGTERM is let in only while waiting for a caller, so it can never
     * slip in between the check and the wait. */
    struct sigaction sa = {};
    sa.sa_handler = on_term;
    sigaction(SIGTERM, &sa, nullptr);
    sigset_t term, waiting;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigprocmask(SIG_BLOCK, &term, &waiting);
    sigdelset(&waiting, SIGTERM);
    /* Another caller may take a connection between poll and accept. */
    fcntl(lfd, F_SETFL, fcntl(lfd, F_GETFL) | O_NONBLOCK);
    for (;;) {
        struct pollfd p = {lfd, POLLIN, 0};
        if (ppoll(&p, 1, nullptr, &waiting) < 0 && g_stop) {
            close(lfd);
            /* With SIGCHLD ignored, wait returns only once every session
             * handler has ended. */
            while (wait(nullptr) >= 0 || errno == EINTR)
                ;
            _exit(0);
        }
        int c = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN)
                usleep(10000);
            continue;
        }
        pid_t pid;
        int r = sim_fork(0, nullptr, 0, &pid);
        if (r == 0) {
            close(lfd);
            handle(c);
        }
        close(c);
    }
}
