#include "network.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "sim_fork.h"
#include "sim_net.h"
#include "sim_util.h"
#include "osk_banned.h"

static std::string partition_file(const char *dir)
{
    return std::string(dir) + "/run/faults/partition";
}

pid_t net_init(const char *dir, int host)
{
    std::string p = std::string(dir) + "/" +
                    (host == NET_HUB           ? "hub.pid"
                     : host == SIM_NET_PKGHOST ? "pkghost.pid"
                                               : "node" + std::to_string(host) + "/pid");
    return sim_pidfile_read(p.c_str(), "osk-node");
}

static std::vector<int> partitioned(const char *dir)
{
    std::vector<int> cut;
    char t[128];
    if (sim_read_file(partition_file(dir).c_str(), t, sizeof t) > 0) {
        std::istringstream in(t);
        for (int h; in >> h;)
            cut.push_back(h);
    }
    return cut;
}

static pid_t hub_or_fail(const char *dir, std::string *err)
{
    pid_t hub = net_init(dir, NET_HUB);
    if (!hub)
        *err = "the cluster's hub network is not running";
    return hub;
}

int net_plug(const char *dir, int host, pid_t init, std::string *err)
{
    pid_t hub = hub_or_fail(dir, err);
    if (!hub)
        return -1;
    std::vector<int> cut = partitioned(dir);
    bool is_cut = std::find(cut.begin(), cut.end(), host) != cut.end();
    std::string port = sim_net_port(host);
    std::string plug = "link add " + port + " type veth peer name eth0 address " +
                       sim_net_mac(host) + " netns " + std::to_string(init) + "\nlink set " + port +
                       " master " + (is_cut ? SIM_NET_BRIDGE_CUT : SIM_NET_BRIDGE) + " up\n";
    if (sim_net_run("ip", hub, plug, 0, err) == 0)
        return 0;
    /* The cable of the host's last boot goes with its namespace, but not
     * always at once. */
    (void)sim_net_run("ip", hub, "link del " + port + "\n", 0, nullptr);
    return sim_net_run("ip", hub, plug, 0, err);
}

/* Runs BATCH (forced: every line is tried) in every running host but
 * SKIP. */
static void in_every_host(const char *dir, int skip, const std::string &batch)
{
    for (int h = 0; h < SIM_NET_HOSTS; h++) {
        pid_t init = h == skip ? 0 : net_init(dir, h);
        if (init)
            (void)sim_net_run("ip", init, batch, 1, nullptr);
    }
}

void net_forget(const char *dir, int host)
{
    /* The cable first, and before the host can boot again (so never the
     * cable of its next boot): a namespace whose last process ended may
     * still answer address resolution until the kernel has torn it down,
     * and an answer then would put the entries back. Deleting the hub's
     * end takes the host's end with it at once. */
    if (pid_t hub = net_init(dir, NET_HUB))
        (void)sim_net_run("ip", hub, "link del " + sim_net_port(host) + "\n", 1, nullptr);
    /* Then the caches, in a child of its own: nobody waits for them to
     * be emptied, and the supervisor has boots to see to meanwhile. */
    pid_t pid;
    if (sim_fork(FORK_NULL_STDIN, nullptr, 0, &pid) == 0) {
        in_every_host(dir, host, "neigh del " + sim_net_addr(host) + " dev eth0\n");
        _exit(0);
    }
}

/* The same queueing discipline (or none, for an empty QDISC) on both ends
 * of HOST's cable. */
static int both_ends(const char *dir, int host, const std::string &qdisc, std::string *err)
{
    pid_t hub = hub_or_fail(dir, err), init = net_init(dir, host);
    if (!hub)
        return -1;
    if (!init) {
        *err = sim_net_name(host) + " is not running";
        return -1;
    }
    if (qdisc.empty()) {
        (void)sim_net_run("tc", hub, "qdisc del dev " + sim_net_port(host) + " root\n", 1, nullptr);
        (void)sim_net_run("tc", init, "qdisc del dev eth0 root\n", 1, nullptr);
        return 0;
    }
    if (sim_net_run("tc", hub, "qdisc replace dev " + sim_net_port(host) + " root " + qdisc + "\n",
                    0, err) < 0 ||
        sim_net_run("tc", init, "qdisc replace dev eth0 root " + qdisc + "\n", 0, err) < 0)
        return -1;
    return 0;
}

/* The neighbour entries that keep a stalled HOST's connections waiting:
 * the others' entry for it, and its own for each of them. */
static void pin_neighbours(const char *dir, int host, bool undo)
{
    auto line = [undo](int h) {
        return undo ? "neigh del " + sim_net_addr(h) + " dev eth0\n"
                    : "neigh replace " + sim_net_addr(h) + " lladdr " + sim_net_mac(h) +
                          " dev eth0 nud permanent\n";
    };
    in_every_host(dir, host, line(host));
    std::string own;
    for (int h = 0; h < SIM_NET_HOSTS; h++)
        if (h != host)
            own += line(h);
    if (pid_t init = net_init(dir, host))
        (void)sim_net_run("ip", init, own, 1, nullptr);
}

int net_stall(const char *dir, int host, bool undo, std::string *err)
{
    if (undo) {
        (void)both_ends(dir, host, "", err);
        pin_neighbours(dir, host, true);
        return 0;
    }
    /* A failed address resolution would end a connection at once ("No
     * route to host") where a stalled one waits. */
    pin_neighbours(dir, host, false);
    return both_ends(dir, host, "blackhole", err);
}

int net_slow(const char *dir, int host, long rate, bool undo, std::string *err)
{
    if (undo)
        return both_ends(dir, host, "", err);
    /* A queue long enough that the link delays, never drops. */
    return both_ends(dir, host, "tbf rate " + std::to_string(rate) + "bit burst 32kb latency 30s",
                     err);
}

int net_partition(const char *dir, const std::vector<int> &cut, bool undo, std::string *err)
{
    pid_t hub = hub_or_fail(dir, err);
    if (!hub)
        return -1;
    std::string batch;
    if (undo) {
        for (int h = 0; h < SIM_NET_HOSTS; h++)
            batch += "link set " + sim_net_port(h) + " master " SIM_NET_BRIDGE "\n";
        batch += "link del " SIM_NET_BRIDGE_CUT "\n";
        (void)unlink(partition_file(dir).c_str());
        (void)sim_net_run("ip", hub, batch, 1, nullptr);
    } else {
        std::string list;
        for (int h : cut)
            list += std::to_string(h) + " ";
        if (sim_write_file(partition_file(dir).c_str(), (list + "\n").c_str(), 0644) < 0) {
            *err = partition_file(dir) + ": " + strerror(errno);
            return -1;
        }
        if (sim_net_run("ip", hub,
                        "link add " SIM_NET_BRIDGE_CUT " type bridge\nlink set " SIM_NET_BRIDGE_CUT
                        " up\n",
                        0, err) < 0)
            return -1;
        for (int h : cut)
            batch += "link set " + sim_net_port(h) + " master " SIM_NET_BRIDGE_CUT "\n";
        /* A host that is down joins its side when it boots (net_plug). */
        (void)sim_net_run("ip", hub, batch, 1, nullptr);
    }
    in_every_host(dir, -1, "neigh flush dev eth0\n");
    return 0;
}
