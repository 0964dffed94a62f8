/*
 * One management call to the system manager stand-in, from request record
 * to reply record. See sysmgr.h; the answers are sim/README.md's contract.
 */
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <string>

#include "osk_errcode.h"
#include "sysmgr.h"
#include "osk_banned.h"

typedef struct knobs {
    int slow_start;
    int refuse_shutdown;
    uint32_t ping_version;
    uint32_t mcall_version;
} knobs_t;

uint64_t sysmgr_now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000 + (uint64_t)ts.tv_nsec / 1000000;
}

/* When the knobs were last set, in sysmgr_now_ms() time; 0 without them. */
static uint64_t knobs_set_ms(const char *path)
{
    struct stat st;
    if (path == nullptr || stat(path, &st) < 0)
        return 0;
    return (uint64_t)st.st_mtim.tv_sec * 1000 + (uint64_t)st.st_mtim.tv_nsec / 1000000;
}

static void knobs_default(knobs_t *k)
{
    k->slow_start = 0;
    k->refuse_shutdown = 0;
    k->ping_version = MCALL_VERSION;
    k->mcall_version = MCALL_VERSION;
}

static void knobs_parse(const char *path, knobs_t *k)
{
    knobs_default(k);
    FILE *f = fopen(path, "re");
    if (f == nullptr)
        return;
    char name[64];
    long v;
    while (fscanf(f, "%63s %ld", name, &v) == 2) {
        if (strcmp(name, "slow_start") == 0)
            k->slow_start = (int)v;
        else if (strcmp(name, "refuse_shutdown") == 0)
            k->refuse_shutdown = (int)v;
        else if (strcmp(name, "ping_version") == 0)
            k->ping_version = (uint32_t)v;
        else if (strcmp(name, "mcall_version") == 0)
            k->mcall_version = (uint32_t)v;
    }
    fclose(f);
}

static bool same_time(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

/* The knobs as last read, and the file they were read from as it was. */
static struct {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    bool valid = false;
    std::string path;
    bool present = false;
    struct stat st = {};
    knobs_t k = {};
} knobs_cache;

/* A file's times are kept at the clock's tick, not to the nanosecond: two
 * writes this close together may leave the same times and size behind. */
#define KNOBS_TICK_MS 100

/* The knobs, read again only when their file changed. */
static void read_knobs(const char *path, knobs_t *k)
{
    knobs_default(k);
    if (path == nullptr)
        return;
    struct stat st;
    bool present = stat(path, &st) == 0;
    uint64_t changed =
        present ? (uint64_t)st.st_ctim.tv_sec * 1000 + (uint64_t)st.st_ctim.tv_nsec / 1000000 : 0;
    auto &c = knobs_cache;
    pthread_mutex_lock(&c.lock);
    bool same = c.valid && c.path == path && c.present == present &&
                (!present || (c.st.st_ino == st.st_ino && c.st.st_dev == st.st_dev &&
                              c.st.st_size == st.st_size && same_time(c.st.st_mtim, st.st_mtim) &&
                              same_time(c.st.st_ctim, st.st_ctim) &&
                              changed + KNOBS_TICK_MS < sysmgr_now_ms()));
    if (!same) {
        if (present)
            knobs_parse(path, &c.k);
        else
            knobs_default(&c.k);
        c.valid = true;
        c.path = path;
        c.present = present;
        if (present)
            c.st = st;
    }
    *k = c.k;
    pthread_mutex_unlock(&c.lock);
}

static void journal(const sysmgr_ctx_t *ctx, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
static void journal(const sysmgr_ctx_t *ctx, const char *fmt, ...)
{
    if (ctx->journal == nullptr)
        return;
    FILE *f = fopen(ctx->journal, "ae");
    if (f == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

/* The reply: a copy of the request's header and fixed part, grown by
 * elements appended with add(). Its bytes are zero unless written. */
typedef struct builder {
    mcall_t *rec;
    size_t used, cap;
} builder_t;

/* The buffer of this thread's last reply, kept for its next one. */
static thread_local struct spare_buffer {
    mcall_t *rec = nullptr;
    size_t cap = 0;
    ~spare_buffer()
    {
        free(rec);
    }
} spare;

static void b_reserve(builder_t *b, size_t need)
{
    if (need <= b->cap)
        return;
    size_t cap = need * 2;
    mcall_t *r = (mcall_t *)realloc(b->rec, cap);
    if (r == nullptr)
        abort();
    b->rec = r;
    b->cap = cap;
}

static void b_start(builder_t *b, const void *req, size_t reqlen, size_t fixed)
{
    b->rec = spare.rec;
    b->cap = spare.cap;
    spare.rec = nullptr;
    spare.cap = 0;
    b_reserve(b, fixed + 4096);
    memset(b->rec, 0, fixed);
    memcpy(b->rec, req, reqlen < fixed ? reqlen : fixed);
    b->used = fixed;
    b->rec->mc_status = TE_PASS;
    b->rec->mc_ertxt[0] = '\0';
}

static void *b_add(builder_t *b, size_t n)
{
    b_reserve(b, b->used + n);
    void *p = (char *)b->rec + b->used;
    memset(p, 0, n);
    b->used += n;
    return p;
}

static void fail(builder_t *b, int status, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
static void fail(builder_t *b, int status, const char *fmt, ...)
{
    b->rec->mc_status = status;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(b->rec->mc_ertxt, sizeof b->rec->mc_ertxt, fmt, ap);
    va_end(ap);
}

/* A port position passes node/slot/port bit masks. */
static int lpid_in(lpid_t l, uint8_t nmap, uint8_t smap, uint8_t pmap)
{
    return l != LPID_NONE && (nmap >> LPID_NODE(l) & 1) && (smap >> LPID_SLOT(l) & 1) &&
           (pmap >> LPID_PORT(l) & 1);
}

static int node_online(cluster_t online, lpid_t l)
{
    return l != LPID_NONE && (online >> LPID_NODE(l) & 1);
}

static void do_showvlun(const sysmgr_ctx_t *ctx, builder_t *b)
{
    showvlun_t *q = (showvlun_t *)b->rec;
    char vname[33], hname[33];
    snprintf(vname, sizeof vname, "%.32s", q->showvlun_vname);
    snprintf(hname, sizeof hname, "%.32s", q->showvlun_hname);
    int32_t lun = (int32_t)q->showvlun_lun;
    uint8_t nmap = q->showvlun_nmap, smap = q->showvlun_smap, pmap = q->showvlun_pmap;
    int active = q->showvlun_active != 0;
    cluster_t online = ctx->online();
    const sysmgr_conf_t *c = ctx->conf;
    uint32_t count = 0;
    for (int i = 0; i < c->nexports; i++) {
        const sm_export_t *e = &c->exports[i];
        const sm_vv_t *v = &c->vvs[e->vv];
        const sm_host_t *h = &c->hosts[e->host];
        if ((vname[0] && strcmp(vname, v->name) != 0) ||
            (hname[0] && strcmp(hname, h->name) != 0) || (lun >= 0 && (uint32_t)lun != e->lun) ||
            !lpid_in(e->lpid, nmap, smap, pmap) || (active && !node_online(online, e->lpid)))
            continue;
        vluninfo_t *vl = (vluninfo_t *)b_add(b, sizeof(vluninfo_t));
        snprintf(vl->vli_vname, sizeof vl->vli_vname, "%s", v->name);
        snprintf(vl->vli_hname, sizeof vl->vli_hname, "%s", h->name);
        vl->vli_hporttype = h->iscsi ? PORT_TYPE_ISCSI : 1;
        vl->vli_hwwn = h->wwn;
        snprintf(vl->vli_hiscsi_name.name, sizeof vl->vli_hiscsi_name.name, "%s", h->iname);
        vl->vli_vwwn = v->wwn;
        vl->vli_lpid = e->lpid;
        vl->vli_lun = e->lun;
        count++;
    }
    ((showvlun_t *)b->rec)->showvlun_count = count;
}

static void put_port(pdport_t *p, lpid_t l, int primary)
{
    p->p_lpid = l;
    p->p_primary = primary ? 1 : 0;
}

static void do_pdshow(const sysmgr_ctx_t *ctx, builder_t *b)
{
    pdspec_t s = ((pdscmd_t *)b->rec)->pscmd_spec;
    cluster_t online = ctx->online();
    const sysmgr_conf_t *c = ctx->conf;
    uint32_t count = 0;
    for (int i = 0; i < c->ndisks; i++) {
        const sm_disk_t *d = &c->disks[i];
        int through = 0;
        const lpid_t paths[2] = {d->a, d->b};
        for (lpid_t l : paths)
            through |=
                lpid_in(l, s.ps_nodemap, s.ps_slotmap, s.ps_portmap) && node_online(online, l);
        if (!through || ((int32_t)s.ps_id >= 0 && s.ps_id != d->id) ||
            ((int64_t)s.ps_wwn >= 0 && s.ps_wwn != d->wwn) ||
            ((int32_t)s.ps_state >= 0 && s.ps_state != d->state))
            continue;
        disk_t *k = (disk_t *)b_add(b, sizeof(disk_t));
        k->d_wwn = d->wwn;
        k->d_id = d->id;
        put_port(&k->d_aport, d->a, d->a_primary);
        put_port(&k->d_bport, d->b, d->b_primary);
        k->d_jlst.jp_jbid = d->jbod;
        k->d_jlst.jp_jside = (uint8_t)d->side;
        k->d_jlst.jp_sled = (uint8_t)d->sled;
        k->d_disable_path = d->disabled ? 1 : 0;
        k->d_state = d->state;
        count++;
    }
    pdscmd_t *r = (pdscmd_t *)b->rec;
    r->pscmd_count = count;
    r->pscmd_total = (uint32_t)c->ndisks;
}

static void do_showvv(const sysmgr_ctx_t *ctx, builder_t *b)
{
    char name[33];
    snprintf(name, sizeof name, "%.32s", ((showvv_t *)b->rec)->showvv_name);
    const sysmgr_conf_t *c = ctx->conf;
    uint32_t count = 0;
    for (int i = 0; i < c->nvvs; i++) {
        if (name[0] && strcmp(name, c->vvs[i].name) != 0)
            continue;
        vvol_t *v = (vvol_t *)b_add(b, sizeof(vvol_t));
        snprintf(v->v_name, sizeof v->v_name, "%s", c->vvs[i].name);
        v->v_wwn = c->vvs[i].wwn;
        count++;
    }
    ((showvv_t *)b->rec)->showvv_count = count;
}

static void do_showhost(const sysmgr_ctx_t *ctx, builder_t *b)
{
    showhost_t *q = (showhost_t *)b->rec;
    char name[33], iname[SM_ISCSI_LEN + 1];
    snprintf(name, sizeof name, "%.32s", q->showhost_name);
    snprintf(iname, sizeof iname, "%.224s", q->showhost_iscsi_name.name);
    uint64_t wwn = q->showhost_wwn;
    const sysmgr_conf_t *c = ctx->conf;
    uint32_t count = 0;
    for (int i = 0; i < c->nhosts; i++) {
        const sm_host_t *h = &c->hosts[i];
        if ((name[0] && strcmp(name, h->name) != 0) || (wwn != 0 && wwn != h->wwn) ||
            (iname[0] && strcmp(iname, h->iname) != 0))
            continue;
        hostinfo_t *hi = (hostinfo_t *)b_add(b, sizeof(hostinfo_t));
        size_t at = (char *)hi - (char *)b->rec; /* b_add may move the record */
        snprintf(hi->hinfo_name, sizeof hi->hinfo_name, "%s", h->name);
        hi->hinfo_serial = (uint32_t)i;
        hi->hinfo_createtime = (int32_t)time(nullptr);
        iscsi_chap_t *ch = &hi->hinfo_chap;
        ch->host_id = h->id;
        snprintf(ch->host_name, sizeof ch->host_name, "%s", h->name);
        snprintf(ch->chap_name.name, sizeof ch->chap_name.name, "%s", h->chap_name);
        memcpy(ch->chap_secret, h->chap_secret, sizeof ch->chap_secret);
        snprintf(ch->target_chap_name.name, sizeof ch->target_chap_name.name, "%s", h->tchap_name);
        memcpy(ch->target_chap_secret, h->tchap_secret, sizeof ch->target_chap_secret);
        ch->chap_flags = h->chap_flags;
        uint32_t paths = 0;
        for (int k = 0; k < c->nhpaths; k++) {
            if (c->hpaths[k].host != i)
                continue;
            hostpath_t *p = (hostpath_t *)b_add(b, sizeof(hostpath_t));
            p->hpath_lpid = c->hpaths[k].lpid;
            p->hpath_porttype = PORT_TYPE_ISCSI;
            snprintf(p->hpath_iscsi_name.name, sizeof p->hpath_iscsi_name.name, "%s", h->iname);
            p->hpath_ip_addr = c->hpaths[k].ip;
            paths++;
        }
        ((hostinfo_t *)((char *)b->rec + at))->hinfo_pathcnt = paths;
        count++;
    }
    ((showhost_t *)b->rec)->showhost_count = count;
}

static void do_showport(const sysmgr_ctx_t *ctx, builder_t *b)
{
    uint16_t nsp = ((mciscsi_showport_t *)b->rec)->nsp;
    const sysmgr_conf_t *c = ctx->conf;
    uint32_t count = 0;
    for (int i = 0; i < c->niports; i++) {
        const sm_iport_t *p = &c->iports[i];
        if (nsp != LPID_NONE && nsp != p->nsp)
            continue;
        iscsi_portinfo_t *pi = (iscsi_portinfo_t *)b_add(b, sizeof(iscsi_portinfo_t));
        iscsi_port_settings_t *s = &pi->port_settings;
        s->nsp = p->nsp;
        s->tpgt = p->tpgt;
        s->ip_addr = s->active_ipaddr = p->ip;
        s->netmask = s->active_netmask = p->netmask;
        s->gateway_addr = s->active_gw_addr = p->gw;
        s->tcp_port = 3260;
        s->mtu = 1500;
        s->state = 1;
        s->active_tgpt = p->tpgt;
        s->failover_peer = LPID_MAKE(LPID_NODE(p->nsp) ^ 1, LPID_SLOT(p->nsp), LPID_PORT(p->nsp));
        snprintf(s->iscsi_name.name, sizeof s->iscsi_name.name, "%s", p->name);
        snprintf(pi->port_inventory.portinfo_cardtype, sizeof pi->port_inventory.portinfo_cardtype,
                 "sim-iscsi");
        count++;
    }
    ((mciscsi_showport_t *)b->rec)->port_count = count;
}

static void do_shutdown(const sysmgr_ctx_t *ctx, const knobs_t *k, builder_t *b, int *reboot)
{
    nodedown_t *q = (nodedown_t *)b->rec;
    /* Slow from its start or from when the knob was set, so that a test can
     * ask for it on a manager that is already up. */
    uint64_t since = ctx->start_ms;
    uint64_t set = knobs_set_ms(ctx->knobs);
    if (set > since)
        since = set;
    if (k->slow_start > 0 && sysmgr_now_ms() < since + (uint64_t)k->slow_start * 1000) {
        fail(b, TE_NOTREADY, "System manager is still initializing");
        return;
    }
    if (k->refuse_shutdown) {
        fail(b, TE_INUSE, "Shutdown refused by the system manager");
        return;
    }
    if (q->ndid == NODEDOWN_ALL) {
        journal(ctx, "shutdown system toc=%u force=%u type=%u is_update=%u", q->toc_ver, q->force,
                q->type, q->is_update);
        return;
    }
    if (q->ndid >= (uint32_t)ctx->conf->nnodes || !(ctx->online() >> q->ndid & 1)) {
        fail(b, BR_NODE_DOWN, "Node %u is not in the cluster", q->ndid);
        return;
    }
    journal(ctx, "shutdown node %u toc=%u force=%u type=%u is_update=%u", q->ndid, q->toc_ver,
            q->force, q->type, q->is_update);
    *reboot = (int)q->ndid;
}

/* Fixed part of each record the stand-in answers: the reply starts with a
 * copy of that much of the request. */
static size_t fixed_size(uint32_t op)
{
    switch (op) {
    case MC_PING:
        return sizeof(mcping_t);
    case MC_NODESHUTDOWN:
        return sizeof(nodedown_t);
    case MCLD_PSHOW:
        return PSHOW_REQ_SIZE;
    case MCVL_SHOW:
        return sizeof(showvlun_t);
    case MCPD_SHOW:
        return sizeof(pdscmd_t);
    case MCVV_SHOW:
        return sizeof(showvv_t);
    case MCHO_SHOW:
        return sizeof(showhost_t);
    case MCISCSI_SHOWPORT:
        return sizeof(mciscsi_showport_t);
    default:
        return sizeof(mcall_t);
    }
}

void sysmgr_handle(const sysmgr_ctx_t *ctx, uint32_t msg_ver, const void *data, size_t len,
                   sysmgr_reply_t *out)
{
    memset(out, 0, sizeof *out);
    out->reboot_node = -1;
    knobs_t k;
    read_knobs(ctx->knobs, &k);
    const mcall_t *req = (const mcall_t *)data;
    if (msg_ver != k.mcall_version) {
        journal(ctx, "refused %u version %u", len >= 4 ? req->mc_opcode : 0, msg_ver);
        out->refused = 1;
        out->reason = TE_INVALID;
        return;
    }
    builder_t b;
    uint32_t op = len >= sizeof(mcall_t) ? req->mc_opcode : 0;
    size_t fixed = fixed_size(op);
    b_start(&b, data, len, fixed);
    if (len < fixed) {
        fail(&b, TE_INVALID, "Request of %zu bytes is too short for opcode %u", len, op);
    } else {
        switch (op) {
        case MC_PING:
            ((mcping_t *)b.rec)->mp_version = k.ping_version;
            break;
        case MC_NODESHUTDOWN:
            do_shutdown(ctx, &k, &b, &out->reboot_node);
            break;
        case MC_PREP_UPDATE:
            journal(ctx, "prep_update");
            break;
        case MCLD_PSHOW:
            ((pshow_t *)b.rec)->pshow_ld_count = 0;
            break;
        case MCVL_SHOW:
            do_showvlun(ctx, &b);
            break;
        case MCPD_SHOW:
            do_pdshow(ctx, &b);
            break;
        case MCVV_SHOW:
            do_showvv(ctx, &b);
            break;
        case MCHO_SHOW:
            do_showhost(ctx, &b);
            break;
        case MCISCSI_SHOWPORT:
            do_showport(ctx, &b);
            break;
        default:
            fail(&b, TE_INVALID, "Opcode %u is not served by this system manager", op);
            break;
        }
    }
    b.rec->mc_size = (uint32_t)b.used;
    out->len = (b.used + MCALL_ALIGN - 1) & ~(size_t)(MCALL_ALIGN - 1);
    (void)b_add(&b, out->len - b.used); /* zero-filled tail up to the unit */
    b.rec->mc_bufsize = (uint32_t)out->len;
    out->rec = b.rec;
    out->cap = b.cap;
    out->reason = b.rec->mc_status;
}

void sysmgr_reply_free(sysmgr_reply_t *r)
{
    if (spare.rec == nullptr) {
        spare.rec = r->rec;
        spare.cap = r->cap;
    } else {
        free(r->rec);
    }
    r->rec = nullptr;
    r->cap = 0;
}
