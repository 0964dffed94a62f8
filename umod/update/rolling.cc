/*
 * Restarting the nodes into the new release through the system manager:
 * the shutdown before a full restart, the standard rolling restart of the
 * expedition and the simple rolling restart of one node at a time.
 *
 * Every wait is a sleep-and-poll loop with a fixed period; a node's own
 * restart happens outside this process.
 */
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "rolling.h"
#include "driver_log.h"
#include "modes.h"
#include "versions.h"
#include "nodes.h"
#include "sysmgr_conn.h"
#include "vluns.h"
#include "ulog.h"
#include "cluster.h"
#include "mcall_client.h"
#include "osk_runtime.h"
#include "sc_ioctl.h"

#include "osk_banned.h"

#define NODE_RETRY_SECS 5
#define NODE_RETRY_TRIES 3
#define REJOIN_LIMIT_SECS 120
#define SIMPLE_PAUSE_SECS 15
#define TOC_PRESERVED_CHECK 26 /* below this a downgrade needs no preserved data */
#define SYSMGR_ERTXT_LEN 256
#define SYSMGR_INITIALIZING "System manager is still initializing"
#define DPKG_INFO_LEN 32768

int mcall_shutdown(int node, int toc_version, char *err_txt, int len)
{
    char line[256];
    int used = snprintf(line, sizeof(line), "Requesting %s shutdown.",
                        node == NODEDOWN_ALL ? "system" : "node");
    if (node != NODEDOWN_ALL && used < (int)sizeof(line))
        used += snprintf(line + used, sizeof(line) - used, " Node: %d", node);
    if (toc_version != 0 && used < (int)sizeof(line))
        (void)snprintf(line + used, sizeof(line) - used, " TOC Version set to: %d", toc_version);
    ulog_message("%s", line);

    nodedown_t *nd = (nodedown_t *)mcall_alloc(MC_NODESHUTDOWN, sizeof(nodedown_t));
    nd->ndid = (uint32_t)node;
    nd->force = 1;
    nd->type = 2;
    nd->is_update = 1;
    if (toc_version != 0)
        nd->toc_ver = (uint32_t)toc_version;
    int status = oskcall((mcall_t **)&nd);
    if (status != 0 && len > 0)
        snprintf(err_txt, (size_t)len, "%s", nd->nd_hdr.mc_ertxt);
    mcall_free((mcall_t *)nd);
    return status;
}

void display_sysmgr_failure(const char *mc_ertxt, int status, int from_cli_run)
{
    if (strstr(mc_ertxt, SYSMGR_INITIALIZING))
        ulog_message("The system manager refused to shut down the system due to it not having "
                     "fully\nstarted.  Verify this with 'showsysmgr', then re-run update with\nthe "
                     "%s option.",
                     from_cli_run ? "-nosysmgr" : "--nosysmgr");
    else
        ulog_message("There was an error in trying to get the system manager to reboot the "
                     "system.\nStatus: 0x%02x\n%s\n",
                     status, mc_ertxt);
}

/* A downgrade to an interface that predates preserved data must not lose
 * any: 0 when none is held, else the status to stop with. */
static int check_preserved_data(void)
{
    pshow_t *ps = (pshow_t *)mcall_alloc(MCLD_PSHOW, PSHOW_REQ_SIZE);
    int status = oskcall((mcall_t **)&ps);
    int result = 0;
    if (status != 0 && status != TE_INVALID) {
        display_sysmgr_failure(ps->pshow_hdr.mc_ertxt, status, from_cli);
        result = status;
    } else if (status == 0 && ps->pshow_ld_count != 0) {
        ulog_message("The system currently has preserved data.\nThis must be resolved before "
                     "the\ndowngrade can be performed.");
        result = 1;
    }
    mcall_free((mcall_t *)ps);
    return result;
}

int mangler_shutdown(int toc_version)
{
    if (!rebootpermitted || !mangler_isup || is_rolling || simple_rolling)
        return 0;
    if (toc_version < TOC_PRESERVED_CHECK) {
        int status = check_preserved_data();
        if (status != 0)
            return status;
    }

    static char info[DPKG_INFO_LEN];
    get_dpkg_info("osk-sysmgr", 0, 1, info, sizeof(info));
    int current = parse_toc_version(info);

    ulog_message("Shutting down sysmgr.");
    (void)ulog_execl("/sbin/umount", "-a", "-t", "nfs", nullptr);
    if (current == toc_version || toc_version == 0)
        ulog_message("System manager is told to prepare for shutdown.");
    else
        ulog_message("System manager toc conversion requested from current version %d to "
                     "version %d",
                     current, toc_version);

    char err[SYSMGR_ERTXT_LEN];
    int status = mcall_shutdown(NODEDOWN_ALL, toc_version, err, sizeof(err));
    if (status != 0)
        display_sysmgr_failure(err, status, from_cli);
    ulog_message("Finished shutting down sysmgr.");
    return status;
}

void setup_rolling_upgrade(void)
{
    if (!is_rolling) {
        (void)unlink("/altroot/present_vluns");
        return;
    }
    if (local)
        return;
    prepare_vlun_info();
    OSK_ASSERT(expeditionmask != node_mask::all());
    /* Its result is not looked at: a cluster that did not take the start
     * restarts the expedition all the same. */
    (void)cluster_start_upgrade((cluster_t)expeditionmask.bits());
}

/* One MC_PREP_UPDATE; 0, or its status with the text in err. */
static int prep_update(char *err, size_t len)
{
    mcall_t *mc = mcall_alloc(MC_PREP_UPDATE, sizeof(mcall_t));
    int status = oskcall(&mc);
    if (status != 0)
        snprintf(err, len, "%s", mc->mc_ertxt);
    mcall_free(mc);
    return status;
}

static void reboot_expedition_node(int node)
{
    char err[SYSMGR_ERTXT_LEN];
    ulog_message("Requesting reboot of node %d", node);
    if (mcall_shutdown(node, 0, err, sizeof(err)) != 0)
        ulog_message("Rolling upgrade failed to reboot node %d due to the following:\n%s\n", node,
                     err);
}

void mangler_reboot_expedition(void)
{
    if (!rebootpermitted)
        return;
    ulog_message("Starting to reboot expedition");
    char err[SYSMGR_ERTXT_LEN];
    if (prep_update(err, sizeof(err)) != 0) {
        ulog_message("Rolling upgrade failed to inform sysmgr to prepare for a rolling upgrade "
                     "due\nto the following:\n%s\n",
                     err);
        update_fail(UPD_EXIT_FAILURE);
    }
    /* This node goes last: its own shutdown ends this run. */
    for (int n = 0; n < OSK_MAX_NODES; n++)
        if (expeditionmask.has(n) && n != thisnode)
            reboot_expedition_node(n);
    if (expeditionmask.has(thisnode))
        reboot_expedition_node(thisnode);
}

void generate_simple_reboot_order(int list[OSK_MAX_NODES])
{
    for (int i = 0; i < OSK_MAX_NODES; i++)
        list[i] = -1;
    int pos = nodes.count() - 1;
    int first[2] = {thisnode, thisnode ^ 1};
    for (int parity = 0; parity < 2; parity++)
        for (int step = 0; step < OSK_MAX_NODES; step += 2) {
            int n = (first[parity] + step) % OSK_MAX_NODES;
            if (nodes.has(n) && pos >= 0)
                list[pos--] = n;
        }
}

static void srrn_svl_setup(showvlun_t **svl, int node)
{
    *svl = (showvlun_t *)mcall_alloc(MCVL_SHOW, sizeof(showvlun_t));
    (*svl)->showvlun_lun = (uint32_t)-5;
    (*svl)->showvlun_nmap = (uint8_t)node_mask::of(node).bits();
    (*svl)->showvlun_smap = 255;
    (*svl)->showvlun_pmap = 255;
    (*svl)->showvlun_active = 1;
}

static void srrn_spd_setup(pdscmd_t **spd, int node)
{
    *spd = pdshow_alloc((uint8_t)node_mask::of(node).bits());
}

/* Active exports through node; 0 and the count, or the failed status. */
static int count_vluns(int node, int *count)
{
    showvlun_t *svl;
    srrn_svl_setup(&svl, node);
    int status = oskcall((mcall_t **)&svl);
    if (status == 0)
        *count = (int)svl->showvlun_count;
    mcall_free((mcall_t *)svl);
    return status;
}

/* Physical disks seen through node; as count_vluns. */
static int count_pds(int node, int *count)
{
    pdscmd_t *spd;
    srrn_spd_setup(&spd, node);
    int status = oskcall((mcall_t **)&spd);
    if (status == 0)
        *count = (int)spd->pscmd_count;
    mcall_free((mcall_t *)spd);
    return status;
}

/* The count before the restart: a manager that cannot answer three times
 * running leaves it at 0, so the node is done as soon as it is back. */
static int count_before(int node, int (*query)(int, int *))
{
    int count = 0;
    for (int attempt = 0; attempt < NODE_RETRY_TRIES; attempt++) {
        if (query(node, &count) == 0)
            return count;
        sleep(NODE_RETRY_SECS);
    }
    return 0;
}

void simple_rolling_reboot_node(int node)
{
    int old_vluns = count_before(node, count_vluns);
    int old_pds = count_before(node, count_pds);

    char err[SYSMGR_ERTXT_LEN];
    int status = mcall_shutdown(node, 0, err, sizeof(err));
    if (status == BR_NODE_DOWN) {
        ulog_message("sysmgr died a little quick, but that's okay.");
    } else if (status != 0) {
        ulog_message("Rolling upgrade failed to reboot node %d due to the following:\n%s\n", node,
                     err);
        return;
    }
    if (node == thisnode)
        return;

    ulog_message("Waiting for node %d to shut down...", node);
    while (node_incluster(node) == 1)
        sleep(NODE_RETRY_SECS);
    ulog_message("Waiting for node %d to rejoin cluster...", node);
    while (node_incluster(node) == 0)
        sleep(NODE_RETRY_SECS);

    int vluns = 0, pds = 0;
    time_t start = time(NULL);
    for (;;) {
        if (vluns >= old_vluns && pds >= old_pds)
            break;
        if (time(NULL) - start > REJOIN_LIMIT_SECS) {
            ulog_message("Exporting vluns timed out after %d seconds.", REJOIN_LIMIT_SECS);
            break;
        }
        ulog_message("Waiting for %d of %d vluns and %d of %d pds on node: %d", old_vluns - vluns,
                     old_vluns, old_pds - pds, old_pds, node);
        sleep(NODE_RETRY_SECS);
        (void)count_vluns(node, &vluns);
        (void)count_pds(node, &pds);
    }
    ulog_message("Done locating vluns: %d of %d and pds: %d of %d successful.", vluns, old_vluns,
                 pds, old_pds);
}

void simple_rolling_reboot(void)
{
    if (!rebootpermitted)
        return;
    int order[OSK_MAX_NODES];
    generate_simple_reboot_order(order);
    int count = nodes.count();
    if (count == 0)
        return;
    for (int i = 0; i < count - 1; i++) {
        char err[SYSMGR_ERTXT_LEN];
        if (prep_update(err, sizeof(err)) != 0)
            ulog_message("Rolling upgrade failed to inform sysmgr to prepare\nfor a rolling "
                         "upgrade due\nto the following:\n%s",
                         err);
        simple_rolling_reboot_node(order[i]);
        ulog_message("Done waiting for node to reboot");
        sleep(SIMPLE_PAUSE_SECS);
    }
    ulog_message("Rebooting final node.");
    simple_rolling_reboot_node(order[count - 1]);
}
