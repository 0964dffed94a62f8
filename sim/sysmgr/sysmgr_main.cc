/*
 * osk-sysmgr: the system manager stand-in, a service of every node's
 * process manager. The copy on the master node serves "OSKMCAL"; every
 * other copy registers as a backup of the name and waits to become primary,
 * so that when the serving node goes a standby takes over at once and the
 * name never goes missing. Files and answers: sim/README.md.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "bripc.h"
#include "cluster.h"
#include "osk_errcode.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "sysmgr.h"
#include "sysmgr_listen.h"
#include "osk_banned.h"

#define SM_RUN "/run/osk-sim"

#define SM_NAME "OSKMCAL"

static sysmgr_conf_t g_conf;
static sysmgr_ctx_t g_ctx;
static bripc_ph_t g_ph; /* the name's handle */
static int g_node = -1; /* this copy's node */

static cluster_t online_now(void)
{
    return cluster_nodes_alive();
}

/* Before this node goes down no further request is taken: requests sent
 * meanwhile wait in the kernel and go to the standby that takes over,
 * instead of being delivered here and failing with the node. */
static void step_down(int take_requests)
{
    (void)bripc_set_limit(g_ph, 0, take_requests ? 0 : -1);
}

/* Reboots are asked of the supervisor in the order their replies go out.
 * The caller's next request may shut down the node this copy runs on; were
 * it served by another thread and asked first, this node's end would cut
 * off the ask for the node before it, which would then never restart. So
 * a reply that asks for a reboot holds the next one until its own ask has
 * been taken. */
static pthread_mutex_t g_reboot_order = PTHREAD_MUTEX_INITIALIZER;

static void reboot_before_reply(int n)
{
    pthread_mutex_lock(&g_reboot_order);
    /* The caller's next request may follow the reply at once. */
    if (n == g_node)
        step_down(0);
}

static void reboot_after_reply(int n, bool replied)
{
    char req[32], reply[256];
    snprintf(req, sizeof req, "reboot %d shutdown", n);
    bool asked =
        replied && sim_line_request(SM_RUN "/super.sock", req, reply, sizeof reply, 10000) == 0;
    if (replied && !asked)
        printf("osk-sysmgr: reboot of node %d not accepted: %s", n, reply);
    /* This node stays: it takes requests again. */
    if (!asked && n == g_node)
        step_down(1);
    fflush(stdout);
    pthread_mutex_unlock(&g_reboot_order);
}

static const sysmgr_reboot_t g_reboot = {reboot_before_reply, reboot_after_reply};

static void serve(bripc_msg_t *msg, void *data, void **, void *, uint32_t)
{
    sysmgr_reply_t r;
    sysmgr_handle(&g_ctx, msg->msg_ver, data, (size_t)msg->msg_size64 * BRIPC_UNIT, &r);
    if (r.reboot_node >= 0)
        reboot_before_reply(r.reboot_node);
    int rc;
    if (r.refused) {
        rc = bripc_reply(msg->msg_id, r.reason, nullptr, 0);
    } else {
        bripc_buff_t b = {r.rec, (int)(r.len / BRIPC_UNIT)};
        rc = bripc_reply(msg->msg_id, r.reason, &b, 1);
    }
    /* After the reply: the node may be this one, and its reboot ends us. */
    if (r.reboot_node >= 0)
        reboot_after_reply(r.reboot_node, rc == 0);
    sysmgr_reply_free(&r);
}

int main(int argc, char **argv)
{
    const char *run = argc > 1 ? argv[1] : SM_RUN;
    char conf[512], off[512], knobs[512], journal[512], err[512];
    snprintf(conf, sizeof conf, "%s/sysmgr.conf", run);
    snprintf(off, sizeof off, "%s/sysmgr.off", run);
    snprintf(knobs, sizeof knobs, "%s/sysmgr.knobs", run);
    snprintf(journal, sizeof journal, "%s/sysmgr.journal", run);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    /* Waiting, not exiting: the process manager would only start us again. */
    while (access(off, F_OK) == 0)
        sleep(1);
    g_node = (int)cluster_my_node_id();
    /* The master's copy serves first; the others queue behind it as its
     * backups, in the order they find it serving. */
    const struct timespec poll = {0, 100 * 1000 * 1000};
    while ((int)cluster_master_node() != g_node && bripc_find_phandle(SM_NAME, &g_ph) != 0)
        nanosleep(&poll, nullptr);
    int rc = bripc_register_phandle(SM_NAME, &g_ph);
    if (rc == 0) {
        printf("osk-sysmgr: standing by for " SM_NAME " on node %d\n", g_node);
        (void)return_when_primary(SM_NAME, &g_ph, nullptr);
    } else if (rc != BRIPC_PRIMARY) {
        fprintf(stderr, "osk-sysmgr: cannot register " SM_NAME ": %d\n", rc);
        return 1;
    }
    if (sysmgr_conf_load(conf, OSK_MAX_NODES, &g_conf, err, sizeof err) < 0) {
        fprintf(stderr, "osk-sysmgr: %s\n", err);
        return 1;
    }
    g_ctx.conf = &g_conf;
    g_ctx.start_ms = sysmgr_now_ms();
    g_ctx.knobs = knobs;
    g_ctx.journal = journal;
    g_ctx.online = online_now;
    (void)sysmgr_listen_start(&g_ctx, run, &g_reboot); /* the kernel IPC serves regardless */
    printf("osk-sysmgr: serving " SM_NAME " on node %d (%d disks, %d exports)\n", g_node,
           g_conf.ndisks, g_conf.nexports);
    mcall_start_server(SM_NAME, 1, 4, serve, nullptr);
}
