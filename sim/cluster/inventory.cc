/*
 * The export inventory as the new release reads it. See inventory.h.
 */
#include "inventory.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "sim_util.h"
#include "osk_banned.h"

/* One line, taken field by field in the order the update driver prints it;
 * the first mismatch sets ok to false and every later step fails too. */
struct line_cursor {
    const char *p;
    bool ok = true;

    bool lit(const char *s)
    {
        size_t n = strlen(s);
        ok = ok && strncmp(p, s, n) == 0;
        if (ok)
            p += n;
        return ok;
    }
    /* "%d" ("%-Wd" when width: blanks pad the number to W characters). */
    long num(int width = 0)
    {
        const char *start = p;
        if (ok && *p == '-')
            p++;
        ok = ok && isdigit((unsigned char)*p);
        long v = 0;
        while (ok && isdigit((unsigned char)*p) && v < 1000000000)
            v = v * 10 + (*p++ - '0');
        ok = ok && !isdigit((unsigned char)*p);
        while (ok && p - start < width && *p == ' ')
            p++;
        return *start == '-' ? -v : v;
    }
    /* Exactly digits hexadecimal digits ("%016llx"), or at least one. */
    void hex(int digits = 0)
    {
        const char *start = p;
        while (ok && isxdigit((unsigned char)*p) && !isupper((unsigned char)*p))
            p++;
        ok = ok && p > start && (digits == 0 || p - start == digits);
    }
    /* "N:S:P" */
    void port(int *n, int *s, int *pt)
    {
        *n = (int)num();
        lit(":");
        *s = (int)num();
        lit(":");
        *pt = (int)num();
    }
    void ip(const char *label)
    {
        lit(label);
        for (int i = 0; i < 4 && ok; i++) {
            if (i)
                lit(".");
            long b = num();
            ok = ok && b >= 0 && b <= 255;
        }
    }
    /* "LABEL\"TEXT\"": the writer does not escape, so TEXT ends at the
     * next quote. */
    std::string quoted(const char *label)
    {
        lit(label);
        lit("\"");
        const char *end = ok ? strchr(p, '"') : nullptr;
        ok = ok && end != nullptr;
        if (!ok)
            return "";
        std::string s(p, (size_t)(end - p));
        p = end + 1;
        return s;
    }
    void end(void)
    {
        lit("\n");
        ok = ok && *p == '\0';
    }
};

static void mark(line_cursor *c)
{
    c->ok = c->ok && (*c->p == '*' || *c->p == '?' || *c->p == ' ');
    if (c->ok)
        c->p++;
}

static bool disk_line(const char *line)
{
    line_cursor c{line};
    int n, s, p;
    c.lit("DISK PD=");
    c.num(4);
    c.lit(" WWN=");
    c.hex(16);
    c.lit(" PORTA=");
    c.port(&n, &s, &p);
    mark(&c);
    c.lit(" PORTB=");
    c.port(&n, &s, &p);
    mark(&c);
    c.lit(" CAGE=");
    c.port(&n, &s, &p);
    c.end();
    return c.ok;
}

static bool iscsi_line(const char *line)
{
    line_cursor c{line};
    int n, s, p;
    c.lit("ISCSI HBA PORT=");
    c.port(&n, &s, &p);
    c.lit(" TPGT=");
    c.num();
    c.ip(" IPADDR=");
    c.ip(" NETMASK=");
    c.ip(" GW=");
    c.lit(" TCPPORT=");
    c.num();
    c.lit(" MTU=");
    c.num();
    c.lit(" DHCP=");
    c.num();
    c.ip(" ISNS=");
    c.lit(" ISNSPORT=");
    c.num();
    c.quoted(" ISCSINAME=");
    c.end();
    return c.ok;
}

/* An export line; its path's key in *key and its node in *node. */
static bool export_line(const char *line, std::string *key, int *node)
{
    line_cursor c{line};
    int s, p;
    c.lit("EXPORT HWWN=0x");
    c.hex(16);
    c.lit(" VWWN=");
    c.hex(16);
    c.lit(" LUN=");
    long lun = c.num(4);
    c.lit(" PPARAMS=");
    c.hex(16);
    c.lit(" PORT=");
    c.port(node, &s, &p);
    std::string host = c.quoted(" HOST=");
    std::string vv = c.quoted(" VV=");
    if (c.ok && strncmp(c.p, " ISCSINAME=", 11) == 0) {
        c.quoted(" ISCSINAME=");
        /* The host's addresses and CHAP follow when the manager answered. */
        while (c.ok && strncmp(c.p, " IPADDR=", 8) == 0)
            c.ip(" IPADDR=");
        if (c.ok && *c.p == ' ') {
            c.lit(" CHAPHOSTID=");
            c.num();
            c.quoted(" CHAPHOSTNAME=");
            c.lit(" CHAPFLAGS=");
            c.hex();
            c.quoted(" CHAPNAME=");
            c.lit(" CHAPSECRET=\"");
            c.hex(34);
            c.lit("\"");
            c.quoted(" TARGETCHAPNAME=");
            c.lit(" TARGETCHAPSECRET=\"");
            c.hex(34);
            c.lit("\"");
        }
    }
    c.end();
    c.ok = c.ok && lun >= 0;
    if (c.ok)
        *key = inventory_path_key(vv.c_str(), host.c_str(), (unsigned)lun, *node, s, p);
    return c.ok;
}

std::string inventory_path_key(const char *vv, const char *host, unsigned lun, int node, int slot,
                               int port)
{
    char t[32];
    snprintf(t, sizeof t, " %u %d:%d:%d", lun, node, slot, port);
    return std::string(vv) + " " + host + t;
}

int inventory_read(const char *path, int node, std::set<std::string> *paths, std::string *why)
{
    FILE *f = fopen(path, "re");
    if (f == nullptr) {
        *why = errno == ENOENT ? "missing" : std::string("unreadable: ") + strerror(errno);
        return -1;
    }
    std::set<std::string> found;
    /* Longer than any line the driver writes: a longer one is damage. */
    char line[4096];
    int no = 0;
    bool ok = true;
    while (ok && fgets(line, sizeof line, f)) {
        no++;
        std::string key;
        int n;
        if (no == 1) {
            line_cursor c{line};
            c.lit("VERSION ");
            long v = c.num();
            c.end();
            if (c.ok && v != INVENTORY_VERSION) {
                *why = "of version " + std::to_string(v);
                fclose(f);
                return -1;
            }
            ok = c.ok;
        } else if (strncmp(line, "DISK ", 5) == 0) {
            ok = disk_line(line);
        } else if (strncmp(line, "ISCSI ", 6) == 0) {
            ok = iscsi_line(line);
        } else {
            ok = export_line(line, &key, &n);
            if (ok && n == node)
                found.insert(key);
        }
    }
    bool read_error = ferror(f);
    fclose(f);
    if (no == 0 || !ok || read_error) {
        *why = no == 0 ? "empty" : "damaged at line " + std::to_string(no);
        return -1;
    }
    paths->insert(found.begin(), found.end());
    return 0;
}

static std::string presenting_file(const char *dir)
{
    return std::string(dir) + "/run/presenting";
}

int presenting_write(const char *dir, const presenting_t &p)
{
    std::string text;
    for (int n = 0; n < 8; n++)
        if (p.nodes & (1u << n))
            text += "node " + std::to_string(n) + "\n";
    for (const std::string &k : p.paths)
        text += "path " + k + "\n";
    std::string path = presenting_file(dir), tmp = path + ".new";
    if (sim_write_file(tmp.c_str(), text.c_str(), 0644) < 0 || rename(tmp.c_str(), path.c_str()))
        return -1;
    return 0;
}

void presenting_clear(const char *dir)
{
    (void)unlink(presenting_file(dir).c_str());
}

void presenting_load(const char *dir, presenting_t *p)
{
    *p = presenting_t();
    FILE *f = fopen(presenting_file(dir).c_str(), "re");
    if (f == nullptr)
        return;
    char line[1024];
    int n;
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\n")] = '\0';
        if (sscanf(line, "node %d", &n) == 1 && n >= 0 && n < 8)
            p->nodes |= 1u << n;
        else if (strncmp(line, "path ", 5) == 0)
            p->paths.insert(line + 5);
    }
    fclose(f);
}
