/*
 * The rest of a standard rolling upgrade. See move.h.
 */
#include "move.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "osk_banned.h"

enum { MV_NONE, MV_EXPEDITION, MV_REMAINING, MV_STOPPED, MV_DONE };

static struct move_ops_t g_ops;
static int g_phase = MV_NONE;
static unsigned g_exped;   /* the expedition's nodes */
static unsigned g_moved;   /* nodes that rejoined on their new root */
static int g_current = -1; /* the remaining node being restarted, or stopped at */
static char g_target[8];   /* the new root of each remaining node, once chosen */

void move_init(const struct move_ops_t *ops)
{
    g_ops = *ops;
}

static char other(char r)
{
    return r == 'A' ? 'B' : 'A';
}

/* The inventory's exports that leave through node n ("PORT=n:s:p"). */
static int exports_of(const char *path, int n)
{
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return -1;
    char line[8192], port[16];
    int count = 0;
    snprintf(port, sizeof port, " PORT=%d:", n);
    while (fgets(line, sizeof line, f))
        count += strncmp(line, "EXPORT ", 7) == 0 && strstr(line, port) != nullptr;
    fclose(f);
    return count;
}

/* Restarts the next remaining node, or finds the move done. */
static void next_node(void)
{
    for (int n = 0; n < g_ops.nnodes; n++) {
        unsigned bit = 1u << n;
        if ((g_exped | g_moved) & bit)
            continue;
        g_current = n;
        if (g_ops.is_dead(n)) {
            g_phase = MV_STOPPED;
            g_ops.log("rolling upgrade: node %d is down; the move waits for its reboot", n);
            return;
        }
        g_phase = MV_REMAINING;
        g_target[n] = other(g_ops.root(n));
        g_ops.log("rolling upgrade: node %d restarts into its new root %c", n, g_target[n]);
        g_ops.restart_into(n, g_target[n]);
        return;
    }
    g_current = -1;
    g_phase = MV_DONE;
    g_ops.log("rolling upgrade: done, every node runs its new root");
}

void move_node_booting(const char *dir, int n, char r)
{
    char inv[PATH_MAX];
    snprintf(inv, sizeof inv, "%s/node%d/%c/upper/present_vluns", dir, n, r);
    if (access(inv, F_OK) != 0)
        return;
    int count = exports_of(inv, n);
    (void)unlink(inv);
    g_ops.log("node %d: presents the %d exports of its inventory at once", n, count);
    if (g_phase == MV_NONE || g_phase == MV_DONE) {
        unsigned exped = g_ops.expedition();
        if (!(exped & (1u << n)))
            return; /* an inventory without an upgrade: nothing to move */
        g_phase = MV_EXPEDITION;
        g_exped = exped;
        g_moved = 0;
        g_current = -1;
        memset(g_target, 0, sizeof g_target);
        g_ops.log("rolling upgrade: expedition 0x%x restarting", exped);
    }
    if (g_phase == MV_EXPEDITION && (g_exped & (1u << n)))
        g_moved |= 1u << n;
}

void move_node_up(int n)
{
    unsigned bit = 1u << n;
    switch (g_phase) {
    case MV_EXPEDITION: {
        bool back = (g_moved & g_exped) == g_exped;
        for (int e = 0; back && e < g_ops.nnodes; e++)
            back = !(g_exped & (1u << e)) || g_ops.is_up(e);
        if (!back && g_ops.expedition() == 0) {
            /* Aborted, or every node restarted some other way. */
            g_phase = MV_NONE;
            g_ops.log("rolling upgrade: ended before its expedition rejoined");
        }
        if (!back)
            return;
        g_ops.log("rolling upgrade: the expedition rejoined; the remaining nodes follow");
        next_node();
        return;
    }
    case MV_REMAINING:
    case MV_STOPPED:
        if (n != g_current)
            return;
        if (g_ops.root(n) == g_target[n]) {
            g_moved |= bit;
            g_ops.log("rolling upgrade: node %d rejoined on its new root %c", n, g_target[n]);
            next_node();
        } else if (g_phase == MV_STOPPED) {
            /* Down before its turn, it came back on its old root. */
            g_phase = MV_REMAINING;
            g_target[n] = other(g_ops.root(n));
            g_ops.log("rolling upgrade: node %d is back; it restarts into its new root %c", n,
                      g_target[n]);
            g_ops.restart_into(n, g_target[n]);
        } else {
            g_phase = MV_STOPPED;
            g_ops.log("rolling upgrade: node %d rejoined on root %c, not its new root %c", n,
                      g_ops.root(n), g_target[n]);
        }
        return;
    default:
        return;
    }
}

void move_node_died(int n)
{
    if (g_phase != MV_REMAINING || n != g_current)
        return;
    g_phase = MV_STOPPED;
    g_ops.log("rolling upgrade: node %d did not come back; the move waits for its reboot", n);
}

void move_describe(char *buf, size_t size)
{
    switch (g_phase) {
    case MV_EXPEDITION:
        snprintf(buf, size, "rolling upgrade: expedition 0x%x restarting", g_exped);
        break;
    case MV_REMAINING:
        snprintf(buf, size, "rolling upgrade: remaining nodes restarting, node %d", g_current);
        break;
    case MV_STOPPED:
        snprintf(buf, size,
                 "rolling upgrade: stopped at node %d, which did not come back "
                 "(osk-cluster reboot %d lets it go on)",
                 g_current, g_current);
        break;
    case MV_DONE:
        snprintf(buf, size, "rolling upgrade: done");
        break;
    default:
        snprintf(buf, size, "rolling upgrade: none");
        break;
    }
}
