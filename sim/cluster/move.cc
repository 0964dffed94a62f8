/*
 * The rest of a standard rolling upgrade. See move.h.
 */
#include "move.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "inventory.h"

#include "osk_banned.h"

enum { MV_NONE, MV_EXPEDITION, MV_REMAINING, MV_STOPPED, MV_DONE };

static struct move_ops_t g_ops;
static int g_phase = MV_NONE;
static unsigned g_exped;          /* the expedition's nodes */
static unsigned g_moved;          /* nodes that rejoined on their new root */
static int g_current = -1;        /* the remaining node being restarted, or stopped at */
static char g_target[8];          /* the new root of each remaining node, once chosen */
static presenting_t g_presenting; /* what the expedition nodes serve meanwhile */

void move_init(const struct move_ops_t *ops)
{
    g_ops = *ops;
}

static char other(char r)
{
    return r == 'A' ? 'B' : 'A';
}

/* The move is over: every node serves all its paths again. */
static void end_presenting(void)
{
    g_presenting = presenting_t();
    presenting_clear(g_ops.dir);
}

/* An expedition node booting its new root serves what its inventory lists
 * for it, nothing when the inventory cannot be taken. */
static void present(int n, const char *inv)
{
    std::string why;
    size_t before = g_presenting.paths.size();
    if (inventory_read(inv, n, &g_presenting.paths, &why) == 0)
        g_ops.log("node %d: presents the %zu exports of its inventory at once", n,
                  g_presenting.paths.size() - before);
    else
        g_ops.log("node %d: its inventory is %s; it presents no export", n, why.c_str());
    g_presenting.nodes |= 1u << n;
    if (presenting_write(g_ops.dir, g_presenting) < 0)
        g_ops.log("node %d: cannot record what it presents", n);
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
    end_presenting();
    g_ops.log("rolling upgrade: done, every node runs its new root");
}

void move_node_booting(int n, char was, char r)
{
    char inv[PATH_MAX];
    snprintf(inv, sizeof inv, "%s/node%d/%c/upper/present_vluns", g_ops.dir, n, r);
    bool held = access(inv, F_OK) == 0;
    unsigned bit = 1u << n;
    /* LILO switched its root, or the root was handed an inventory: this
     * may be an expedition's boot. */
    if (held || (was != 0 && r != was)) {
        if (g_phase == MV_NONE || g_phase == MV_DONE) {
            unsigned exped = g_ops.expedition();
            if (exped & bit) {
                g_phase = MV_EXPEDITION;
                g_exped = exped;
                g_moved = 0;
                g_current = -1;
                memset(g_target, 0, sizeof g_target);
                end_presenting();
                g_ops.log("rolling upgrade: expedition 0x%x restarting", exped);
            }
        }
        if (g_phase == MV_EXPEDITION && (g_exped & bit) && !(g_moved & bit)) {
            present(n, inv);
            g_moved |= bit;
        } else if (held) {
            g_ops.log("node %d: an inventory outside a rolling upgrade's expedition, removed", n);
        }
    }
    if (held)
        (void)unlink(inv);
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
            end_presenting();
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
