/*
 * The kernel hook inside osk-simd: one handler per hook number, in three
 * families that fill their part of the dispatch table (oskd_hook.cc):
 * handles and names (oskd_hook_names.cc), messages (oskd_hook_msg.cc) and
 * the cluster API (oskd_hook_cluster.cc).
 *
 * Handlers run under oskd_lock. They return the hook's result, HK_FAULT
 * when a pointer argument of the caller could not be read or written (the
 * ioctl then fails with EFAULT), or OSKD_HANGUP when the caller went away
 * while they waited. Pointer arguments are the caller's addresses.
 */
#ifndef OSKD_HOOK_H
#define OSKD_HOOK_H

#include "oskd.h"

#define HK_FAULT OSKD_HK_FAULT
#define HOOK_TABLE_SIZE 128

typedef int (*hook_handler_t)(const oskd_caller_t *ca, const osk_krn_hook_t *hk);

void oskd_hook_names_init(hook_handler_t table[HOOK_TABLE_SIZE]);
void oskd_hook_msg_init(hook_handler_t table[HOOK_TABLE_SIZE]);
void oskd_hook_cluster_init(hook_handler_t table[HOOK_TABLE_SIZE]);

/* The caller's own process. */
oskd_proc_t *oskd_hk_me(const oskd_caller_t *ca);

/* Writes len bytes at the caller's addr; an addr of 0 is an output the
 * caller did not ask for. 0, or -1 when it cannot be written. */
int oskd_hk_put(const oskd_caller_t *ca, uint64_t addr, const void *v, size_t len);
int oskd_hk_put_u32(const oskd_caller_t *ca, uint64_t addr, uint32_t v);

/* Copies a name argument of at most BRIPC_NAME_LEN characters into name
 * (BRIPC_NAME_LEN + 1 bytes, NUL-filled). 0, or -1 when it cannot be read. */
int oskd_hk_get_name(const oskd_caller_t *ca, uint64_t addr, char *name);

/* What a name or a handle stands for: a registered service (ht_sv set; its
 * primary, ht_slot, may be -1) or one process's own handle (ht_sv null). */
typedef struct oskd_hk_target {
    oskd_service_t *ht_sv;
    int ht_slot;
    bripc_ph_t ht_ph;
} oskd_hk_target_t;

/* Looks up name, or ph when name is null. 0, or -1 when it names nothing. */
int oskd_hk_find(const char *name, bripc_ph_t ph, oskd_hk_target_t *t);

#endif
