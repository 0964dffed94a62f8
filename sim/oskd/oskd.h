/*
 * osk-simd: the stand-in for the cluster kernel module. One daemon serves a
 * whole simulated cluster; each node's "/dev/osk" is one of its sockets.
 *
 * All cluster and IPC state lives in one record under one lock (oskd_lock).
 * A message wakes only the process it is for; other changes wake every
 * waiter. Waiting requests re-check their condition at least once a slice,
 * so that they also notice when their caller hangs up. Each client connection has its own thread
 * (oskd_main.cc).
 *
 * Requests: system-control commands are answered through a table indexed by
 * command (oskd_sc.cc); the kernel hook through a table indexed by hook
 * number (oskd_hook.h). Callers' pointer arguments are read and written in
 * the caller's memory (oskd_mem_read / oskd_mem_write), as a kernel would.
 */
#ifndef OSKD_H
#define OSKD_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include "osk_hook.h"
#include "osk_ioctl.h"
#include "osk_types.h"

#define OSKD_MAX_PROCS 4096
#define OSKD_MAX_SERVICES 256
#define OSKD_MAX_BACKUPS 16           /* queued behind one name's primary */
#define OSKD_SLICE_MS 200             /* longest sleep of a waiting request */
#define OSKD_MAX_MSG_DATA (64u << 20) /* bytes of one IPC message */
#define OSKD_MAX_SG 64                /* buffer descriptors of one IPC call */

typedef struct oskd_node {
    int nd_present;
    int nd_online;
    int nd_integrated;
    uint32_t nd_incn; /* counts the node's joins */
    uint32_t nd_recn;
} oskd_node_t;

/* A process that has "/dev/osk" open, known by its pid in the daemon's PID
 * namespace and held by a pidfd taken when it first connected: a forked
 * child may keep the connection open, and its pid may go to another
 * process, but the pidfd says when this process itself ends. Its handles
 * and names go then; the slot lives while it has connections. */
typedef struct oskd_proc {
    int pr_used;
    uint32_t pr_gen; /* tells a reused slot from its former owner */
    int pr_node;
    pid_t pr_pid;
    int pr_pidfd;
    int pr_ended; /* its process ended: handles and names are gone */
    int pr_conns;
    int pr_dead;      /* its node left: every hook fails with BR_NODE_DOWN */
    bripc_ph_t pr_ph; /* own handle, 0 until asked for */
    char pr_name[BRIPC_NAME_LEN + 1];
    int pr_snd_limit;
    int pr_rcv_limit; /* negative: no request is delivered to it (it steps down) */
} oskd_proc_t;

/* A registered name with a primary and the backups queued behind it, in the
 * order they registered; requests to its handle go to the primary. When the
 * primary goes, the first backup whose node is online becomes primary. */
typedef struct oskd_service {
    int sv_used;
    char sv_name[BRIPC_NAME_LEN + 1];
    bripc_ph_t sv_ph;
    int sv_primary; /* proc slot, -1 none */
    uint32_t sv_primary_gen;
    int sv_nbackups;
    int sv_backup[OSKD_MAX_BACKUPS]; /* proc slots, oldest first */
    uint32_t sv_backup_gen[OSKD_MAX_BACKUPS];
    uint32_t sv_seq; /* changes of primary or backup */
} oskd_service_t;

typedef enum oskd_txn_state {
    TXN_QUEUED,          /* waiting for the receiver to listen */
    TXN_DELIVERED,       /* the receiver has it and may reply */
    TXN_REPLIED,         /* reply waiting for the sender to listen */
    TXN_REPLY_DELIVERED, /* the sender has it; read_reply ends the transaction */
} oskd_txn_state_t;

/* One message and its reply. */
typedef struct oskd_txn {
    struct oskd_txn *tx_next;
    uint32_t tx_id;
    oskd_txn_state_t tx_state;
    int tx_noreply; /* one-way message: a reply is dropped */
    int tx_from;    /* sender proc slot, -1 for the daemon's own notices */
    uint32_t tx_from_gen;
    int tx_to;
    uint32_t tx_to_gen;
    bripc_ph_t tx_dst_ph;
    uint32_t tx_code;
    uint32_t tx_ver;
    int tx_usr_reason;
    int tx_sys_reason;
    uint64_t tx_tag;
    uint32_t tx_src_addr;
    uint32_t tx_dst_addr;
    uint8_t *tx_req;
    size_t tx_req_len;
    uint8_t *tx_rep;
    size_t tx_rep_len;
} oskd_txn_t;

typedef struct oskd_state {
    int st_nnodes;
    oskd_node_t st_nodes[OSK_MAX_NODES];
    int st_master; /* -1 none */
    int st_prev_master;
    time_t st_start_time;
    int st_upgrade;            /* a rolling upgrade runs */
    cluster_t st_upgr_group;   /* its expedition */
    cluster_t st_upgr_pending; /* nodes still to rejoin before it is done */
    int st_numlogfiles;        /* answer of SCCMD_GET_VARS */
    uint32_t st_ioctl_version; /* answer of SCCMD_VERSION */
    oskd_proc_t st_procs[OSKD_MAX_PROCS];
    oskd_service_t st_services[OSKD_MAX_SERVICES];
    oskd_txn_t *st_txns;
    uint32_t st_next_id;
    bripc_ph_t st_next_ph;
    int st_quitting;
} oskd_state_t;

/* The caller of one request. */
typedef struct oskd_caller {
    int ca_fd; /* its connection, watched while the request waits */
    int ca_node;
    pid_t ca_pid;
    int ca_proc; /* slot in st_procs */
} oskd_caller_t;

extern oskd_state_t oskd;
extern pthread_mutex_t oskd_lock;
extern pthread_cond_t oskd_cv;

void oskd_state_init(int nnodes);
/* After a change, under the lock: oskd_changed wakes every waiter,
 * oskd_wake(slot) only those waiting for a message to process slot. */
void oskd_changed(void);
void oskd_wake(int slot);

/* Wait up to ms (capped at a slice) under the lock: oskd_wait for any
 * change, oskd_wait_msg for a message to the caller's process (or a change
 * of everyone's). Each returns -1 when the caller has hung up or the daemon
 * is quitting, else 0; a hang-up is noticed within a slice. */
int oskd_wait(const oskd_caller_t *ca, int ms);
int oskd_wait_msg(const oskd_caller_t *ca, int ms);

cluster_t oskd_online_mask(void);
cluster_t oskd_present_mask(void);

/* Cluster membership, under the lock; 0 or -1 with a reason in err. */
int oskd_join(int node, char *err, size_t errlen);
int oskd_leave(int node, char *err, size_t errlen);

/* Process lifecycle, under the lock. attach takes over pidfd (the caller's
 * process, opened on connect) in every case; -1 when no slot is free. */
int oskd_proc_attach(int node, pid_t pid, int pidfd);
void oskd_proc_detach(int slot);
/* 1 while the slot's process runs; once it has ended its handles and names
 * are dropped (once) and 0 is returned. */
int oskd_proc_alive(int slot);
void oskd_proc_drop(int slot, int reason); /* handles go, pending requests fail */

/* Requests. Each returns the ioctl result (errno in *err when negative), or
 * OSKD_HANGUP when the caller went away while the request waited. */
#define OSKD_HANGUP (-1000)
int oskd_sc_request(const oskd_caller_t *ca, iohdr_t *rec, int *err);
int oskd_hook_request(const oskd_caller_t *ca, osk_krn_hook_t *hk, int *err);

/* The caller's memory. 0 on success, -1 with errno. */
int oskd_mem_read(pid_t pid, uint64_t addr, void *buf, size_t len);
int oskd_mem_write(pid_t pid, uint64_t addr, const void *buf, size_t len);

/* Control requests: one line in, reply lines out (each ending in '\n'). Sets
 * *quit when the daemon should stop. */
void oskd_control(const char *line, char *reply, size_t replylen, int *quit);

void oskd_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* The persistent repository, the event log and the board registers
 * (oskd_pr.h, oskd_evt.cc, oskd_brant.cc). Their state is kept under
 * oskd_lock like everything else and written below the daemon's folder. */
void oskd_pr_init(const char *dir);
void oskd_evt_init(const char *dir);
typedef int (*oskd_sc_handler_t)(const oskd_caller_t *ca, iohdr_t *rec, int *err);
void oskd_pr_sc_register(void (*set)(uint32_t cmd, oskd_sc_handler_t h));
int oskd_evt_post(const oskd_caller_t *ca, iohdr_t *rec, int *err); /* EMCMD_POST */
void oskd_pr_node_joined(int node); /* its replica is brought up to date */
void oskd_pr_proc_gone(int slot);   /* its open transactions are rolled back */
/* Control requests "pr ...", "evt ..." and "board ...": 1 when line was one
 * of them (reply written), else 0. */
int oskd_ext_control(const char *line, char *reply, size_t replylen);
int oskd_pr_control(char **args, int nargs, char *reply, size_t replylen);
int oskd_evt_control(char **args, int nargs, char *reply, size_t replylen);
int oskd_board_control(char **args, int nargs, char *reply, size_t replylen);
/* Appends to a control reply of len bytes, *used so far; cuts what does not fit. */
void oskd_reply_append(char *reply, size_t len, size_t *used, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
#define OSKD_HK_FAULT (-2000) /* a hook's pointer argument could not be used */
int oskd_hk_read_regs(const oskd_caller_t *ca, const osk_krn_hook_t *hk);
int oskd_hk_cbios_info(const oskd_caller_t *ca, const osk_krn_hook_t *hk);

#endif
