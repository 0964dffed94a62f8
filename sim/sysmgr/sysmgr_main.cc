/*
 * osk-sysmgr: the system manager stand-in, a service of every node's
 * process manager. The copy on the master node serves "OSKMCAL"; the others
 * wait until their node becomes master, so the manager follows the master
 * when it reboots. Files and answers: sim/README.md.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
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

static sysmgr_conf_t g_conf;
static sysmgr_ctx_t g_ctx;

static cluster_t online_now(void)
{
    return cluster_nodes_alive();
}

static void reboot_node(int n)
{
    char req[32], reply[256];
    snprintf(req, sizeof req, "reboot %d shutdown", n);
    if (sim_line_request(SM_RUN "/super.sock", req, reply, sizeof reply, 10000) != 0)
        printf("osk-sysmgr: reboot of node %d not accepted: %s", n, reply);
    fflush(stdout);
}

static void serve(bripc_msg_t *msg, void *data, void **, void *, uint32_t)
{
    sysmgr_reply_t r;
    sysmgr_handle(&g_ctx, msg->msg_ver, data, (size_t)msg->msg_size64 * BRIPC_UNIT, &r);
    if (r.refused) {
        (void)bripc_reply(msg->msg_id, r.reason, nullptr, 0);
    } else {
        bripc_buff_t b = {r.rec, (int)(r.len / BRIPC_UNIT)};
        (void)bripc_reply(msg->msg_id, r.reason, &b, 1);
    }
    /* After the reply: the node may be this one, and its reboot ends us. */
    if (r.reboot_node >= 0)
        reboot_node(r.reboot_node);
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
    cluster_block_until_be_master();
    if (sysmgr_conf_load(conf, OSK_MAX_NODES, &g_conf, err, sizeof err) < 0) {
        fprintf(stderr, "osk-sysmgr: %s\n", err);
        return 1;
    }
    g_ctx.conf = &g_conf;
    g_ctx.start_ms = sysmgr_now_ms();
    g_ctx.knobs = knobs;
    g_ctx.journal = journal;
    g_ctx.online = online_now;
    (void)sysmgr_listen_start(&g_ctx, run, reboot_node); /* the kernel IPC serves regardless */
    printf("osk-sysmgr: serving OSKMCAL on node %d (%d disks, %d exports)\n",
           (int)cluster_my_node_id(), g_conf.ndisks, g_conf.nexports);
    mcall_start_server("OSKMCAL", 0, 4, serve, nullptr);
}
