/*
 * System-control commands, one handler per command index. A command
 * without a handler is answered with TE_INVALID and a text, never dropped.
 * The persistent-repository (PRCMD_*) and event (EMCMD_*) commands get their
 * handlers here too, from their own files, by filling sc_table.
 */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "osk_errcode.h"
#include "oskd.h"
#include "osk_banned.h"

/* Returns the ioctl result; sets io_status. A negative result needs *err. */
typedef int (*sc_handler_t)(const oskd_caller_t *ca, iohdr_t *rec, int *err);

static void fill_cstate(const oskd_caller_t *ca, cstate_t *cs)
{
    memset(cs, 0, sizeof(*cs));
    cs->cs_mynode = (node_t)ca->ca_node;
    cs->cs_master = oskd.st_master < 0 ? 0xFF : (node_t)oskd.st_master;
    cs->cs_online = oskd_online_mask();
    cs->cs_state = oskd.st_nodes[ca->ca_node].nd_online ? 1 : 0;
    for (int n = 0; n < oskd.st_nnodes; n++) {
        cs->cs_node_incns[n] = oskd.st_nodes[n].nd_incn;
        cs->cs_node_recn[n] = oskd.st_nodes[n].nd_recn;
        cs->cs_recn_mask[n] = cs->cs_online;
    }
    cs->cs_start_time = (uint64_t)oskd.st_start_time;
    cs->cs_upgr_state = (uint32_t)oskd.st_upgrade;
    cs->cs_upgr_group = oskd.st_upgr_group;
}

/* Fits the fixed body of cmd? Callers allocate at least the documented size. */
static int too_short(iohdr_t *rec, size_t need, int *err)
{
    if (rec->io_total >= need)
        return 0;
    rec->io_status = TE_INVALID;
    snprintf(rec->io_ertxt, IO_ERTXT_LEN, "record of %u bytes, %zu needed", rec->io_total, need);
    *err = EINVAL;
    return 1;
}

static int sc_version(const oskd_caller_t *, iohdr_t *rec, int *err)
{
    if (too_short(rec, sizeof(sccmd_version_t), err))
        return -1;
    sccmd_version_t *v = (sccmd_version_t *)rec;
    memset(&v->vr_versn, 0, sizeof(v->vr_versn));
    v->vr_versn.vr_major = 3;
    v->vr_versn.vr_ioctl = oskd.st_ioctl_version;
    snprintf(v->vr_versn.vr_text, sizeof(v->vr_versn.vr_text), "osk-simd cluster module %u",
             oskd.st_ioctl_version);
    rec->io_status = TE_PASS;
    return 0;
}

static int sc_getcinfo(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    if (too_short(rec, sizeof(cinfo_t), err))
        return -1;
    fill_cstate(ca, &((cinfo_t *)rec)->ci_cstate);
    rec->io_status = TE_PASS;
    return 0;
}

static int sc_getdcinfo(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    if (too_short(rec, sizeof(cd_info_t), err))
        return -1;
    cd_info_t *cd = (cd_info_t *)rec;
    cluster_t online = oskd_online_mask();
    cd->cd_my_node = (node_t)ca->ca_node;
    cd->cd_master_node = oskd.st_master < 0 ? 0xFF : (node_t)oskd.st_master;
    cd->cd_count = __builtin_popcount(online);
    cd->cd_usec_ticks = 1000;
    cd->cd_up_start = (int)oskd.st_start_time;
    cd->cd_outer_mask = online; /* members: the nodes in the cluster now */
    cd->cd_inner_mask = online;
    cd->cd_fail = 0;
    rec->io_status = TE_PASS;
    return 0;
}

/* Addresses one node (io_node); a node that is down fails as BR_NODE_DOWN. */
static int sc_query_log(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    if (too_short(rec, sizeof(sccmd_query_log_t), err))
        return -1;
    sccmd_query_log_t *q = (sccmd_query_log_t *)rec;
    int target = rec->io_node == IO_NODE_ANY ? ca->ca_node : rec->io_node;
    if (target >= oskd.st_nnodes || !oskd.st_nodes[target].nd_online) {
        rec->io_status = BR_NODE_DOWN;
        snprintf(rec->io_ertxt, IO_ERTXT_LEN, "node %d is not in the cluster", target);
        *err = EIO;
        return -1;
    }
    for (int n = 0; n < OSK_MAX_NODES; n++) {
        q->ql_taglog_flags[n] = 0;
        if ((q->ql_nodes & (1u << n)) && n < oskd.st_nnodes && oskd.st_nodes[n].nd_integrated)
            q->ql_taglog_flags[n] = QL_INTEGRATED;
    }
    q->ql_pdata_rests = 0;
    rec->io_status = TE_PASS;
    return 0;
}

static int sc_get_vars(const oskd_caller_t *, iohdr_t *rec, int *err)
{
    if (too_short(rec, sizeof(osk_var_info_t), err))
        return -1;
    osk_var_info_t *v = (osk_var_info_t *)rec;
    v->num_log_files = oskd.st_numlogfiles;
    v->admck_after_pfrec = 0;
    rec->io_status = TE_PASS;
    return 0;
}

static int sc_nodeop(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    if (too_short(rec, sizeof(nodeop_t), err))
        return -1;
    nodeop_t *no = (nodeop_t *)rec;
    int target = rec->io_node == IO_NODE_ANY ? ca->ca_node : rec->io_node;
    if (no->no_opcode != NODEOP_PORT_PARAMS) {
        rec->io_status = TE_INVALID;
        snprintf(rec->io_ertxt, IO_ERTXT_LEN, "node operation %u not supported", no->no_opcode);
        return 0;
    }
    if (target >= oskd.st_nnodes || !oskd.st_nodes[target].nd_online) {
        rec->io_status = BR_NODE_DOWN;
        snprintf(rec->io_ertxt, IO_ERTXT_LEN, "node %d is not in the cluster", target);
        *err = EIO;
        return -1;
    }
    if (no->no_slot > 7 || no->no_port > 7) {
        rec->io_status = TE_INVALID;
        snprintf(rec->io_ertxt, IO_ERTXT_LEN, "no port %d:%u:%u", target, no->no_slot, no->no_port);
        return 0;
    }
    /* Stable made-up parameters: the port's position and a fixed speed word. */
    no->no_port_params = ((uint64_t)0x4000 << 32) |
                         ((uint64_t)target << 16 | (uint64_t)no->no_slot << 8 | no->no_port);
    rec->io_status = TE_PASS;
    return 0;
}

static sc_handler_t sc_table[OSK_IOCTL_NCMDS];
static pthread_once_t sc_once = PTHREAD_ONCE_INIT;

static void sc_set(uint32_t cmd, oskd_sc_handler_t h)
{
    sc_table[OSK_IOCTL_INDEX(cmd)] = h;
}

static void sc_table_init(void)
{
    sc_table[OSK_IOCTL_INDEX(SCCMD_VERSION)] = sc_version;
    sc_table[OSK_IOCTL_INDEX(SCCMD_GETCINFO)] = sc_getcinfo;
    sc_table[OSK_IOCTL_INDEX(SCCMD_NODEOP)] = sc_nodeop;
    sc_table[OSK_IOCTL_INDEX(SCCMD_GET_VARS)] = sc_get_vars;
    sc_table[OSK_IOCTL_INDEX(SCCMD_QUERY_LOG)] = sc_query_log;
    sc_table[OSK_IOCTL_INDEX(SCCMD_GETDCINFO)] = sc_getdcinfo;
    oskd_pr_sc_register(sc_set);
    sc_set(EMCMD_POST, oskd_evt_post);
}

int oskd_sc_request(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    pthread_once(&sc_once, sc_table_init);
    uint32_t idx = OSK_IOCTL_INDEX(rec->io_cmd);
    rec->io_ertxt[0] = '\0';
    sc_handler_t h = idx < OSK_IOCTL_NCMDS ? sc_table[idx] : nullptr;
    if (h == nullptr) {
        rec->io_status = TE_INVALID;
        snprintf(rec->io_ertxt, IO_ERTXT_LEN, "command %u not supported by this cluster module",
                 idx);
        return 0;
    }
    pthread_mutex_lock(&oskd_lock);
    int rc = h(ca, rec, err);
    pthread_mutex_unlock(&oskd_lock);
    return rc;
}
