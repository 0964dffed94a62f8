/*
 * The persistent repository: the requests of its system-control commands.
 * See oskd_pr.h.
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

#include "osk_errcode.h"
#include "osk_pr.h"
#include "oskd_pr.h"
#include "osk_banned.h"

/* Requests */

static int injected(enum pr_op op)
{
    pr_fault_t *f = &pr_faults[op];
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
    r.pr_transition_incn = pr_incarnation;
    r.id = id;
    r.tid = id;
    return r;
}

static int check_table(const pr_tableid &t)
{
    if (t.pr_transition_incn != pr_incarnation)
        return PR_STALE_TABLEID;
    if (pr_tables.count(t.id) == 0)
        return t.id != 0 && t.id < pr_next_table ? PR_STALE_TABLEID : PR_INVAL_TABLEID;
    return PR_SUCCESS;
}

static int find_trans(const oskd_caller_t *ca, const pr_transid &x, pr_trans_t **out)
{
    if (x.pr_transition_incn != pr_incarnation)
        return PR_STALE_TRANSID;
    auto it = pr_transactions.find(x.id);
    if (it == pr_transactions.end() || it->second.proc != ca->ca_proc ||
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
    auto c = pr_tables[table].kv.find(key);
    return c == pr_tables[table].kv.end() ? nullptr : &c->second;
}

/* Makes an empty table; its id. */
static uint32_t table_create(const char *name)
{
    pr_table_t t;
    t.name = name;
    t.gen = 0;
    pr_table_by_name[name] = pr_next_table;
    pr_tables[pr_next_table] = t;
    return pr_next_table++;
}

/* Is the table in an open transaction (a read-write one when rdwr_only)? */
static int table_in_trans(uint32_t id, int rdwr_only)
{
    for (const auto &x : pr_transactions)
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
    auto it = pr_table_by_name.find(name);
    int created = 0;
    if (it == pr_table_by_name.end()) {
        if (!create)
            return answered(rec, &f->rep.err, PR_INVAL_NAME);
        (void)table_create(name);
        it = pr_table_by_name.find(name);
        created = 1;
    } else if (rec->io_cmd == PRCMD_CREATE_TABLE) {
        return answered(rec, &f->rep.err, PR_TABLE_EXISTS);
    }
    uint32_t keys = (uint32_t)pr_tables[it->second].kv.size();
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
            (void)unlink(
                (oskd_pr_replica_dir(n) + "/" + oskd_pr_table_file(pr_tables[t.id].name)).c_str());
        pr_table_by_name.erase(pr_tables[t.id].name);
        pr_tables.erase(t.id);
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
    uint32_t id = pr_next_trans++;
    pr_transactions[id] = t;
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
            if (w.second.empty() || pr_tables.count(w.first) == 0)
                continue;
            pr_table_t nt = pr_tables[w.first];
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
        if (!ptrs.empty() && oskd_pr_persist(ptrs, oskd_online_mask()) < 0)
            return answered(rec, &f->rep.err, PR_EIO);
        for (const pr_table_t &nt : next)
            pr_tables[pr_table_by_name[nt.name]] = nt;
    }
    pr_transactions.erase(x.id);
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
        for (const auto &e : pr_tables[table].kv)
            if (trans_value(t, table, e.first) != nullptr)
                keys.push_back(e.first);
        for (const auto &w : t->writes[table])
            if (w.second && pr_tables[table].kv.count(w.first) == 0)
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
    auto it = pr_table_by_name.find(name);
    if (it == pr_table_by_name.end()) {
        if (cmd != PRCMD_SET_ENTRY_TABLE || !(f->req.flags & 1))
            return answered(rec, &f->rep.err, PR_INVAL_NAME);
        (void)table_create(name);
        it = pr_table_by_name.find(name);
    }
    pr_table_t &t = pr_tables[it->second];
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
    if (oskd_pr_persist({&nt}, oskd_online_mask()) < 0)
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
