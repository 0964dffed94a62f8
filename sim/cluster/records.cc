/*
 * osk-cluster events [--follow] and osk-cluster history: what an operator
 * reads after an update, from the module daemon's event log and its
 * persistent repository table "update_history".
 */
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>

#include "osk_evt.h"
#include "records.h"
#include "sim_wire.h"
#include "osk_banned.h"

#define REPLY_MAX 65536

/* One control request: 0, 1 when the daemon answered an error (printed
 * unless quiet), -1 when it does not answer. */
static int ctl(const char *dir, const char *line, std::string *out, int quiet = 0)
{
    char sock[PATH_MAX];
    snprintf(sock, sizeof sock, "%s/ctl.sock", dir);
    static char reply[REPLY_MAX];
    int rc = sim_line_request(sock, line, reply, sizeof reply, 10000);
    *out = reply;
    if (rc < 0) {
        fprintf(stderr, "osk-cluster: the module daemon of %s does not answer\n", dir);
        return -1;
    }
    if (rc > 0 && !quiet)
        fprintf(stderr, "osk-cluster: %s", reply);
    return rc;
}

static const char *severity_name(unsigned s)
{
    static const char *const names[] = {"fatal",    "critical", "major", "minor",
                                        "degraded", "info",     "debug"};
    return s < sizeof names / sizeof names[0] ? names[s] : "?";
}

static const char *class_name(unsigned c)
{
    static const char *const names[] = {"System manager",
                                        "Alert",
                                        "Addition to configuration",
                                        "Removal from configuration",
                                        "Modification to configuration",
                                        "Status change",
                                        "Operational",
                                        "Notification",
                                        "Debug",
                                        "Toc server",
                                        "Svc alert",
                                        "Undefined"};
    for (unsigned i = 0; i < sizeof names / sizeof names[0]; i++)
        if (c == 1u << i)
            return names[i];
    return "?";
}

/* The operator's names of the event types and components this system
 * posts; others by number. */
static std::string type_name(int type)
{
    switch (type) {
    case EVT_NOTIFY_COMP:
        return "evt_notify_comp";
    case EVT_SOFTWARE_UPDATE:
        return "evt_software_update";
    default:
        return "type_" + std::to_string(type);
    }
}

static std::string component_name(int ctype)
{
    if (ctype < 0)
        return "-";
    return ctype == COMP_SW_SYSMGR ? "system_manager" : "comp_" + std::to_string(ctype);
}

static std::string unescape(const std::string &s)
{
    std::string o;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            o += s[i];
        } else if (s[i + 1] == 'n') {
            o += '\n';
            i++;
        } else if (s[i + 1] == 'x' && i + 3 < s.size()) {
            o += (char)strtol(s.substr(i + 2, 2).c_str(), nullptr, 16);
            i += 3;
        } else {
            o += s[++i];
        }
    }
    while (!o.empty() && o.back() == '\n')
        o.pop_back();
    return o;
}

/* Prints the events from id `from` on; returns the next id to ask for, or
 * -1 when the daemon does not answer. */
static long print_events(const char *dir, long from, int *printed_header)
{
    for (;;) {
        std::string out;
        char req[64];
        snprintf(req, sizeof req, "evt list %ld", from);
        if (ctl(dir, req, &out) != 0)
            return -1;
        long more = 0;
        for (size_t at = 0; at < out.size();) {
            size_t nl = out.find('\n', at);
            std::string line = out.substr(at, nl == std::string::npos ? nl : nl - at);
            at = nl == std::string::npos ? out.size() : nl + 1;
            unsigned id, node, sev, cls, order;
            unsigned long long t, cid;
            int type, ctype, off = 0;
            if (sscanf(line.c_str(), "more %ld", &more) == 1)
                break;
            if (sscanf(line.c_str(), "evt %u %u %llu %u %u %d %u %d %llu %n", &id, &node, &t, &sev,
                       &cls, &type, &order, &ctype, &cid, &off) < 9 ||
                off == 0)
                continue;
            if (!*printed_header) {
                printf("%-5s %-19s %-4s %-8s %-14s %-20s %-15s %s\n", "ID", "TIME", "NODE",
                       "SEVERITY", "CLASS", "TYPE", "COMPONENT", "TEXT");
                *printed_header = 1;
            }
            time_t tt = (time_t)t;
            char when[32];
            strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime(&tt));
            std::string tname = type_name(type), cname = component_name(ctype);
            printf("%-5u %-19s %-4u %-8s %-14s %-20s %-15s %s\n", id, when, node,
                   severity_name(sev), class_name(cls), tname.c_str(), cname.c_str(),
                   unescape(line.substr((size_t)off)).c_str());
            from = (long)id + 1;
        }
        fflush(stdout);
        if (more == 0)
            return from;
        from = more;
    }
}

int cluster_cmd_events(const char *dir, int argc, char **argv)
{
    int follow = argc == 3 && strcmp(argv[2], "--follow") == 0;
    if (argc > 3 || (argc == 3 && !follow)) {
        fprintf(stderr, "usage: osk-cluster events [--follow]\n");
        return 2;
    }
    int header = 0;
    long next = print_events(dir, 1, &header);
    if (next < 0)
        return 1;
    if (!header && !follow)
        printf("no events\n");
    while (follow) {
        usleep(500000);
        next = print_events(dir, next, &header);
        if (next < 0)
            return 1;
    }
    return 0;
}

static std::string unhex(const std::string &h)
{
    std::string o;
    if (h == "-")
        return o;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        o += (char)strtol(h.substr(i, 2).c_str(), nullptr, 16);
    return o;
}

static int read_table(const char *dir, const char *name, std::map<std::string, std::string> *kv)
{
    long skip = 0;
    for (;;) {
        char req[160];
        snprintf(req, sizeof req, "pr dump %s %ld", name, skip);
        std::string out;
        int rc = ctl(dir, req, &out, 1);
        if (rc != 0)
            return rc < 0 ? -1 : 0; /* no such table: nothing recorded yet */
        long more = 0;
        for (size_t at = 0; at < out.size();) {
            size_t nl = out.find('\n', at);
            std::string line = out.substr(at, nl == std::string::npos ? nl : nl - at);
            at = nl == std::string::npos ? out.size() : nl + 1;
            if (sscanf(line.c_str(), "more %ld", &more) == 1)
                break;
            size_t sp = line.find(' ');
            if (sp != std::string::npos && line != "end")
                (*kv)[unhex(line.substr(0, sp))] = unhex(line.substr(sp + 1));
        }
        if (more == 0)
            return 0;
        skip = more;
    }
}

static int int_of(const std::map<std::string, std::string> &kv, const std::string &key, int dflt)
{
    auto it = kv.find(key);
    if (it == kv.end() || it->second.size() != 4)
        return dflt;
    int32_t v;
    memcpy(&v, it->second.data(), 4);
    return v;
}

static std::string text_of(const std::map<std::string, std::string> &kv, const std::string &key)
{
    auto it = kv.find(key);
    return it == kv.end() ? "?" : std::string(it->second.c_str());
}

int cluster_cmd_history(const char *dir, int argc, char **)
{
    if (argc != 2) {
        fprintf(stderr, "usage: osk-cluster history\n");
        return 2;
    }
    std::map<std::string, std::string> kv;
    if (read_table(dir, "update_history", &kv) < 0)
        return 1;
    int last = int_of(kv, "last_id", -1);
    if (last < 0) {
        printf("no updates recorded\n");
        return 0;
    }
    printf("%-4s %-19s %-20s %-20s %-16s %s\n", "ID", "TIME", "PACKAGE", "VERSION", "RELEASE",
           "PIVOT");
    for (int id = 0; id <= last; id++) {
        std::string n = std::to_string(id);
        time_t t = (time_t)(uint32_t)int_of(kv, "time_" + n, 0);
        char when[32];
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime(&t));
        int pivot = int_of(kv, "did_pivot_" + n, -1);
        printf("%-4d %-19s %-20s %-20s %-16s %s\n", id, when, text_of(kv, "package_" + n).c_str(),
               text_of(kv, "version_" + n).c_str(), text_of(kv, "releaseversion_" + n).c_str(),
               pivot == 1   ? "yes"
               : pivot == 0 ? "no"
                            : "?");
    }
    return 0;
}
