/*
 * The persistent repository: its tables and their replica files. See
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

#include "osk_pr.h"
#include "oskd_pr.h"
#include "sim_util.h"
#include "osk_banned.h"

const char *const pr_op_names[OP_COUNT] = {"lookup",   "release", "removetable", "start",  "commit",
                                           "rollback", "read",    "set",         "remove", "next"};

std::string pr_dir;
std::map<uint32_t, pr_table_t> pr_tables;
std::map<std::string, uint32_t> pr_table_by_name;
std::map<uint32_t, pr_trans_t> pr_transactions;
uint32_t pr_next_table = 1;
uint32_t pr_next_trans = 1;
int32_t pr_incarnation;
pr_fault_t pr_faults[OP_COUNT];
long pr_writefail;

/* Replica files */

std::string oskd_pr_replica_dir(int node)
{
    return pr_dir + "/node" + std::to_string(node);
}

std::string oskd_pr_table_file(const std::string &name)
{
    char f[3 * PR_TABLE_NAME_LEN + 8];
    sim_flat_name(name.c_str(), name.size(), f, sizeof f);
    return std::string(f) + ".tbl";
}

#define TBL_MAGIC "OSKPRT1\n"

static void put_u32(std::string &s, uint32_t v)
{
    s.append((const char *)&v, 4);
}

static std::string serialise(const pr_table_t &t)
{
    std::string s(TBL_MAGIC);
    s.append((const char *)&t.gen, 8);
    put_u32(s, (uint32_t)t.name.size());
    s += t.name;
    put_u32(s, (uint32_t)t.kv.size());
    for (const auto &e : t.kv) {
        put_u32(s, (uint32_t)e.first.size());
        s += e.first;
        put_u32(s, (uint32_t)e.second.size());
        s += e.second;
    }
    return s;
}

static bool get_bytes(const std::string &s, size_t *at, size_t n, std::string *out)
{
    if (*at + n > s.size())
        return false;
    out->assign(s, *at, n);
    *at += n;
    return true;
}

static bool get_u32(const std::string &s, size_t *at, uint32_t *v)
{
    std::string b;
    if (!get_bytes(s, at, 4, &b))
        return false;
    memcpy(v, b.data(), 4);
    return true;
}

static bool deserialise(const std::string &s, pr_table_t *t)
{
    size_t at = strlen(TBL_MAGIC);
    std::string b;
    uint32_t n;
    if (s.compare(0, at, TBL_MAGIC) != 0 || !get_bytes(s, &at, 8, &b))
        return false;
    memcpy(&t->gen, b.data(), 8);
    if (!get_u32(s, &at, &n) || n >= PR_TABLE_NAME_LEN || !get_bytes(s, &at, n, &t->name) ||
        !get_u32(s, &at, &n))
        return false;
    for (uint32_t i = 0; i < n; i++) {
        uint32_t kl, vl;
        std::string k, v;
        if (!get_u32(s, &at, &kl) || !get_bytes(s, &at, kl, &k) || !get_u32(s, &at, &vl) ||
            !get_bytes(s, &at, vl, &v))
            return false;
        t->kv[k] = v;
    }
    return at == s.size();
}

/* Writes path.new and fsyncs it; 0, or -1 (nothing left behind). */
static int write_new(const std::string &path, const std::string &data)
{
    std::string tmp = path + ".new";
    if (pr_writefail > 0) {
        pr_writefail--;
        oskd_log("pr: write of %s failed (injected)", tmp.c_str());
        return -1;
    }
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    if (sim_write_full(fd, data.data(), data.size()) < 0 || fsync(fd) < 0) {
        close(fd);
        (void)unlink(tmp.c_str());
        return -1;
    }
    return close(fd) == 0 ? 0 : -1;
}

static void sync_dir(const std::string &dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        close(fd);
    }
}

/* Writes the tables to the replicas of the nodes in mask: every new file
 * first, then the renames, so a failure changes no replica. */
int oskd_pr_persist(const std::vector<const pr_table_t *> &tbls, cluster_t mask)
{
    std::vector<std::string> done;
    for (int n = 0; n < oskd.st_nnodes; n++) {
        if (!(mask & (1u << n)))
            continue;
        std::string d = oskd_pr_replica_dir(n);
        (void)mkdir(pr_dir.c_str(), 0755);
        (void)mkdir(d.c_str(), 0755);
        for (const pr_table_t *t : tbls) {
            std::string p = d + "/" + oskd_pr_table_file(t->name);
            if (write_new(p, serialise(*t)) < 0) {
                oskd_log("pr: cannot write %s: %s", p.c_str(), strerror(errno));
                for (const std::string &q : done)
                    (void)unlink((q + ".new").c_str());
                return -1;
            }
            done.push_back(p);
        }
    }
    for (const std::string &p : done)
        if (rename((p + ".new").c_str(), p.c_str()) < 0)
            oskd_log("pr: rename %s: %s", p.c_str(), strerror(errno));
    for (int n = 0; n < oskd.st_nnodes; n++)
        if (mask & (1u << n))
            sync_dir(oskd_pr_replica_dir(n));
    return 0;
}

static void load_replicas(void)
{
    for (int n = 0; n < OSK_MAX_NODES; n++) {
        std::string d = oskd_pr_replica_dir(n);
        DIR *dp = opendir(d.c_str());
        if (dp == nullptr)
            continue;
        struct dirent *de;
        while ((de = readdir(dp)) != nullptr) {
            size_t l = strlen(de->d_name);
            if (l < 5 || strcmp(de->d_name + l - 4, ".tbl") != 0)
                continue;
            std::string path = d + "/" + de->d_name, data;
            FILE *f = fopen(path.c_str(), "rb");
            char buf[8192];
            size_t r;
            while (f != nullptr && (r = fread(buf, 1, sizeof buf, f)) > 0)
                data.append(buf, r);
            if (f != nullptr)
                fclose(f);
            pr_table_t t;
            t.gen = 0;
            if (!deserialise(data, &t)) {
                oskd_log("pr: %s is damaged, ignored", path.c_str());
                continue;
            }
            auto it = pr_table_by_name.find(t.name);
            if (it == pr_table_by_name.end()) {
                pr_table_by_name[t.name] = pr_next_table;
                pr_tables[pr_next_table++] = t;
            } else if (pr_tables[it->second].gen < t.gen) {
                pr_tables[it->second] = t;
            }
        }
        closedir(dp);
    }
}

void oskd_pr_init(const char *dir)
{
    pr_dir = std::string(dir) + "/pr";
    /* Differs between two daemons started within the same second. */
    pr_incarnation = (int32_t)((((uint32_t)time(nullptr) << 8) ^ (uint32_t)getpid()) & 0x7fffffff);
    load_replicas();
    if (!pr_tables.empty())
        oskd_log("pr: %zu table(s) loaded from %s", pr_tables.size(), pr_dir.c_str());
}

void oskd_pr_node_joined(int node)
{
    std::vector<const pr_table_t *> all;
    for (const auto &t : pr_tables)
        all.push_back(&t.second);
    if (!all.empty() && oskd_pr_persist(all, (cluster_t)(1u << node)) < 0)
        oskd_log("pr: replica of node %d not brought up to date", node);
}

void oskd_pr_proc_gone(int slot)
{
    for (auto it = pr_transactions.begin(); it != pr_transactions.end();) {
        if (it->second.proc == slot) {
            oskd_log("pr: transaction %u rolled back: its process went away", it->first);
            it = pr_transactions.erase(it);
        } else {
            ++it;
        }
    }
}
