#include "sim_net.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim_fork.h"
#include "sim_util.h"
#include "osk_banned.h"

int sim_net_host(const char *name)
{
    if (strcmp(name, "pkghost") == 0)
        return SIM_NET_PKGHOST;
    if (strncmp(name, "node", 4) == 0)
        name += 4;
    if (name[0] >= '0' && name[0] <= '7' && name[1] == '\0')
        return name[0] - '0';
    return -1;
}

std::string sim_net_name(int host)
{
    return host == SIM_NET_PKGHOST ? "pkghost" : "node" + std::to_string(host);
}

std::string sim_net_addr(int host)
{
    return "10.77.0." + std::to_string(host == SIM_NET_PKGHOST ? 2 : 10 + host);
}

std::string sim_net_mac(int host)
{
    char m[32];
    snprintf(m, sizeof m, "02:00:0a:4d:00:%02x", host == SIM_NET_PKGHOST ? 2 : 10 + host);
    return m;
}

std::string sim_net_port(int host)
{
    return host == SIM_NET_PKGHOST ? "vpk" : "vn" + std::to_string(host);
}

std::string sim_net_hosts_file(void)
{
    std::string t = "127.0.0.1\tlocalhost\n";
    for (int h = 0; h < SIM_NET_HOSTS; h++)
        t += sim_net_addr(h) + "\t" + sim_net_name(h) + "\n";
    return t;
}

std::string sim_net_rhosts_file(void)
{
    std::string t;
    for (int h = 0; h < SIM_NET_HOSTS; h++)
        t += sim_net_name(h) + " root\n";
    return t;
}

std::string sim_net_inetd_conf(void)
{
    return "shell\tstream\ttcp\tnowait\troot\t/usr/sbin/in.rshd\tin.rshd\n";
}

int sim_net_ssh(const char *run)
{
    char p[PATH_MAX], text[16] = "";
    snprintf(p, sizeof p, "%s/" SIM_NET_SHELL_FILE, run);
    (void)sim_read_file(p, text, sizeof text);
    return strncmp(text, "ssh", 3) == 0;
}

int sim_net_shell_port(int ssh)
{
    return ssh ? SIM_NET_SSH_PORT : SIM_NET_RSH_PORT;
}

std::string sim_net_shell_restart(int ssh)
{
    if (!ssh)
        return "pgrep -x inetd >/dev/null || " SIM_NET_INETD;
    return "kill -0 $(cat " SIM_NET_SSHD_PIDFILE " 2>/dev/null) 2>/dev/null || "
           "{ mkdir -p /run/sshd && " SIM_NET_SSHD_PATH "; }";
}

std::string sim_net_sshd_conf(int whole)
{
    /* Root by key only; enough unauthenticated connections at once for a
     * fan-out to every node that each copy back from the same host. */
    return "HostKey /etc/ssh/ssh_host_ed25519_key\n"
           "PermitRootLogin prohibit-password\n"
           "PasswordAuthentication no\n"
           "KbdInteractiveAuthentication no\n"
           "PubkeyAuthentication yes\n"
           "UsePAM yes\n"
           "MaxStartups 100\n"
           "MaxSessions 64\n"
           "PidFile " SIM_NET_SSHD_PIDFILE "\n" +
           std::string(whole ? "Subsystem sftp /usr/lib/openssh/sftp-server\n" : "");
}

std::string sim_net_ssh_conf(void)
{
    /* Strict: a host whose key changed is refused. The keep-alive turns a
     * peer gone silent into a failed call instead of an endless wait. The
     * key exchange is X25519 alone: the default's added post-quantum half
     * costs every new connection some 70 ms of CPU here, and an update
     * opens one per peer on its way. */
    return "Host *\n"
           "    BatchMode yes\n"
           "    KexAlgorithms curve25519-sha256,curve25519-sha256@libssh.org\n"
           "    StrictHostKeyChecking yes\n"
           "    ConnectTimeout 10\n"
           "    ServerAliveInterval " +
           std::to_string(SIM_NET_SSH_ALIVE_INTERVAL) +
           "\n"
           "    ServerAliveCountMax " +
           std::to_string(SIM_NET_SSH_ALIVE_COUNT) + "\n";
}

std::string sim_net_root_ssh_conf(void)
{
    /* One connection per peer, kept a minute after its last call: a call
     * over it costs a few ms instead of a key exchange. The sockets live
     * in /run, so a boot starts without stale ones. */
    return "Host *\n"
           "    ControlMaster auto\n"
           "    ControlPath /run/ssh-mux-%C\n"
           "    ControlPersist 60\n";
}

static const char *tool_path(const char *prog)
{
    static char p[64];
    snprintf(p, sizeof p, "/usr/sbin/%s", prog);
    if (access(p, X_OK) != 0)
        snprintf(p, sizeof p, "/sbin/%s", prog);
    return p;
}

int sim_net_run(const char *prog, pid_t ns_pid, const std::string &batch, int force,
                std::string *err)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) < 0)
        return -1;
    if (pipe2(out, O_CLOEXEC) < 0) {
        close(in[0]);
        close(in[1]);
        return -1;
    }
    int ns = -1;
    if (ns_pid > 0) {
        char p[64];
        snprintf(p, sizeof p, "/proc/%d/ns/net", (int)ns_pid);
        if ((ns = open(p, O_RDONLY | O_CLOEXEC)) < 0) {
            if (err)
                *err = std::string(p) + ": " + strerror(errno);
            for (int fd : {in[0], in[1], out[0], out[1]})
                close(fd);
            return -1;
        }
    }
    pid_t pid;
    int r = sim_fork(FORK_RESET_SIGNALS, nullptr, 0, &pid);
    if (r == 0) {
        if ((ns >= 0 && setns(ns, CLONE_NEWNET) < 0) || dup2(in[0], 0) < 0 || dup2(out[1], 1) < 0 ||
            dup2(out[1], 2) < 0)
            _exit(127);
        const char *path = tool_path(prog);
        if (force)
            execl(path, prog, "-force", "-batch", "-", (char *)nullptr);
        else
            execl(path, prog, "-batch", "-", (char *)nullptr);
        dprintf(2, "%s: %s\n", path, strerror(errno));
        _exit(127);
    }
    if (ns >= 0)
        close(ns);
    close(in[0]);
    close(out[1]);
    /* A batch is a few short lines: it fits the pipe, so writing it all
     * before reading cannot block on the tool. */
    (void)sim_write_full(in[1], batch.data(), batch.size());
    close(in[1]);
    std::string said;
    char buf[1024];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            said.append(buf, n);
    close(out[0]);
    int st = 0;
    if (r < 0 || waitpid(pid, &st, 0) < 0)
        st = -1;
    if (err)
        *err = said;
    return st == 0 ? 0 : -1;
}

int sim_net_configure(int host, int timeout_ms)
{
    uint64_t deadline = sim_now_ms() + timeout_ms;
    while (if_nametoindex("eth0") == 0) {
        if (sim_now_ms() > deadline) {
            fprintf(stderr, "osk-node: no network cable (eth0) arrived\n");
            return -1;
        }
        usleep(5000);
    }
    std::string err;
    if (sim_net_run("ip", 0,
                    "link set lo up\naddr add " + sim_net_addr(host) +
                        "/24 dev eth0\nlink set eth0 up\n",
                    0, &err) < 0) {
        fprintf(stderr, "osk-node: configure eth0: %s", err.c_str());
        return -1;
    }
    return 0;
}

int sim_net_listening(pid_t pid, int port)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%s/net/tcp", pid > 0 ? std::to_string(pid).c_str() : "self");
    FILE *f = fopen(path, "re");
    if (!f)
        return 0;
    char line[512];
    int found = 0;
    unsigned lport, state;
    while (!found && fgets(line, sizeof line, f))
        found = sscanf(line, " %*d: %*x:%x %*x:%*x %x", &lport, &state) == 2 &&
                lport == (unsigned)port && state == 0x0A;
    fclose(f);
    return found;
}
