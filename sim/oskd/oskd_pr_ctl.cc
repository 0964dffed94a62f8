/*
 * The persistent repository: its control requests ("pr ..."). See
 * oskd_pr.h.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "oskd_pr.h"
#include "osk_banned.h"

/* Control requests */

static std::string hex(const std::string &s)
{
    static const char d[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += d[c >> 4];
        h += d[c & 15];
    }
    return h.empty() ? "-" : h;
}

/*
 *   pr fault OP ERR COUNT [SKIP]  the next COUNT OP requests after SKIP are
 *                                 answered ERR (OP: lookup, release,
 *                                 removetable, start, commit, rollback,
 *                                 read, set, remove, next)
 *   pr writefail COUNT            the next COUNT replica writes fail
 *   pr clear                      no more injected answers
 *   pr tables                     "table NAME keys=K gen=G", then "end"
 *   pr dump NAME [SKIP]           "HEXKEY HEXVALUE" per entry from SKIP on;
 *                                 "more N" when the reply is full; "end"
 *   pr trans                      "trans ID node=N pid=P mode=M", then "end"
 */
int oskd_pr_control(char **args, int nargs, char *reply, size_t replylen)
{
    size_t used = 0;
    reply[0] = '\0';
    const char *sub = nargs > 0 ? args[0] : "";
    if (strcmp(sub, "fault") == 0 && nargs >= 4) {
        for (int op = 0; op < OP_COUNT; op++) {
            if (strcmp(args[1], pr_op_names[op]) == 0) {
                pr_faults[op].err = atoi(args[2]);
                pr_faults[op].count = atol(args[3]);
                pr_faults[op].skip = nargs >= 5 ? atol(args[4]) : 0;
                oskd_reply_append(reply, replylen, &used, "ok\n");
                return 0;
            }
        }
        oskd_reply_append(reply, replylen, &used, "error unknown operation %s\n", args[1]);
        return -1;
    }
    if (strcmp(sub, "writefail") == 0 && nargs == 2) {
        pr_writefail = atol(args[1]);
        oskd_reply_append(reply, replylen, &used, "ok\n");
        return 0;
    }
    if (strcmp(sub, "clear") == 0) {
        memset(pr_faults, 0, sizeof pr_faults);
        pr_writefail = 0;
        oskd_reply_append(reply, replylen, &used, "ok\n");
        return 0;
    }
    if (strcmp(sub, "tables") == 0) {
        for (const auto &t : pr_table_by_name)
            oskd_reply_append(reply, replylen, &used, "table %s keys=%zu gen=%llu\n",
                              t.first.c_str(), pr_tables[t.second].kv.size(),
                              (unsigned long long)pr_tables[t.second].gen);
        oskd_reply_append(reply, replylen, &used, "end\n");
        return 0;
    }
    if (strcmp(sub, "trans") == 0) {
        for (const auto &x : pr_transactions)
            oskd_reply_append(reply, replylen, &used, "trans %u node=%d pid=%d mode=%d\n", x.first,
                              oskd.st_procs[x.second.proc].pr_node,
                              (int)oskd.st_procs[x.second.proc].pr_pid, x.second.mode);
        oskd_reply_append(reply, replylen, &used, "end\n");
        return 0;
    }
    if (strcmp(sub, "dump") == 0 && nargs >= 2) {
        auto it = pr_table_by_name.find(args[1]);
        if (it == pr_table_by_name.end()) {
            oskd_reply_append(reply, replylen, &used, "error no table %.64s\n", args[1]);
            return -1;
        }
        long skip = nargs >= 3 ? atol(args[2]) : 0, i = 0;
        for (const auto &e : pr_tables[it->second].kv) {
            if (i++ < skip)
                continue;
            std::string line = hex(e.first) + " " + hex(e.second) + "\n";
            if (used + line.size() + 32 >= replylen) {
                oskd_reply_append(reply, replylen, &used, "more %ld\n", i - 1);
                break;
            }
            oskd_reply_append(reply, replylen, &used, "%s", line.c_str());
        }
        oskd_reply_append(reply, replylen, &used, "end\n");
        return 0;
    }
    oskd_reply_append(
        reply, replylen, &used,
        "error usage: pr fault OP ERR COUNT [SKIP] | writefail N | clear | tables | dump "
        "NAME [SKIP] | trans\n");
    return -1;
}
