#include "remote_shell.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "base.h"
#include "sim_net.h"
#include "sim_util.h"
#include "osk_banned.h"

static int g_ssh;

int remote_shell_up_option(int argc, char **argv, int *i)
{
    if (strcmp(argv[*i], "--remote-shell") != 0)
        return 0;
    const char *v = *i + 1 < argc ? argv[++*i] : nullptr;
    if (!v || (strcmp(v, "rsh") != 0 && strcmp(v, "ssh") != 0)) {
        fprintf(stderr, "osk-cluster: --remote-shell takes rsh or ssh%s%s%s\n", v ? ", not '" : "",
                v ? v : "", v ? "'" : "");
        return -1;
    }
    g_ssh = strcmp(v, "ssh") == 0;
    return 1;
}

/* The public half of the key pair in FILE, without its line end. */
static std::string public_key(const std::string &file)
{
    char text[1024];
    if (sim_read_file(file.c_str(), text, sizeof text) < 1)
        return "";
    text[strcspn(text, "\n")] = '\0';
    return text;
}

int remote_shell_prepare(const char *dir, int nnodes)
{
    if (!g_ssh)
        return 0;
    std::string keys = std::string(dir) + "/" SIM_NET_SSH_DIR;
    std::string run = std::string(dir) + "/run/" SIM_NET_SHELL_FILE;
    if (sim_mkdir_p(keys.c_str(), 0700) < 0 || sim_write_file(run.c_str(), "ssh\n", 0644) < 0) {
        fprintf(stderr, "osk-cluster: cannot prepare %s: %s\n", keys.c_str(), strerror(errno));
        return -1;
    }
    std::vector<int> hosts;
    for (int n = 0; n < nnodes; n++)
        hosts.push_back(n);
    hosts.push_back(SIM_NET_PKGHOST);

    /* Ed25519: made in a few milliseconds, and the nodes' ssh takes it. */
    std::string script = "set -e\n";
    for (int h : hosts)
        script += "ssh-keygen -q -t ed25519 -N '' -C root@" + sim_net_name(h) + " -f /mnt/host-" +
                  sim_net_name(h) + "\n";
    script += "ssh-keygen -q -t ed25519 -N '' -C root@cluster -f /mnt/root\n";
    std::string out;
    if (base_system_run(std::string(dir) + "/base/system", keys, {"/bin/sh", "-c", script}, &out) !=
        0) {
        fprintf(stderr, "osk-cluster: cannot make the cluster's ssh keys: %s\n", out.c_str());
        return -1;
    }

    std::string known, root = public_key(keys + "/root.pub");
    for (int h : hosts) {
        std::string key = public_key(keys + "/host-" + sim_net_name(h) + ".pub");
        /* Without the comment: the line names the host already. */
        key = key.substr(0, key.rfind(' '));
        known += sim_net_name(h) + "," + sim_net_addr(h) + " " + key + "\n";
    }
    if (root.empty() || sim_write_file((keys + "/known_hosts").c_str(), known.c_str(), 0644) < 0 ||
        sim_write_file((keys + "/authorized_keys").c_str(), (root + "\n").c_str(), 0600) < 0) {
        fprintf(stderr, "osk-cluster: cannot write the cluster's ssh keys in %s\n", keys.c_str());
        return -1;
    }
    return 0;
}
