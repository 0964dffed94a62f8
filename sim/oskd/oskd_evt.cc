/*
 * The cluster's event log: events posted with EMCMD_POST, numbered in
 * arrival order and kept for the life of the cluster. Each event is
 * appended to DIR/evt/log (length, then the event; fsynced before the post
 * is answered) so the log also survives a restart of the daemon; its
 * incarnation (DIR/evt/incn) is the time the log was first made.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "osk_errcode.h"
#include "osk_evt.h"
#include "oskd.h"
#include "osk_banned.h"

static std::string evt_dir;
static std::vector<std::string> evlog; /* events as stored, index = id - 1 */
static uint64_t eincn;
static long postfail; /* posts still to refuse */

static std::string log_path(void)
{
    return evt_dir + "/log";
}

void oskd_evt_init(const char *dir)
{
    evt_dir = std::string(dir) + "/evt";
    (void)mkdir(evt_dir.c_str(), 0755);
    std::string ip = evt_dir + "/incn";
    FILE *f = fopen(ip.c_str(), "r");
    unsigned long long v = 0;
    if (f != nullptr) {
        if (fscanf(f, "%llu", &v) != 1)
            v = 0;
        fclose(f);
    }
    if (v == 0) {
        v = (unsigned long long)time(nullptr);
        f = fopen(ip.c_str(), "w");
        if (f != nullptr) {
            fprintf(f, "%llu\n", v);
            fclose(f);
        }
    }
    eincn = v;
    f = fopen(log_path().c_str(), "rb");
    uint32_t len;
    while (f != nullptr && fread(&len, 4, 1, f) == 1 && len >= EVT_HDR_LEN &&
           len <= MAX_EVENT_LEN) {
        std::string e(len, '\0');
        if (fread(&e[0], 1, len, f) != len)
            break; /* a torn last record: the post was never answered */
        evlog.push_back(e);
    }
    if (f != nullptr)
        fclose(f);
    if (!evlog.empty())
        oskd_log("evt: %zu event(s) loaded", evlog.size());
}

static int append_to_disk(const std::string &e)
{
    int fd = open(log_path().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    std::string rec(4, '\0');
    uint32_t len = (uint32_t)e.size();
    memcpy(&rec[0], &len, 4);
    rec += e;
    ssize_t n = write(fd, rec.data(), rec.size());
    int rc = n == (ssize_t)rec.size() && fsync(fd) == 0 ? 0 : -1;
    close(fd);
    return rc;
}

int oskd_evt_post(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    if (rec->io_total < offsetof(evt_post_info_t, event) + EVT_HDR_LEN) {
        rec->io_status = TE_INVALID;
        snprintf(rec->io_ertxt, IO_ERTXT_LEN, "post record of %u bytes is too short",
                 rec->io_total);
        *err = EINVAL;
        return -1;
    }
    evt_post_info_t *p = (evt_post_info_t *)rec;
    evt_t h;
    memcpy(&h, p->event, sizeof h);
    size_t room = rec->io_total - offsetof(evt_post_info_t, event);
    rec->io_status = TE_PASS;
    if (postfail > 0) {
        postfail--;
        p->err = TE_FAIL;
        return 0;
    }
    if (h.total_len < EVT_HDR_LEN || h.total_len > MAX_EVENT_LEN || (size_t)h.total_len > room ||
        h.type <= 0 || h.type >= EVT_LAST || h.severity > EVT_SEV_DEBUG ||
        h.ordering > EVT_ORDER_MAX) {
        p->err = TE_INVALID;
        return 0;
    }
    h.id.id = (uint32_t)evlog.size() + 1;
    h.id.nid = (node_t)ca->ca_node;
    h.id.eincn = eincn;
    h.time = (uint64_t)time(nullptr);
    std::string e((const char *)p->event, (size_t)h.total_len);
    memcpy(&e[0], &h, sizeof h);
    if (append_to_disk(e) < 0) {
        oskd_log("evt: cannot append to %s: %s", log_path().c_str(), strerror(errno));
        p->err = TE_FAIL;
        return 0;
    }
    evlog.push_back(e);
    p->err = 0;
    return 0;
}

/* The text of a component text event on one line: \n, \\ and \xHH. */
static std::string escaped(const char *s, size_t max)
{
    std::string o;
    for (size_t i = 0; i < max && s[i] != '\0'; i++) {
        unsigned char c = (unsigned char)s[i];
        if (c == '\n') {
            o += "\\n";
        } else if (c == '\\') {
            o += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char h[8];
            snprintf(h, sizeof h, "\\x%02x", c);
            o += h;
        } else {
            o += (char)c;
        }
    }
    return o;
}

/*
 *   evt list [FROM]   one line per event with id >= FROM:
 *                     "evt ID NODE TIME SEV CLASS TYPE ORDER CTYPE CID TEXT"
 *                     (CTYPE -1 and no text when the event has none);
 *                     "more ID" when the reply is full; then "end"
 *   evt count         "count N"
 *   evt postfail N    the next N posts are refused (err TE_FAIL)
 */
int oskd_evt_control(char **args, int nargs, char *reply, size_t replylen)
{
    size_t used = 0;
    reply[0] = '\0';
    const char *sub = nargs > 0 ? args[0] : "";
    if (strcmp(sub, "count") == 0) {
        oskd_reply_append(reply, replylen, &used, "count %zu\n", evlog.size());
        return 0;
    }
    if (strcmp(sub, "postfail") == 0 && nargs == 2) {
        postfail = atol(args[1]);
        oskd_reply_append(reply, replylen, &used, "ok\n");
        return 0;
    }
    if (strcmp(sub, "list") == 0) {
        long from = nargs >= 2 ? atol(args[1]) : 1;
        for (size_t i = from > 1 ? (size_t)from - 1 : 0; i < evlog.size(); i++) {
            const std::string &e = evlog[i];
            evt_t h;
            memcpy(&h, e.data(), sizeof h);
            int ctype = -1;
            unsigned long long cid = 0;
            std::string text;
            if (e.size() > EVT_COMP_TEXT_OFF) {
                evt_comp_str_t c;
                memset(&c, 0, sizeof c);
                memcpy(&c, e.data(), e.size());
                ctype = c.component_type;
                cid = c.component_id;
                text = escaped(c.text, e.size() - EVT_COMP_TEXT_OFF);
            }
            char line[1400];
            snprintf(line, sizeof line, "evt %u %u %llu %u %u %d %u %d %llu %s\n", h.id.id,
                     h.id.nid, (unsigned long long)h.time, h.severity, h.evt_class, h.type,
                     h.ordering, ctype, cid, text.c_str());
            if (used + strlen(line) + 32 >= replylen) {
                oskd_reply_append(reply, replylen, &used, "more %u\n", h.id.id);
                break;
            }
            oskd_reply_append(reply, replylen, &used, "%s", line);
        }
        oskd_reply_append(reply, replylen, &used, "end\n");
        return 0;
    }
    oskd_reply_append(reply, replylen, &used,
                      "error usage: evt list [FROM] | count | postfail N\n");
    return -1;
}
