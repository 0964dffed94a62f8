/*
 * The persistent repository: named tables of key/value entries changed in
 * transactions, kept in memory under oskd_lock and replicated as one file
 * per table and node under DIR/pr/node<N>/.
 *
 * A commit writes the table's new contents to the replica of every online
 * node (each as a new file, fsync, rename) before it takes effect, so a
 * table survives the reboot of any node, of all nodes but one, and a
 * restart of the daemon (which loads the newest copy of each table). A
 * node that joins gets its replicas rewritten from the current tables.
 *
 * Isolation: one read-write transaction per table at a time; another one
 * asking for the same table is answered PR_TABLE_BUSY. Reads see committed
 * entries plus the transaction's own changes. A process that goes away
 * rolls its open transactions back.
 *
 * Identifiers carry the daemon's incarnation in pr_transition_incn: one
 * from before a restart is stale.
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

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "osk_errcode.h"
#include "osk_pr.h"
#include "oskd.h"
#include "sim_util.h"
#include "osk_banned.h"

typedef std::map<std::string, std::string> pr_kv_t;

typedef struct pr_table {
    std::string name;
    uint64_t gen; /* commits so far; the newest replica wins at load */
    pr_kv_t kv;
} pr_table_t;

typedef struct pr_trans {
    int proc;
    uint32_t proc_gen;
    int mode;
    std::vector<uint32_t> tables;
    std::map<uint32_t, std::map<std::string, std::optional<std::string>>> writes;
    std::map<uint32_t, std::vector<std::string>> keys; /* enumeration snapshot */
    std::map<uint32_t, size_t> keyctr;
} pr_trans_t;

enum pr_op {
    OP_LOOKUP,
    OP_RELEASE,
    OP_REMOVE_TABLE,
    OP_START,
    OP_COMMIT,
    OP_ROLLBACK,
    OP_READ,
    OP_SET,
    OP_REMOVE,
    OP_NEXT,
    OP_COUNT
};

static const char *const op_names[OP_COUNT] = {"lookup", "release",  "removetable", "start",
                                               "commit", "rollback", "read",        "set",
                                               "remove", "next"};

/* An injected answer: after `skip` matching requests, the next `count`
 * are answered with `err` and have no effect. */
typedef struct pr_fault {
    int err;
    long skip;
    long count;
} pr_fault_t;

static std::string pr_dir;
static std::map<uint32_t, pr_table_t> tables;
static std::map<std::string, uint32_t> table_by_name;
static std::map<uint32_t, pr_trans_t> transactions;
static uint32_t next_table = 1;
static uint32_t next_trans = 1;
static int32_t incarnation;
static pr_fault_t faults[OP_COUNT];
static long writefail; /* replica writes still to fail */

/* Replica files */

static std::string replica_dir(int node)
{
    return pr_dir + "/node" + std::to_string(node);
}

static std::string table_file(const std::string &name)
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
    if (writefail > 0) {
        writefail--;
        oskd_log("pr: write of %s failed (injected)", tmp.c_str());
        return -1;
    }
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
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
static int persist(const std::vector<const pr_table_t *> &tbls, cluster_t mask)
{
    std::vector<std::string> done;
    for (int n = 0; n < oskd.st_nnodes; n++) {
        if (!(mask & (1u << n)))
            continue;
        std::string d = replica_dir(n);
        (void)mkdir(pr_dir.c_str(), 0755);
        (void)mkdir(d.c_str(), 0755);
        for (const pr_table_t *t : tbls) {
            std::string p = d + "/" + table_file(t->name);
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
            sync_dir(replica_dir(n));
    return 0;
}

static void load_replicas(void)
{
    for (int n = 0; n < OSK_MAX_NODES; n++) {
        std::string d = replica_dir(n);
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
            auto it = table_by_name.find(t.name);
            if (it == table_by_name.end()) {
                table_by_name[t.name] = next_table;
                tables[next_table++] = t;
            } else if (tables[it->second].gen < t.gen) {
                tables[it->second] = t;
            }
        }
        closedir(dp);
    }
}

void oskd_pr_init(const char *dir)
{
    pr_dir = std::string(dir) + "/pr";
    /* Differs between two daemons started within the same second. */
    incarnation = (int32_t)((((uint32_t)time(nullptr) << 8) ^ (uint32_t)getpid()) & 0x7fffffff);
    load_replicas();
    if (!tables.empty())
        oskd_log("pr: %zu table(s) loaded from %s", tables.size(), pr_dir.c_str());
}

void oskd_pr_node_joined(int node)
{
    std::vector<const pr_table_t *> all;
    for (const auto &t : tables)
        all.push_back(&t.second);
    if (!all.empty() && persist(all, (cluster_t)(1u << node)) < 0)
        oskd_log("pr: replica of node %d not brought up to date", node);
}

void oskd_pr_proc_gone(int slot)
{
    for (auto it = transactions.begin(); it != transactions.end();) {
        if (it->second.proc == slot) {
            oskd_log("pr: transaction %u rolled back: its process went away", it->first);
            it = transactions.erase(it);
        } else {
            ++it;
        }
    }
}

/* Requests */

static int injected(enum pr_op op)
{
    pr_fault_t *f = &faults[op];
    if (f->count <= 0)
        return 0;
    if (f->skip > 0) {
        f->skip--;
        return 0;
    }
    f->count--;
    return f->err;
}

static pr_id make_id(const oskd_caller_t *ca, uint32_t id)
{
    pr_id r;
    memset(&r, 0, sizeof r);
    r.nid = (node_t)ca->ca_node;
    r.incn = oskd.st_nodes[ca->ca_node].nd_incn;
    r.pr_pid = (int32_t)ca->ca_pid;
    r.pr_transition_incn = incarnation;
    r.id = id;
    r.tid = id;
    return r;
}

static int check_table(const pr_tableid &t)
{
    if (t.pr_transition_incn != incarnation)
        return PR_STALE_TABLEID;
    if (tables.count(t.id) == 0)
        return t.id != 0 && t.id < next_table ? PR_STALE_TABLEID : PR_INVAL_TABLEID;
    return PR_SUCCESS;
}

static int find_trans(const oskd_caller_t *ca, const pr_transid &x, pr_trans_t **out)
{
    if (x.pr_transition_incn != incarnation)
        return PR_STALE_TRANSID;
    auto it = transactions.find(x.id);
    if (it == transactions.end() || it->second.proc != ca->ca_proc ||
        it->second.proc_gen != oskd.st_procs[ca->ca_proc].pr_gen)
        return PR_INVAL_TRANSID;
    *out = &it->second;
    return PR_SUCCESS;
}

static int in_trans(const pr_trans_t *t, const pr_tableid &tid)
{
    int rc = check_table(tid);
    if (rc != PR_SUCCESS)
        return rc;
    for (uint32_t id : t->tables)
        if (id == tid.id)
            return PR_SUCCESS;
    return PR_INVAL_TABLEID;
}

/* The value a transaction sees; null when absent. */
static const std::string *trans_value(pr_trans_t *t, uint32_t table, const std::string &key)
{
    auto w = t->writes[table].find(key);
    if (w != t->writes[table].end())
        return w->second ? &*w->second : nullptr;
    auto c = tables[table].kv.find(key);
    return c == tables[table].kv.end() ? nullptr : &c->second;
}

/* Makes an empty table; its id. */
static uint32_t table_create(const char *name)
{
    pr_table_t t;
    t.name = name;
    t.gen = 0;
    table_by_name[name] = next_table;
    tables[next_table] = t;
    return next_table++;
}

/* Is the table in an open transaction (a read-write one when rdwr_only)? */
static int table_in_trans(uint32_t id, int rdwr_only)
{
    for (const auto &x : transactions)
        if (!rdwr_only || x.second.mode == PR_TRANS_RDWR)
            for (uint32_t a : x.second.tables)
                if (a == id)
                    return 1;
    return 0;
}

/* What every request inside a transaction checks first: an injected
 * answer, the transaction, the table's part in it. */
static int trans_table(const oskd_caller_t *ca, int fault, const pr_transid &x,
                       const pr_tableid &tb, pr_trans_t **t)
{
    if (fault)
        return fault;
    int rc = find_trans(ca, x, t);
    return rc == PR_SUCCESS ? in_trans(*t, tb) : rc;
}

static int answered(iohdr_t *rec, int32_t *errp, int err)
{
    *errp = err;
    rec->io_status = TE_PASS;
    return 0;
}

/* A frame shorter than its command's body would be read past its end. */
static int short_frame(iohdr_t *rec, size_t need, int *err)
{
    if (rec->io_total >= need)
        return 0;
    rec->io_status = TE_INVALID;
    snprintf(rec->io_ertxt, IO_ERTXT_LEN, "record of %u bytes, %zu needed", rec->io_total, need);
    *err = EINVAL;
    return 1;
}

static int sc_lookup(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    if (short_frame(rec, PR_LOOKUP_SIZE, err))
        return -1;
    pr_lookup_table_frame_t *f = (pr_lookup_table_frame_t *)rec;
    int fe = injected(OP_LOOKUP);
    if (fe)
        return answered(rec, &f->rep.err, fe);
    char name[PR_TABLE_NAME_LEN];
    memcpy(name, f->req.table_name, sizeof name);
    name[PR_TABLE_NAME_LEN - 1] = '\0';
    int flags = f->req.flags;
    int create = (flags & 1) || rec->io_cmd == PRCMD_CREATE_TABLE;
    if (name[0] == '\0')
        return answered(rec, &f->rep.err, PR_INVAL_NAME);
    auto it = table_by_name.find(name);
    int created = 0;
    if (it == table_by_name.end()) {
        if (!create)
            return answered(rec, &f->rep.err, PR_INVAL_NAME);
        (void)table_create(name);
        it = table_by_name.find(name);
        created = 1;
    } else if (rec->io_cmd == PRCMD_CREATE_TABLE) {
        return answered(rec, &f->rep.err, PR_TABLE_EXISTS);
    }
    uint32_t keys = (uint32_t)tables[it->second].kv.size();
    memset(&f->rep, 0, sizeof f->rep);
    f->rep.tableid = make_id(ca, it->second);
    f->rep.created = created;
    f->rep.keys_cnt = keys;
    return answered(rec, &f->rep.err, PR_SUCCESS);
}

static int sc_table_op(const oskd_caller_t *, iohdr_t *rec, int *err)
{
    if (short_frame(rec, PR_TABLEID_SIZE, err))
        return -1;
    pr_tableid_frame_t *f = (pr_tableid_frame_t *)rec;
    int remove = rec->io_cmd == PRCMD_REMOVE_TABLE;
    int fe = injected(remove ? OP_REMOVE_TABLE : OP_RELEASE);
    if (fe)
        return answered(rec, &f->rep.err, fe);
    pr_tableid t = f->req.tableid;
    int rc = check_table(t);
    if (rc != PR_SUCCESS)
        return answered(rec, &f->rep.err, rc);
    if (remove) {
        if (table_in_trans(t.id, 0))
            return answered(rec, &f->rep.err, PR_TABLE_BUSY);
        for (int n = 0; n < oskd.st_nnodes; n++)
            (void)unlink((replica_dir(n) + "/" + table_file(tables[t.id].name)).c_str());
        table_by_name.erase(tables[t.id].name);
        tables.erase(t.id);
    }
    return answered(rec, &f->rep.err, PR_SUCCESS);
}

static int sc_start(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    if (short_frame(rec, PR_START_SIZE, err))
        return -1;
    pr_start_trans_frame_t *f = (pr_start_trans_frame_t *)rec;
    int fe = injected(OP_START);
    if (fe)
        return answered(rec, &f->rep.err, fe);
    int mode = f->req.mode, n = f->req.num_tableids;
    if (n < 1 || n > PR_MAX_TABLES_IN_TRANS || (mode != PR_TRANS_READ && mode != PR_TRANS_RDWR))
        return answered(rec, &f->rep.err, PR_FAIL);
    pr_trans_t t;
    t.proc = ca->ca_proc;
    t.proc_gen = oskd.st_procs[ca->ca_proc].pr_gen;
    t.mode = mode;
    for (int i = 0; i < n; i++) {
        int rc = check_table(f->req.tableids[i]);
        if (rc != PR_SUCCESS)
            return answered(rec, &f->rep.err, rc);
        t.tables.push_back(f->req.tableids[i].id);
    }
    if (mode == PR_TRANS_RDWR)
        for (uint32_t b : t.tables)
            if (table_in_trans(b, 1))
                return answered(rec, &f->rep.err, PR_TABLE_BUSY);
    uint32_t id = next_trans++;
    transactions[id] = t;
    memset(&f->rep, 0, sizeof f->rep);
    f->rep.transid = make_id(ca, id);
    return answered(rec, &f->rep.err, PR_SUCCESS);
}

static int sc_end_trans(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    if (short_frame(rec, PR_TRANSID_SIZE, err))
        return -1;
    pr_transid_frame_t *f = (pr_transid_frame_t *)rec;
    int commit = rec->io_cmd == PRCMD_COMMIT_TRANS;
    int fe = injected(commit ? OP_COMMIT : OP_ROLLBACK);
    if (fe)
        return answered(rec, &f->rep.err, fe);
    pr_transid x = f->req.transid;
    pr_trans_t *t;
    int rc = find_trans(ca, x, &t);
    if (rc != PR_SUCCESS)
        return answered(rec, &f->rep.err, rc);
    if (commit && t->mode == PR_TRANS_RDWR) {
        std::vector<pr_table_t> next;
        for (const auto &w : t->writes) {
            if (w.second.empty() || tables.count(w.first) == 0)
                continue;
            pr_table_t nt = tables[w.first];
            nt.gen++;
            for (const auto &e : w.second) {
                if (e.second)
                    nt.kv[e.first] = *e.second;
                else
                    nt.kv.erase(e.first);
            }
            next.push_back(nt);
        }
        std::vector<const pr_table_t *> ptrs;
        for (const pr_table_t &nt : next)
            ptrs.push_back(&nt);
        /* The transaction stays open when the write fails: the caller may
         * commit again. */
        if (!ptrs.empty() && persist(ptrs, oskd_online_mask()) < 0)
            return answered(rec, &f->rep.err, PR_EIO);
        for (const pr_table_t &nt : next)
            tables[table_by_name[nt.name]] = nt;
    }
    transactions.erase(x.id);
    return answered(rec, &f->rep.err, PR_SUCCESS);
}

static int valid_key(uint32_t keylen)
{
    return keylen >= 1 && keylen <= PR_MAX_KEY;
}

static int sc_read(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    if (short_frame(rec, PR_READ_VALUE_SIZE, err))
        return -1;
    pr_key_frame_t *f = (pr_key_frame_t *)rec;
    pr_trans_t *t;
    int rc = trans_table(ca, injected(OP_READ), f->req.transid, f->req.tableid, &t);
    if (rc == PR_SUCCESS && !valid_key(f->req.keylen))
        rc = PR_INVAL_KEY;
    if (rc != PR_SUCCESS)
        return answered(rec, &f->rep.err, rc);
    std::string key(f->req.key, f->req.keylen);
    const std::string *v = trans_value(t, f->req.tableid.id, key);
    if (v == nullptr)
        return answered(rec, &f->rep.err, PR_INVAL_KEY);
    std::string val = *v;
    f->rep.valuelen = (uint32_t)val.size();
    memcpy(f->rep.value, val.data(), val.size());
    return answered(rec, &f->rep.err, PR_SUCCESS);
}

static int sc_set_or_remove(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    int set = rec->io_cmd == PRCMD_SET_ENTRY;
    if (short_frame(rec, set ? PR_SET_ENTRY_SIZE : PR_REMOVE_ENTRY_SIZE, err))
        return -1;
    pr_set_entry_frame_t *f = (pr_set_entry_frame_t *)rec;
    pr_trans_t *t;
    int rc =
        trans_table(ca, injected(set ? OP_SET : OP_REMOVE), f->req.transid, f->req.tableid, &t);
    if (rc == PR_SUCCESS && t->mode != PR_TRANS_RDWR)
        rc = PR_READONLY_TRANS;
    if (rc == PR_SUCCESS && !valid_key(f->req.keylen))
        rc = PR_INVAL_KEY;
    if (rc == PR_SUCCESS && set && f->req.valuelen > PR_MAX_VALUE)
        rc = PR_FAIL;
    if (rc != PR_SUCCESS)
        return answered(rec, &f->rep.err, rc);
    std::string key(f->req.key, f->req.keylen);
    uint32_t table = f->req.tableid.id;
    if (set) {
        t->writes[table][key] = std::string((const char *)f->req.value, f->req.valuelen);
    } else {
        if (trans_value(t, table, key) == nullptr)
            return answered(rec, &f->rep.err, PR_INVAL_KEY);
        t->writes[table][key] = std::nullopt;
    }
    return answered(rec, &f->rep.err, PR_SUCCESS);
}

static int sc_keyctr(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    int next = rec->io_cmd == PRCMD_READ_NEXT_KEY;
    if (short_frame(rec, next ? PR_READ_NEXT_KEY_SIZE : PR_RESET_KEY_SIZE, err))
        return -1;
    pr_keyctr_frame_t *f = (pr_keyctr_frame_t *)rec;
    pr_trans_t *t;
    int rc = trans_table(ca, next ? injected(OP_NEXT) : 0, f->req.transid, f->req.tableid, &t);
    if (rc != PR_SUCCESS)
        return answered(rec, &f->rep.err, rc);
    uint32_t table = f->req.tableid.id;
    if (!next) {
        /* Enumeration walks the keys as the transaction sees them now. */
        std::vector<std::string> keys;
        for (const auto &e : tables[table].kv)
            if (trans_value(t, table, e.first) != nullptr)
                keys.push_back(e.first);
        for (const auto &w : t->writes[table])
            if (w.second && tables[table].kv.count(w.first) == 0)
                keys.push_back(w.first);
        t->keys[table] = keys;
        t->keyctr[table] = 0;
        return answered(rec, &f->rep.err, PR_SUCCESS);
    }
    size_t i = t->keyctr[table];
    if (i >= t->keys[table].size())
        return answered(rec, &f->rep.err, PR_NO_MORE_KEYS);
    std::string k = t->keys[table][i];
    t->keyctr[table] = i + 1;
    f->rep.keylen = (uint32_t)k.size();
    memcpy(f->rep.key, k.data(), k.size());
    return answered(rec, &f->rep.err, PR_SUCCESS);
}

/* The by-name operations are one-request transactions of their own. */
static int sc_named(const oskd_caller_t *ca, iohdr_t *rec, int *err)
{
    uint32_t cmd = rec->io_cmd;
    size_t need = cmd == PRCMD_SET_ENTRY_TABLE    ? PR_SET_ENTRY_TABLE_SIZE
                  : cmd == PRCMD_READ_VALUE_TABLE ? PR_READ_VALUE_TABLE_SIZE
                                                  : PR_REMOVE_ENTRY_TABLE_SIZE;
    if (short_frame(rec, need, err))
        return -1;
    pr_named_frame_t *f = (pr_named_frame_t *)rec;
    pr_remove_entry_table_frame_t *rf = (pr_remove_entry_table_frame_t *)rec;
    char name[PR_TABLE_NAME_LEN];
    memcpy(name, f->req.table_name, sizeof name);
    name[PR_TABLE_NAME_LEN - 1] = '\0';
    uint32_t keylen = cmd == PRCMD_REMOVE_ENTRY_TABLE ? rf->req.keylen : f->req.keylen;
    std::string key(cmd == PRCMD_REMOVE_ENTRY_TABLE ? rf->req.key : f->req.key,
                    valid_key(keylen) ? keylen : 0);
    int fe = injected(cmd == PRCMD_SET_ENTRY_TABLE    ? OP_SET
                      : cmd == PRCMD_READ_VALUE_TABLE ? OP_READ
                                                      : OP_REMOVE);
    if (fe)
        return answered(rec, &f->rep.err, fe);
    if (!valid_key(keylen))
        return answered(rec, &f->rep.err, PR_INVAL_KEY);
    auto it = table_by_name.find(name);
    if (it == table_by_name.end()) {
        if (cmd != PRCMD_SET_ENTRY_TABLE || !(f->req.flags & 1))
            return answered(rec, &f->rep.err, PR_INVAL_NAME);
        (void)table_create(name);
        it = table_by_name.find(name);
    }
    pr_table_t &t = tables[it->second];
    if (cmd == PRCMD_READ_VALUE_TABLE) {
        auto v = t.kv.find(key);
        if (v == t.kv.end())
            return answered(rec, &f->rep.err, PR_INVAL_KEY);
        f->rep.valuelen = (uint32_t)v->second.size();
        memcpy(f->rep.value, v->second.data(), v->second.size());
        return answered(rec, &f->rep.err, PR_SUCCESS);
    }
    if (table_in_trans(it->second, 1))
        return answered(rec, &f->rep.err, PR_TABLE_BUSY);
    (void)ca;
    pr_table_t nt = t;
    nt.gen++;
    if (cmd == PRCMD_SET_ENTRY_TABLE) {
        if (f->req.valuelen > PR_MAX_VALUE)
            return answered(rec, &f->rep.err, PR_FAIL);
        nt.kv[key] = std::string((const char *)f->req.value, f->req.valuelen);
    } else if (nt.kv.erase(key) == 0) {
        return answered(rec, &f->rep.err, PR_INVAL_KEY);
    }
    if (persist({&nt}, oskd_online_mask()) < 0)
        return answered(rec, &f->rep.err, PR_EIO);
    t = nt;
    return answered(rec, &f->rep.err, PR_SUCCESS);
}

void oskd_pr_sc_register(void (*set)(uint32_t cmd, oskd_sc_handler_t h))
{
    set(PRCMD_LOOKUP_TABLE, sc_lookup);
    set(PRCMD_CREATE_TABLE, sc_lookup);
    set(PRCMD_REMOVE_TABLE, sc_table_op);
    set(PRCMD_RELEASE_TABLE, sc_table_op);
    set(PRCMD_START_TRANS, sc_start);
    set(PRCMD_ROLLBACK_TRANS, sc_end_trans);
    set(PRCMD_COMMIT_TRANS, sc_end_trans);
    set(PRCMD_READ_VALUE, sc_read);
    set(PRCMD_RESET_KEY_CTR, sc_keyctr);
    set(PRCMD_READ_NEXT_KEY, sc_keyctr);
    set(PRCMD_SET_ENTRY, sc_set_or_remove);
    set(PRCMD_REMOVE_ENTRY, sc_set_or_remove);
    set(PRCMD_REMOVE_ENTRY_TABLE, sc_named);
    set(PRCMD_READ_VALUE_TABLE, sc_named);
    set(PRCMD_SET_ENTRY_TABLE, sc_named);
}

/* Control requests */

void oskd_reply_append(char *reply, size_t len, size_t *used, const char *fmt, ...)
{
    if (*used >= len)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(reply + *used, len - *used, fmt, ap);
    va_end(ap);
    if (n > 0)
        *used += (size_t)n < len - *used ? (size_t)n : len - *used - 1;
}

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
            if (strcmp(args[1], op_names[op]) == 0) {
                faults[op].err = atoi(args[2]);
                faults[op].count = atol(args[3]);
                faults[op].skip = nargs >= 5 ? atol(args[4]) : 0;
                oskd_reply_append(reply, replylen, &used, "ok\n");
                return 0;
            }
        }
        oskd_reply_append(reply, replylen, &used, "error unknown operation %s\n", args[1]);
        return -1;
    }
    if (strcmp(sub, "writefail") == 0 && nargs == 2) {
        writefail = atol(args[1]);
        oskd_reply_append(reply, replylen, &used, "ok\n");
        return 0;
    }
    if (strcmp(sub, "clear") == 0) {
        memset(faults, 0, sizeof faults);
        writefail = 0;
        oskd_reply_append(reply, replylen, &used, "ok\n");
        return 0;
    }
    if (strcmp(sub, "tables") == 0) {
        for (const auto &t : table_by_name)
            oskd_reply_append(reply, replylen, &used, "table %s keys=%zu gen=%llu\n",
                              t.first.c_str(), tables[t.second].kv.size(),
                              (unsigned long long)tables[t.second].gen);
        oskd_reply_append(reply, replylen, &used, "end\n");
        return 0;
    }
    if (strcmp(sub, "trans") == 0) {
        for (const auto &x : transactions)
            oskd_reply_append(reply, replylen, &used, "trans %u node=%d pid=%d mode=%d\n", x.first,
                              oskd.st_procs[x.second.proc].pr_node,
                              (int)oskd.st_procs[x.second.proc].pr_pid, x.second.mode);
        oskd_reply_append(reply, replylen, &used, "end\n");
        return 0;
    }
    if (strcmp(sub, "dump") == 0 && nargs >= 2) {
        auto it = table_by_name.find(args[1]);
        if (it == table_by_name.end()) {
            oskd_reply_append(reply, replylen, &used, "error no table %.64s\n", args[1]);
            return -1;
        }
        long skip = nargs >= 3 ? atol(args[2]) : 0, i = 0;
        for (const auto &e : tables[it->second].kv) {
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

int oskd_ext_control(const char *line, char *reply, size_t replylen)
{
    char buf[512];
    snprintf(buf, sizeof buf, "%s", line);
    char *args[16];
    int n = 0;
    char *save = nullptr;
    for (char *t = strtok_r(buf, " \t", &save); t != nullptr && n < 16;
         t = strtok_r(nullptr, " \t", &save))
        args[n++] = t;
    if (n == 0)
        return 0;
    if (strcmp(args[0], "pr") == 0)
        (void)oskd_pr_control(args + 1, n - 1, reply, replylen);
    else if (strcmp(args[0], "evt") == 0)
        (void)oskd_evt_control(args + 1, n - 1, reply, replylen);
    else if (strcmp(args[0], "board") == 0)
        (void)oskd_board_control(args + 1, n - 1, reply, replylen);
    else
        return 0;
    return 1;
}
