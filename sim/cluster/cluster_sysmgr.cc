/*
 * osk-cluster up/status/exports/sysmgr for the system manager stand-in.
 * See cluster_sysmgr.h.
 */
#include "cluster_sysmgr.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "inventory.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "sysmgr.h"
#include "sysmgr_listen.h"
#include "osk_banned.h"

static int g_no_sysmgr;
static const char *g_conf_file;

int sysmgr_up_option(int argc, char **argv, int *i)
{
    if (strcmp(argv[*i], "--no-sysmgr") == 0) {
        g_no_sysmgr = 1;
        return 1;
    }
    if (strcmp(argv[*i], "--sysmgr-conf") == 0 && *i + 1 < argc) {
        g_conf_file = argv[++*i];
        return 1;
    }
    return 0;
}

static void run_file(const char *dir, const char *name, char *buf, size_t size)
{
    snprintf(buf, size, "%s/run/%s", dir, name);
}

int sysmgr_prepare(const char *dir, const char *bindir, int nnodes)
{
    char src[PATH_MAX], dst[PATH_MAX], err[512];
    if (g_conf_file != nullptr)
        snprintf(src, sizeof src, "%s", g_conf_file);
    else
        snprintf(src, sizeof src, "%s/osk-sysmgr.conf", bindir);
    /* Checked here, where the operator sees the message, not in the node. */
    sysmgr_conf_t c;
    if (sysmgr_conf_load(src, nnodes, &c, err, sizeof err) < 0) {
        fprintf(stderr, "osk-cluster: system manager configuration %s\n", err);
        return -1;
    }
    sysmgr_conf_free(&c);
    std::string text = "nodes " + std::to_string(nnodes) + "\n";
    FILE *f = fopen(src, "re");
    char line[1024];
    while (f != nullptr && fgets(line, sizeof line, f))
        text += line;
    if (f != nullptr)
        fclose(f);
    run_file(dir, "sysmgr.conf", dst, sizeof dst);
    if (sim_write_file(dst, text.c_str(), 0644) < 0) {
        fprintf(stderr, "osk-cluster: %s: %s\n", dst, strerror(errno));
        return -1;
    }
    run_file(dir, "", dst, sizeof dst);
    if (sysmgr_make_cert(dst) < 0)
        return -1;
    run_file(dir, "sysmgr.off", dst, sizeof dst);
    if (g_no_sysmgr && sim_write_file(dst, "", 0644) < 0) {
        fprintf(stderr, "osk-cluster: %s: %s\n", dst, strerror(errno));
        return -1;
    }
    return 0;
}

/* Nodes online and integrated, from the module daemon; -1 when it does not
 * answer. */
static int served_nodes(const char *dir)
{
    char sock[PATH_MAX], reply[4096];
    snprintf(sock, sizeof sock, "%s/ctl.sock", dir);
    if (sim_line_request(sock, "status", reply, sizeof reply, 5000) != 0)
        return -1;
    int mask = 0;
    for (char *l = strtok(reply, "\n"); l; l = strtok(nullptr, "\n")) {
        int n, pr, on, in, ma;
        if (sscanf(l, "node %d present=%d online=%d integrated=%d master=%d", &n, &pr, &on, &in,
                   &ma) == 5 &&
            n >= 0 && n < 8 && on && in)
            mask |= 1 << n;
    }
    return mask;
}

/* The node serving OSKMCAL, or -1. */
static int sysmgr_node(const char *dir)
{
    char sock[PATH_MAX], reply[16384];
    snprintf(sock, sizeof sock, "%s/ctl.sock", dir);
    if (sim_line_request(sock, "ipc", reply, sizeof reply, 5000) != 0)
        return -1;
    for (char *l = strtok(reply, "\n"); l; l = strtok(nullptr, "\n")) {
        int node, pid;
        unsigned h;
        if (sscanf(l, "name OSKMCAL handle 0x%x primary %d:%d", &h, &node, &pid) == 3 && node >= 0)
            return node;
    }
    return -1;
}

static int load(const char *dir, sysmgr_conf_t *c)
{
    char p[PATH_MAX], err[512];
    run_file(dir, "sysmgr.conf", p, sizeof p);
    if (sysmgr_conf_load(p, 8, c, err, sizeof err) < 0) {
        fprintf(stderr, "osk-cluster: system manager configuration %s\n", err);
        return -1;
    }
    return 0;
}

#define MAX_GROUPS 1024

/* Prints the exports (all, or only the unserved ones) and returns the
 * number not served, -1 when the cluster cannot be read. */
static int list_exports(const char *dir, int all, int summary)
{
    sysmgr_conf_t c;
    if (load(dir, &c) < 0)
        return -1;
    int mask = served_nodes(dir);
    if (mask < 0) {
        fprintf(stderr, "osk-cluster: the module daemon does not answer\n");
        sysmgr_conf_free(&c);
        return -1;
    }
    /* During a rolling upgrade the expedition serves only what it presents. */
    presenting_t present;
    presenting_load(dir, &present);
    static sm_export_group_t g[MAX_GROUPS];
    int ng = sysmgr_export_groups(&c, g, MAX_GROUPS);
    int unserved = 0;
    for (int i = 0; i < ng; i++) {
        const sm_export_t *e = &c.exports[g[i].first];
        std::string paths;
        int served = 0;
        for (int k = 0; k < g[i].npaths; k++) {
            const sm_export_t *x = &c.exports[g[i].paths[k]];
            lpid_t l = x->lpid;
            int n = LPID_NODE(l);
            served |=
                (mask >> n & 1) &&
                (!(present.nodes >> n & 1) ||
                 present.paths.count(inventory_path_key(c.vvs[x->vv].name, c.hosts[x->host].name,
                                                        x->lun, n, LPID_SLOT(l), LPID_PORT(l))));
            char t[16];
            snprintf(t, sizeof t, "%s%d:%d:%d", k ? "," : "", LPID_NODE(l), LPID_SLOT(l),
                     LPID_PORT(l));
            paths += t;
        }
        unserved += !served;
        if (all || !served)
            printf("export %s %s %u paths=%s served=%d\n", c.vvs[e->vv].name, c.hosts[e->host].name,
                   e->lun, paths.c_str(), served);
    }
    if (summary)
        printf("exports %d served %d unserved %d\n", ng, ng - unserved, unserved);
    sysmgr_conf_free(&c);
    return unserved;
}

void sysmgr_status(const char *dir)
{
    char p[PATH_MAX];
    run_file(dir, "sysmgr.off", p, sizeof p);
    int node = sysmgr_node(dir);
    if (access(p, F_OK) == 0)
        printf("sysmgr=off\n");
    else if (node < 0)
        printf("sysmgr=down\n");
    else
        printf("sysmgr=up node=%d\n", node);
    int unserved = list_exports(dir, 0, 0);
    if (unserved >= 0)
        printf("unserved exports: %d\n", unserved);
}

int cmd_exports(const char *dir, int argc, char **)
{
    if (argc != 2) {
        fprintf(stderr, "usage: osk-cluster exports\n");
        return 2;
    }
    return list_exports(dir, 1, 1) < 0 ? 1 : 0;
}

/* s in single quotes for a POSIX shell. */
static std::string shell_quoted(const char *s)
{
    std::string q = "'";
    for (; *s; s++)
        q += *s == '\'' ? std::string("'\\''") : std::string(1, *s);
    return q + "'";
}

int cmd_env(const char *dir, int argc, char **)
{
    if (argc != 2) {
        fprintf(stderr, "usage: osk-cluster env\n");
        return 2;
    }
    char p[PATH_MAX], text[32] = "";
    run_file(dir, "sysmgr.port", p, sizeof p);
    char *end = nullptr;
    long port = sim_read_file(p, text, sizeof text) > 0 ? strtol(text, &end, 10) : 0;
    if (sysmgr_node(dir) < 0 || port < 1 || port > 65535 || (*end != '\n' && *end != '\0')) {
        fprintf(stderr, "osk-cluster: the system manager of %s does not listen\n", dir);
        return 1;
    }
    run_file(dir, "sysmgr.crt", p, sizeof p);
    printf("export OSK_MCALL_PORT=%ld\nexport OSK_MCALL_CAFILE=%s\n", port,
           shell_quoted(p).c_str());
    return 0;
}

static int set_knob(const char *dir, const char *name, const char *value)
{
    static const char *const known[] = {"slow_start", "refuse_shutdown", "ping_version",
                                        "mcall_version"};
    int ok = 0;
    for (const char *k : known)
        ok |= strcmp(k, name) == 0;
    char *end;
    long v = strtol(value, &end, 10);
    if (!ok || !*value || *end) {
        fprintf(stderr, "osk-cluster: unknown knob or bad value: %s %s\n", name, value);
        return 2;
    }
    char p[PATH_MAX], old[4096] = "";
    run_file(dir, "sysmgr.knobs", p, sizeof p);
    (void)sim_read_file(p, old, sizeof old);
    std::string text;
    for (char *l = strtok(old, "\n"); l; l = strtok(nullptr, "\n"))
        if (strncmp(l, name, strlen(name)) != 0 || l[strlen(name)] != ' ')
            text += std::string(l) + "\n";
    text += std::string(name) + " " + std::to_string(v) + "\n";
    if (sim_write_file(p, text.c_str(), 0644) < 0) {
        fprintf(stderr, "osk-cluster: %s: %s\n", p, strerror(errno));
        return 1;
    }
    return 0;
}

int cmd_sysmgr(const char *dir, int argc, char **argv)
{
    char p[PATH_MAX], buf[65536];
    if (argc == 5 && strcmp(argv[2], "set") == 0)
        return set_knob(dir, argv[3], argv[4]);
    if (argc == 3 && strcmp(argv[2], "clear") == 0) {
        run_file(dir, "sysmgr.knobs", p, sizeof p);
        return unlink(p) < 0 && errno != ENOENT ? 1 : 0;
    }
    if (argc == 3 && strcmp(argv[2], "journal") == 0) {
        run_file(dir, "sysmgr.journal", p, sizeof p);
        if (sim_read_file(p, buf, sizeof buf) > 0)
            fputs(buf, stdout);
        return 0;
    }
    fprintf(stderr, "usage: osk-cluster sysmgr set KNOB VALUE | clear | journal\n");
    return 2;
}
