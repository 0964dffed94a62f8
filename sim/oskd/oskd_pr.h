/*
 * The persistent repository inside osk-simd, in three families: the tables
 * and their replica files (oskd_pr_store.cc), the requests of the
 * repository's system-control commands (oskd_pr_req.cc) and its control
 * requests (oskd_pr_ctl.cc). This header is theirs alone; the daemon sees
 * the repository through oskd.h.
 *
 * Tables: named tables of key/value entries changed in transactions, kept
 * in memory under oskd_lock and replicated as one file per table and node
 * under DIR/pr/node<N>/.
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
#ifndef OSKD_PR_H
#define OSKD_PR_H

#include <stdint.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "oskd.h"

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

/* An injected answer: after `skip` matching requests, the next `count`
 * are answered with `err` and have no effect. */
typedef struct pr_fault {
    int err;
    long skip;
    long count;
} pr_fault_t;

extern const char *const pr_op_names[OP_COUNT];

extern std::string pr_dir; /* DIR/pr */
extern std::map<uint32_t, pr_table_t> pr_tables;
extern std::map<std::string, uint32_t> pr_table_by_name;
extern std::map<uint32_t, pr_trans_t> pr_transactions;
extern uint32_t pr_next_table;
extern uint32_t pr_next_trans;
extern int32_t pr_incarnation;
extern pr_fault_t pr_faults[OP_COUNT];
extern long pr_writefail; /* replica writes still to fail */

/* A node's replica folder, and a table's file in it. */
std::string oskd_pr_replica_dir(int node);
std::string oskd_pr_table_file(const std::string &name);

/* Writes the tables to the replicas of the nodes in mask: every new file
 * first, then the renames, so a failure changes no replica. 0, or -1. */
int oskd_pr_persist(const std::vector<const pr_table_t *> &tbls, cluster_t mask);

#endif
