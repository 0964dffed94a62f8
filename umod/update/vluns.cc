/*
 * The export inventory of a standard rolling upgrade (vluns.h): asked of
 * the system manager, written to /tmp/present_vluns and copied to the
 * alternate root of every expedition node.
 */
#include "vluns.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "nodes.h"
#include "sysmgr_conn.h"
#include "ulog.h"
#include "mcall_client.h"
#include "osk_runtime.h"
#include "sc_ioctl.h"

#include "osk_banned.h"

#define VLUN_INVENTORY_NAME "/present_vluns"
#define CHAP_SECRET_LEN 17

int iscsi_name_match(const iscsi_name_t *name1, const iscsi_name_t *name2)
{
    return iscsi_name_compare(name1, name2) == 0;
}

int iscsi_name_compare(const iscsi_name_t *name1, const iscsi_name_t *name2)
{
    /* Bounded: a name that fills its field has no terminator. */
    return osk_strncmp(name1->name, name2->name, sizeof(name1->name));
}

void vlun_split_lpid(lpid_t lpid, int *node, int *slot, int *port)
{
    if (lpid == LPID_NONE) {
        *node = 253;
        *slot = -7;
        *port = -8;
        return;
    }
    *node = LPID_NODE(lpid);
    *slot = LPID_SLOT(lpid);
    *port = LPID_PORT(lpid);
}

static int in_expedition(lpid_t lpid)
{
    return lpid != LPID_NONE && expeditionmask.has(LPID_NODE(lpid));
}

static void write_ip(FILE *out, const char *label, uint32_t addr)
{
    const uint8_t *b = (const uint8_t *)&addr; /* storage order */
    fprintf(out, "%s%d.%d.%d.%d", label, b[0], b[1], b[2], b[3]);
}

static char port_mark(const disk_t *d, const pdport_t *p)
{
    if (p->p_primary)
        return '*';
    if (d->d_disable_path & 1)
        return '?';
    return ' ';
}

void vlun_write_disk(FILE *out, const disk_t *d)
{
    int an, as, ap, bn, bs, bp;
    vlun_split_lpid(d->d_aport.p_lpid, &an, &as, &ap);
    vlun_split_lpid(d->d_bport.p_lpid, &bn, &bs, &bp);
    fprintf(out, "DISK PD=%-4u WWN=%016llx PORTA=%d:%d:%d%c PORTB=%d:%d:%d%c CAGE=%d:%d:%d\n",
            d->d_id, (unsigned long long)d->d_wwn, an, as, ap, port_mark(d, &d->d_aport), bn, bs,
            bp, port_mark(d, &d->d_bport), (int)d->d_jlst.jp_jbid, d->d_jlst.jp_jside,
            d->d_jlst.jp_sled);
}

void vlun_write_iscsi_port(FILE *out, const iscsi_port_settings_t *ps)
{
    int n, s, p;
    vlun_split_lpid(ps->nsp, &n, &s, &p);
    fprintf(out, "ISCSI HBA PORT=%d:%d:%d TPGT=%d", n, s, p, ps->tpgt);
    write_ip(out, " IPADDR=", ps->ip_addr);
    write_ip(out, " NETMASK=", ps->netmask);
    write_ip(out, " GW=", ps->gateway_addr);
    fprintf(out, " TCPPORT=%d MTU=%d DHCP=%d", ps->tcp_port, (int)ps->mtu, ps->dhcp);
    write_ip(out, " ISNS=", ps->isns_primary_addr);
    fprintf(out, " ISNSPORT=%d ISCSINAME=\"%.*s\"\n", ps->isns_port,
            (int)sizeof(ps->iscsi_name.name), ps->iscsi_name.name);
}

static void write_secret(FILE *out, const uint8_t *secret)
{
    for (int i = 0; i < CHAP_SECRET_LEN; i++)
        fprintf(out, "%02x", secret[i]);
}

/* The addresses the host reaches this export's port from, then its CHAP. */
static void write_host_fields(FILE *out, const vluninfo_t *v, const hostinfo_t *host)
{
    for (uint32_t i = 0; i < host->hinfo_pathcnt; i++) {
        const hostpath_t *hp = &host->hinfo_paths[i];
        if (hp->hpath_lpid == v->vli_lpid &&
            iscsi_name_match(&hp->hpath_iscsi_name, &v->vli_hiscsi_name))
            write_ip(out, " IPADDR=", hp->hpath_ip_addr);
    }
    const iscsi_chap_t *c = &host->hinfo_chap;
    fprintf(out,
            " CHAPHOSTID=%d CHAPHOSTNAME=\"%.*s\" CHAPFLAGS=%x CHAPNAME=\"%.*s\" CHAPSECRET=\"",
            (int)c->host_id, (int)sizeof(c->host_name), c->host_name, c->chap_flags,
            (int)sizeof(c->chap_name.name), c->chap_name.name);
    write_secret(out, c->chap_secret);
    fprintf(out, "\" TARGETCHAPNAME=\"%.*s\" TARGETCHAPSECRET=\"",
            (int)sizeof(c->target_chap_name.name), c->target_chap_name.name);
    write_secret(out, c->target_chap_secret);
    fputc('"', out);
}

void vlun_write_export_head(FILE *out, const vluninfo_t *v, uint64_t vv_wwn, uint64_t port_params)
{
    int n, s, p;
    vlun_split_lpid(v->vli_lpid, &n, &s, &p);
    fprintf(out,
            "EXPORT HWWN=0x%016llx VWWN=%016llx LUN=%-4d PPARAMS=%016llx PORT=%d:%d:%d "
            "HOST=\"%.*s\" VV=\"%.*s\"",
            (unsigned long long)v->vli_hwwn, (unsigned long long)vv_wwn, (int)v->vli_lun,
            (unsigned long long)port_params, n, s, p, (int)sizeof(v->vli_hname),
            v->vli_hname[0] ? v->vli_hname : "Unknown-Host", (int)sizeof(v->vli_vname),
            v->vli_vname[0] ? v->vli_vname : "Unknown-VV");
    if (v->vli_hporttype == PORT_TYPE_ISCSI)
        fprintf(out, " ISCSINAME=\"%.*s\"", (int)sizeof(v->vli_hiscsi_name.name),
                v->vli_hiscsi_name.name);
}

void vlun_write_export_end(FILE *out, const vluninfo_t *v, const hostinfo_t *host)
{
    if (v->vli_hporttype == PORT_TYPE_ISCSI && host)
        write_host_fields(out, v, host);
    fputc('\n', out);
}

void vlun_write_export(FILE *out, const vluninfo_t *v, uint64_t vv_wwn, uint64_t port_params,
                       const hostinfo_t *host)
{
    vlun_write_export_head(out, v, vv_wwn, port_params);
    vlun_write_export_end(out, v, host);
}

[[noreturn]] static void inventory_failed(void)
{
    update_fail(UPD_EXIT_FAILURE);
}

pdscmd_t *pdshow_alloc(uint8_t nodemap)
{
    pdscmd_t *pd = (pdscmd_t *)mcall_alloc(MCPD_SHOW, sizeof(pdscmd_t));
    pdspec_t *ps = &pd->pscmd_spec;
    /* The manager's own "any" markers, one per field. */
    ps->ps_id = (uint32_t)-2;
    ps->ps_nodemap = nodemap;
    ps->ps_slotmap = 255;
    ps->ps_portmap = 255;
    ps->ps_jbod = (uint32_t)-6;
    ps->ps_sled = (uint32_t)-9;
    ps->ps_diskpos = (uint32_t)-14;
    ps->ps_wwn = (uint64_t)-10;
    ps->ps_state = (uint32_t)-1;
    ps->ps_pool = (uint32_t)-1;
    pd->pscmd_fdmap = 0;
    pd->pscmd_count = 0;
    return pd;
}

static void write_disks(FILE *out)
{
    pdscmd_t *pd = pdshow_alloc((uint8_t)expeditionmask.bits());
    /* A failed answer carries no disks: the inventory goes on without. */
    if (oskcall((mcall_t **)&pd) != 0)
        pd->pscmd_count = 0;
    for (uint32_t i = 0; i < pd->pscmd_count; i++)
        if (pd->pscmd_disks[i].d_state == PDS_VALID)
            vlun_write_disk(out, &pd->pscmd_disks[i]);
    mcall_free((mcall_t *)pd);
}

static void write_iscsi_ports(FILE *out)
{
    mciscsi_showport_t *sp =
        (mciscsi_showport_t *)mcall_alloc(MCISCSI_SHOWPORT, sizeof(mciscsi_showport_t));
    sp->nsp = LPID_NONE;
    sp->tpgt = 0xFFFF;
    sp->port_count = 0;
    if (oskmcall((mcall_t **)&sp) == 0)
        for (uint32_t i = 0; i < sp->port_count; i++) {
            iscsi_port_settings_t ps = sp->ports[i].port_settings;
            if (in_expedition(ps.nsp))
                vlun_write_iscsi_port(out, &ps);
        }
    mcall_free((mcall_t *)sp);
}

/* The port parameters straight from the kernel: a port that cannot be read
 * is reported and inventoried with none. */
static uint64_t port_params(lpid_t lpid)
{
    nodeop_t *no = (nodeop_t *)ioctl_alloc(SCCMD_NODEOP, sizeof(nodeop_t));
    no->no_hdr.io_node = (node_t)LPID_NODE(lpid);
    no->no_opcode = NODEOP_PORT_PARAMS;
    no->no_slot = LPID_SLOT(lpid);
    no->no_port = LPID_PORT(lpid);
    no->no_port_params = 0;
    uint64_t params = 0;
    if (sc_ioctl(&no->no_hdr) < 0 || no->no_hdr.io_status != TE_PASS) {
        static char text[IOCTL_ERRTEXT_LEN];
        ioctl_errtext(&no->no_hdr, text, "    ");
        osk_print("Unable to get port params on port %d:%d:%d -- %s", LPID_NODE(lpid),
                  LPID_SLOT(lpid), LPID_PORT(lpid), text);
    } else {
        params = no->no_port_params;
    }
    ioctl_free(&no);
    return params;
}

/* The manager's record of an iSCSI host, or null when it did not answer;
 * *call is what to free. */
static const hostinfo_t *lookup_host(const vluninfo_t *v, showhost_t **call)
{
    showhost_t *sh = (showhost_t *)mcall_alloc(MCHO_SHOW, sizeof(showhost_t));
    sh->showhost_iscsi_name = v->vli_hiscsi_name;
    sh->showhost_wwn = 0;
    sh->showhost_count = 0;
    int status = oskmcall((mcall_t **)&sh);
    *call = sh;
    if (status != 0)
        return NULL;
    if (sh->showhost_count != 1) {
        ulog_message("Could not get info on host %.*s", (int)sizeof(v->vli_hiscsi_name.name),
                     v->vli_hiscsi_name.name);
        inventory_failed();
    }
    return (const hostinfo_t *)sh->showhost_hosts;
}

static void write_export(FILE *out, const vluninfo_t *v)
{
    showvv_t *vv = (showvv_t *)mcall_alloc(MCVV_SHOW, sizeof(showvv_t));
    static_assert(sizeof(vv->showvv_name) == sizeof(v->vli_vname));
    memcpy(vv->showvv_name, v->vli_vname, sizeof(vv->showvv_name));
    vv->showvv_count = 0;
    if (oskcall((mcall_t **)&vv) != 0) {
        ulog_message("Determination of VV wwn failed: %s", vv->showvv_hdr.mc_ertxt);
        inventory_failed();
    }
    if (vv->showvv_count != 1) {
        ulog_message("Could not get info on VV %.*s", (int)sizeof(v->vli_vname), v->vli_vname);
        inventory_failed();
    }

    if (in_expedition(v->vli_lpid)) {
        /* The line as far as it goes before the host is asked: a host that
         * cannot be found ends the run with it in the file. */
        vlun_write_export_head(out, v, vv->showvv_vvols[0].v_wwn, port_params(v->vli_lpid));
        showhost_t *sh = NULL;
        const hostinfo_t *host = v->vli_hporttype == PORT_TYPE_ISCSI ? lookup_host(v, &sh) : NULL;
        vlun_write_export_end(out, v, host);
        if (sh)
            mcall_free((mcall_t *)sh);
    }
    mcall_free((mcall_t *)vv);
}

static void copy_to_expedition(void)
{
    char source[128];
    snprintf(source, sizeof(source), "node%d:/tmp/%s", thisnode, VLUN_INVENTORY_NAME);
    for (int n = 0; n < OSK_MAX_NODES; n++) {
        if (!expeditionmask.has(n))
            continue;
        char dest[128];
        snprintf(dest, sizeof(dest), "node%d:/altroot/%s", n, VLUN_INVENTORY_NAME);
        if (ulog_execl(RCP_PROGRAM, source, dest, nullptr) != 0) {
            ulog_message("Unable to prepare node %d to present temporary vluns.\n", n);
            inventory_failed();
        }
    }
}

void prepare_vlun_info(void)
{
    ulog_message("Preparing system inventory for upgrade");
    if (!mangler_isup) {
        ulog_message("sysmgr must be running properly to do a rolling upgrade.");
        inventory_failed();
    }

    showvlun_t *vl = (showvlun_t *)mcall_alloc(MCVL_SHOW, sizeof(showvlun_t));
    vl->showvlun_lun = (uint32_t)-5;
    vl->showvlun_nmap = 255;
    vl->showvlun_smap = 255;
    vl->showvlun_pmap = 255;
    vl->showvlun_active = 1;
    if (oskcall((mcall_t **)&vl) != 0) {
        ulog_message("Determination of current exports failed: %s", vl->showvlun_hdr.mc_ertxt);
        inventory_failed();
    }

    FILE *out = fopen(VLUN_INVENTORY_FILE, "w");
    if (!out) {
        ulog_message("Could not open %s: %s", VLUN_INVENTORY_FILE, strerror(errno));
        inventory_failed();
    }
    fprintf(out, "VERSION %d\n", VLUN_INVENTORY_VERSION);
    write_disks(out);
    write_iscsi_ports(out);
    for (uint32_t i = 0; i < vl->showvlun_count; i++)
        write_export(out, &vl->showvlun_vluns[i]);
    fclose(out);
    mcall_free((mcall_t *)vl);

    copy_to_expedition();
}

void dump_vluns(void)
{
    /* Without the manager the inventory below stops with its own message. */
    mangler_isup = oskopen("kivosys", 1) == TE_PASS;
    learn_nodes();
    prepare_vlun_info();
}
