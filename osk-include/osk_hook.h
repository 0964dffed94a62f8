/*
 * The kernel hook: one ioctl on "/dev/osk" that carries a hook number and
 * four pointer-sized arguments, answered in the record's result. The kernel
 * IPC and the cluster API ride on it. Arguments that are pointers address
 * the caller's own memory; the kernel reads and writes them directly.
 *
 * Pointer-sized fields make the hook record and the message header 24 and
 * 56 bytes on a 32-bit build, 40 and 64 on a 64-bit one; the static_asserts
 * state the rule for both.
 */
#ifndef OSK_HOOK_H
#define OSK_HOOK_H

#include <stddef.h>
#include <stdint.h>

#include "osk_types.h"

#define OSK_HOOK_IOCTL 0xC0046B00u

typedef struct osk_krn_hook {
    int result; /* written by the kernel; cleared before the call */
    int hook;
    uintptr_t arg1;
    uintptr_t arg2;
    uintptr_t arg3;
    uintptr_t arg4;
} osk_krn_hook_t;

static_assert(sizeof(osk_krn_hook_t) == 2 * sizeof(int) + 4 * sizeof(void *));
static_assert(offsetof(osk_krn_hook_t, arg1) == 2 * sizeof(int));

enum osk_hook_num {
    HOOK_BR_READ_REGS = 11,
    HOOK_CL_MY_NODE = 30,
    HOOK_CL_MY_INCN = 31,
    HOOK_CL_MASTER = 32,
    HOOK_CL_PREV_MASTER = 33,
    HOOK_CL_START_TIME = 34,  /* arg1: buffer, arg2: 8 */
    HOOK_CL_READ_CSTATE = 35, /* arg1: cstate_t buffer */
    HOOK_CL_HW_NODES_UP = 36,
    HOOK_CL_NODES_ALIVE = 37, /* arg1: out count (int) */
    HOOK_CL_INNER_ALIVE = 38, /* arg1: out count (int) */
    HOOK_CL_STATE = 39,
    HOOK_CL_INCN = 40, /* arg1: osk_clus_t buffer, arg2: channel */
    HOOK_CL_RECN = 41, /* arg1: node */
    HOOK_CL_MANUFACTURING = 42,
    HOOK_CL_HW_NODES_PON = 43,
    HOOK_CL_RECN_MASK = 44,
    HOOK_CL_WAIT_UPGRADE = 45,
    HOOK_CL_IN_UPGRADE = 46,
    HOOK_CL_START_UPGRADE = 47, /* arg1: expedition node mask */
    HOOK_CL_ABORT_UPGRADE = 48,
    HOOK_CL_WAIT_MASTER = 49,
    HOOK_CL_WAIT_LCKSTEP = 50, /* arg1: lockstep, arg2: nodeup */
    HOOK_CL_CBIOS_INFO = 51,   /* arg1: os_cbios_node_info_out_t buffer */
    HOOK_IPC_GET_PH = 81,      /* arg1: name or null, arg2: out handle */
    HOOK_IPC_FIND_PH = 82,     /* arg1: name, arg2: out handle */
    HOOK_IPC_DEBUG = 85,
    HOOK_IPC_PH_INFO = 86,      /* arg1: handle, arg2: bripc_phinfo_t, arg3: lookup */
    HOOK_IPC_PH_BACKUP = 87,    /* arg1: name, arg2: out handle */
    HOOK_IPC_IS_PRIMARY = 88,   /* arg1: handle */
    HOOK_IPC_IS_BACKUP = 89,    /* arg1: handle */
    HOOK_IPC_REQUEST = 90,      /* arg1: handle, arg2: message, arg3: buffers, arg4: count */
    HOOK_IPC_LISTEN = 91,       /* arg1: message, arg2: flags, arg3: timeout (ms, -1: none) */
    HOOK_IPC_READ_REQUEST = 92, /* arg1: message id, arg2: buffers, arg3: count */
    HOOK_IPC_REPLY = 93,        /* arg1: message id, arg2: reason, arg3: buffers, arg4: count */
    HOOK_IPC_READ_REPLY = 94,   /* arg1: message id, arg2: buffers, arg3: count */
    HOOK_IPC_CANCEL = 95,       /* arg1: message id */
    HOOK_IPC_REGISTER = 96,     /* arg1: name, arg2: out handle */
    HOOK_IPC_GET_PH_WAIT = 97,  /* arg1: name, arg2: out handle */
    HOOK_IPC_SET_LIMIT = 98,    /* arg1: handle, arg2: send limit, arg3: receive limit */
    HOOK_IPC_SEND_MSG = 99,     /* as HOOK_IPC_REQUEST; no reply is awaited */
    HOOK_IPC_LISTEN_PH = 100,   /* arg1: message, arg2: handle, arg3: flags, arg4: timeout */
};

/* Kernel IPC */

#define BRIPC_NAME_LEN 7        /* longer names are cut */
#define BRIPC_REPLY 0x80000000u /* msg_code bit of a reply */
#define BRIPC_LISTEN_BLOCK 0x1  /* listen flag: wait for a message */
#define BRIPC_LISTEN_ANY 0x4    /* listen flag the library always adds */
#define BRIPC_UNIT 64           /* message data travels in 64-byte units */
#define BR_TOTAL_BIG_SG_MAX 0x3FFFFFC0u
#define XCB_SIZE_SHIFT 6

typedef uint32_t bripc_ph_t;

/* Address word of a message: node in bits 0-7, process id in bits 8-31. */
#define BRIPC_ADDR(node, pid) (((uint32_t)(pid) << 8) | ((uint32_t)(node)&0xFF))
#define BRIPC_ADDR_NODE(a) ((a)&0xFF)
#define BRIPC_ADDR_PID(a) ((a) >> 8)

typedef struct bripc_msg {
    uint32_t msg_id;
    uint32_t msg_code;
    uint32_t msg_ver;
    uint32_t msg_dst;
    uint32_t msg_src;
    uint32_t msg_cmpoff;
    int msg_sg_cnt;
    int msg_ncmp;
    int msg_size64;
    int msg_cmpsz64;
    int usr_reason;
    int sys_reason;
    void *msg_tag; /* the sender's own tag, returned with the reply */
    void *msg_cmps;
} bripc_msg_t;

static_assert(sizeof(bripc_msg_t) == 48 + 2 * sizeof(void *));
static_assert(offsetof(bripc_msg_t, msg_size64) == 32);
static_assert(offsetof(bripc_msg_t, sys_reason) == 44);
static_assert(offsetof(bripc_msg_t, msg_tag) == 48);

typedef struct bripc_buff {
    void *msg_buff;
    int msg_len64;
} bripc_buff_t;

typedef struct bripc_phinfo {
    uint32_t pi_seq;
    bripc_ph_t pi_primary;
    bripc_ph_t pi_backup;
    int pi_primary_pid;
    int pi_backup_pid;
} bripc_phinfo_t;

/* Cluster API records */

typedef struct osk_clus {
    uint32_t cl_incn;
    uint32_t cl_recn;
    cluster_t cl_online;
    node_t cl_master;
    uint8_t cl_pad;
} osk_clus_t;

static_assert(sizeof(osk_clus_t) == 12);

typedef struct os_cbios_node_info_out {
    uint32_t ni_series;
    uint32_t ni_variant;
    uint32_t ni_node;
    uint32_t ni_spare[5];
} os_cbios_node_info_out_t;

static_assert(sizeof(os_cbios_node_info_out_t) == 32);

#endif
