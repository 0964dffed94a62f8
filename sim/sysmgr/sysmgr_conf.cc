/*
 * The stand-in's storage configuration file. See sysmgr.h and sim/README.md.
 */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sysmgr.h"
#include "osk_banned.h"

#define GROW(arr, n)                                                                               \
    do {                                                                                           \
        void *p_ = realloc((arr), sizeof(*(arr)) * (size_t)((n) + 1));                             \
        if (p_ == nullptr)                                                                         \
            return -1;                                                                             \
        (arr) = (decltype(arr))p_;                                                                 \
        memset(&(arr)[(n)], 0, sizeof(*(arr)));                                                    \
    } while (0)

/* "N:S:P" with an optional '*' after it; "-" is no port. */
static int parse_lpid(const char *s, lpid_t *out, int *primary)
{
    if (primary)
        *primary = 0;
    if (strcmp(s, "-") == 0) {
        *out = LPID_NONE;
        return 0;
    }
    unsigned n, sl, p;
    char star = 0;
    int k = sscanf(s, "%u:%u:%u%c", &n, &sl, &p, &star);
    if (k < 3 || n > 7 || sl > 7 || p > 7 || (k == 4 && (star != '*' || primary == nullptr)))
        return -1;
    if (primary)
        *primary = k == 4;
    *out = LPID_MAKE(n, sl, p);
    return 0;
}

static int parse_ip(const char *s, uint32_t *out)
{
    struct in_addr a;
    if (inet_pton(AF_INET, s, &a) != 1)
        return -1;
    memcpy(out, &a, 4); /* network order is the order written */
    return 0;
}

static int parse_hex64(const char *s, uint64_t *out)
{
    char *end;
    *out = strtoull(s, &end, 16);
    return *s && !*end ? 0 : -1;
}

static int copy_text(char *dst, size_t size, const char *s)
{
    if (strlen(s) >= size)
        return -1;
    snprintf(dst, size, "%s", s);
    return 0;
}

static int find_named(const char *name, int n, const char *(*nm)(int, const void *), const void *a)
{
    for (int i = 0; i < n; i++)
        if (strcmp(nm(i, a), name) == 0)
            return i;
    return -1;
}

static const char *vv_name(int i, const void *a)
{
    return ((const sm_vv_t *)a)[i].name;
}

static const char *host_name(int i, const void *a)
{
    return ((const sm_host_t *)a)[i].name;
}

/* "NAME:SECRET" */
static int parse_chap(const char *s, char *name, char *secret)
{
    const char *c = strchr(s, ':');
    if (c == nullptr || (size_t)(c - s) >= SM_ISCSI_LEN || strlen(c + 1) > 16)
        return -1;
    snprintf(name, SM_ISCSI_LEN, "%.*s", (int)(c - s), s);
    memset(secret, 0, 17);
    memcpy(secret, c + 1, strlen(c + 1));
    return 0;
}

static int node_ok(const sysmgr_conf_t *c, lpid_t l)
{
    return l != LPID_NONE && (int)LPID_NODE(l) < c->nnodes;
}

/* Each keyword's parser gets the line's words, their count within the
 * table's bounds, and sets *why when its reason is better than "bad line". */
typedef int (*line_parser_t)(sysmgr_conf_t *c, char **w, int nw, const char **why);

static int parse_nodes(sysmgr_conf_t *c, char **w, int, const char **)
{
    c->nnodes = atoi(w[1]);
    return c->nnodes >= 1 && c->nnodes <= 8 ? 0 : -1;
}

static int parse_disk(sysmgr_conf_t *c, char **w, int nw, const char **)
{
    sm_disk_t d;
    memset(&d, 0, sizeof d);
    d.id = (uint32_t)strtoul(w[1], nullptr, 10);
    d.state = PDS_VALID;
    if (parse_hex64(w[2], &d.wwn) < 0 || parse_lpid(w[3], &d.a, &d.a_primary) < 0 ||
        parse_lpid(w[4], &d.b, &d.b_primary) < 0 ||
        sscanf(w[5], "%u:%u:%u", &d.jbod, &d.side, &d.sled) != 3)
        return -1;
    for (int i = 6; i < nw; i++) {
        if (strcmp(w[i], "disabled") == 0)
            d.disabled = 1;
        else if (strncmp(w[i], "state=", 6) == 0)
            d.state = (uint32_t)strtoul(w[i] + 6, nullptr, 10);
        else
            return -1;
    }
    if (!node_ok(c, d.a))
        d.a = LPID_NONE, d.a_primary = 0;
    if (!node_ok(c, d.b))
        d.b = LPID_NONE, d.b_primary = 0;
    if (d.a == LPID_NONE && d.b == LPID_NONE)
        return 0;
    GROW(c->disks, c->ndisks);
    c->disks[c->ndisks++] = d;
    return 0;
}

static int parse_iscsiport(sysmgr_conf_t *c, char **w, int, const char **)
{
    sm_iport_t p;
    memset(&p, 0, sizeof p);
    if (parse_lpid(w[1], &p.nsp, nullptr) < 0 || p.nsp == LPID_NONE || parse_ip(w[2], &p.ip) < 0 ||
        parse_ip(w[3], &p.netmask) < 0 || parse_ip(w[4], &p.gw) < 0 ||
        copy_text(p.name, sizeof p.name, w[6]) < 0)
        return -1;
    p.tpgt = (uint16_t)atoi(w[5]);
    if (!node_ok(c, p.nsp))
        return 0;
    GROW(c->iports, c->niports);
    c->iports[c->niports++] = p;
    return 0;
}

/* "iscsi INAME ID [chap=..] [targetchap=..] [chapflags=..]" after the name. */
static int parse_iscsi_host(sm_host_t *h, char **w, int nw)
{
    h->iscsi = 1;
    if (copy_text(h->iname, sizeof h->iname, w[3]) < 0)
        return -1;
    h->id = (uint32_t)strtoul(w[4], nullptr, 10);
    for (int i = 5; i < nw; i++) {
        if (strncmp(w[i], "chap=", 5) == 0) {
            if (parse_chap(w[i] + 5, h->chap_name, h->chap_secret) < 0)
                return -1;
        } else if (strncmp(w[i], "targetchap=", 11) == 0) {
            if (parse_chap(w[i] + 11, h->tchap_name, h->tchap_secret) < 0)
                return -1;
        } else if (strncmp(w[i], "chapflags=", 10) == 0) {
            h->chap_flags = (uint32_t)strtoul(w[i] + 10, nullptr, 16);
        } else {
            return -1;
        }
    }
    return 0;
}

static int parse_host(sysmgr_conf_t *c, char **w, int nw, const char **why)
{
    sm_host_t h;
    memset(&h, 0, sizeof h);
    if (copy_text(h.name, sizeof h.name, w[1]) < 0)
        return -1;
    if (strcmp(w[2], "fc") == 0 && nw == 4) {
        if (parse_hex64(w[3], &h.wwn) < 0)
            return -1;
    } else if (strcmp(w[2], "iscsi") != 0 || nw < 5 || parse_iscsi_host(&h, w, nw) < 0) {
        return -1;
    }
    if (find_named(h.name, c->nhosts, host_name, c->hosts) >= 0) {
        *why = "host defined twice";
        return -1;
    }
    GROW(c->hosts, c->nhosts);
    c->hosts[c->nhosts++] = h;
    return 0;
}

static int parse_hostpath(sysmgr_conf_t *c, char **w, int, const char **why)
{
    sm_hpath_t p;
    p.host = find_named(w[1], c->nhosts, host_name, c->hosts);
    if (p.host < 0) {
        *why = "unknown host";
        return -1;
    }
    if (parse_lpid(w[2], &p.lpid, nullptr) < 0 || parse_ip(w[3], &p.ip) < 0)
        return -1;
    if (!node_ok(c, p.lpid))
        return 0;
    GROW(c->hpaths, c->nhpaths);
    c->hpaths[c->nhpaths++] = p;
    return 0;
}

static int parse_vv(sysmgr_conf_t *c, char **w, int, const char **why)
{
    sm_vv_t v;
    memset(&v, 0, sizeof v);
    if (copy_text(v.name, sizeof v.name, w[1]) < 0 || parse_hex64(w[2], &v.wwn) < 0)
        return -1;
    if (find_named(v.name, c->nvvs, vv_name, c->vvs) >= 0) {
        *why = "volume defined twice";
        return -1;
    }
    GROW(c->vvs, c->nvvs);
    c->vvs[c->nvvs++] = v;
    return 0;
}

static int parse_export(sysmgr_conf_t *c, char **w, int, const char **why)
{
    sm_export_t e;
    e.vv = find_named(w[1], c->nvvs, vv_name, c->vvs);
    e.host = find_named(w[2], c->nhosts, host_name, c->hosts);
    if (e.vv < 0 || e.host < 0) {
        *why = e.vv < 0 ? "unknown volume" : "unknown host";
        return -1;
    }
    e.lun = (uint32_t)strtoul(w[3], nullptr, 10);
    if (parse_lpid(w[4], &e.lpid, nullptr) < 0 || e.lpid == LPID_NONE)
        return -1;
    if (!node_ok(c, e.lpid))
        return 0;
    GROW(c->exports, c->nexports);
    c->exports[c->nexports++] = e;
    return 0;
}

#define MAX_WORDS 16

/* Words counted with the keyword. */
static const struct {
    const char *keyword;
    int min_words;
    int max_words;
    line_parser_t parse;
} line_kinds[] = {
    {"nodes", 2, 2, parse_nodes},         {"disk", 6, MAX_WORDS, parse_disk},
    {"iscsiport", 7, 7, parse_iscsiport}, {"host", 4, MAX_WORDS, parse_host},
    {"hostpath", 4, 4, parse_hostpath},   {"vv", 3, 3, parse_vv},
    {"export", 5, 5, parse_export},
};

/* One line split into words; returns -1 with a reason for a bad line. */
static int parse_line(sysmgr_conf_t *c, char **w, int nw, const char **why)
{
    *why = "bad line";
    for (const auto &k : line_kinds)
        if (strcmp(w[0], k.keyword) == 0)
            return nw >= k.min_words && nw <= k.max_words ? k.parse(c, w, nw, why) : -1;
    return -1;
}

int sysmgr_conf_load(const char *path, int nnodes, sysmgr_conf_t *conf, char *err, size_t errlen)
{
    memset(conf, 0, sizeof *conf);
    conf->nnodes = nnodes;
    FILE *f = fopen(path, "re");
    if (f == nullptr) {
        snprintf(err, errlen, "%s: cannot open", path);
        return -1;
    }
    char line[1024];
    int lineno = 0;
    while (fgets(line, sizeof line, f)) {
        lineno++;
        char *hash = strchr(line, '#');
        if (hash)
            *hash = '\0';
        char *w[MAX_WORDS];
        int nw = 0;
        for (char *s = strtok(line, " \t\r\n"); s && nw < MAX_WORDS; s = strtok(nullptr, " \t\r\n"))
            w[nw++] = s;
        if (nw == 0)
            continue;
        const char *why = "";
        if (parse_line(conf, w, nw, &why) < 0) {
            snprintf(err, errlen, "%s:%d: %s", path, lineno, why);
            fclose(f);
            sysmgr_conf_free(conf);
            return -1;
        }
    }
    fclose(f);
    return 0;
}

void sysmgr_conf_free(sysmgr_conf_t *c)
{
    free(c->disks);
    free(c->iports);
    free(c->hosts);
    free(c->hpaths);
    free(c->vvs);
    free(c->exports);
    memset(c, 0, sizeof *c);
}

int sysmgr_export_groups(const sysmgr_conf_t *c, sm_export_group_t *out, int max)
{
    int n = 0;
    for (int i = 0; i < c->nexports; i++) {
        const sm_export_t *e = &c->exports[i];
        int g = 0;
        while (g < n) {
            const sm_export_t *f = &c->exports[out[g].first];
            if (f->vv == e->vv && f->host == e->host && f->lun == e->lun)
                break;
            g++;
        }
        if (g == n) {
            if (n == max)
                return -1;
            out[n].first = i;
            out[n].npaths = 0;
            n++;
        }
        if (out[g].npaths < (int)(sizeof out[g].paths / sizeof out[g].paths[0]))
            out[g].paths[out[g].npaths++] = i;
    }
    return n;
}
