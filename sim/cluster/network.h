/*
 * The cluster's network as the supervisor and the faults handle it from
 * this machine: the hub that holds the bridges, each host's cable plugged
 * into it at every boot, and the faults that act on the wire itself.
 *
 * The hub (`osk-node hub`) and every host run in network namespaces of
 * their own, held by their processes only: when the supervisor ends, all of
 * it ends with them. DIR/hub.pid and DIR/pkghost.pid name the hub and the
 * package host's init, DIR/node<N>/pid a node's.
 */
#ifndef NETWORK_H
#define NETWORK_H

#include <sys/types.h>

#include <string>
#include <vector>

/* The running init of HOST (sim_net.h numbering), or of the hub for
 * NET_HUB; 0 when none runs. */
#define NET_HUB (-1)
pid_t net_init(const char *dir, int host);

/* Plugs HOST's cable in: a veth pair whose host end is "eth0" (with the
 * host's hardware address) in the network namespace of INIT and whose
 * other end is the host's port on the hub's bridge (the partition's bridge
 * when a partition holds the host). 0, or -1 with *err. */
int net_plug(const char *dir, int host, pid_t init, std::string *err);

/* Every other host drops HOST's hardware address from its neighbour cache,
 * as once the entry has aged: the supervisor does it when a node goes down
 * for longer than a reboot (it died, or a test holds it down), so that
 * reaching it fails within the address resolution's bound ("No route to
 * host") instead of after the cache's timers. */
void net_forget(const char *dir, int host);

/* The faults on the wire; each returns 0 or -1 with *err. */
/* Every packet to and from HOST is dropped (both ends of its cable) and
 * every other host keeps its hardware address, so a connection hangs
 * instead of failing; undo lets them through again. */
int net_stall(const char *dir, int host, bool undo, std::string *err);
/* HOST's cable is limited to RATE bits per second both ways. */
int net_slow(const char *dir, int host, long rate, bool undo, std::string *err);
/* The hosts CUT are moved to a bridge of their own (one partition at a
 * time); undo moves them back. Neighbour caches are emptied, as if they
 * had aged, so each side finds the other gone at once. */
int net_partition(const char *dir, const std::vector<int> &cut, bool undo, std::string *err);

#endif
