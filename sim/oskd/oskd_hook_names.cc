/*
 * The kernel hook: IPC handles and names. A process has its own handle
 * (named by it or by the kernel); a registered name has a primary and the
 * backups queued behind it, and requests to its handle go to the primary.
 */
#include <stdio.h>
#include <string.h>

#include "osk_errcode.h"
#include "oskd_hook.h"
#include "osk_banned.h"

static bripc_ph_t own_handle(oskd_proc_t *p)
{
    if (p->pr_ph == 0)
        p->pr_ph = oskd.st_next_ph++;
    return p->pr_ph;
}

static int is_primary_of(const oskd_service_t *sv, int slot)
{
    return sv->sv_primary == slot && oskd.st_procs[slot].pr_gen == sv->sv_primary_gen;
}

static int is_backup_of(const oskd_service_t *sv, int slot)
{
    for (int k = 0; k < sv->sv_nbackups; k++)
        if (sv->sv_backup[k] == slot && oskd.st_procs[slot].pr_gen == sv->sv_backup_gen[k])
            return 1;
    return 0;
}

/* The registered service of a name or handle; null when there is none. */
static oskd_service_t *service_of(const char *name, bripc_ph_t ph)
{
    oskd_hk_target_t t;
    return oskd_hk_find(name, ph, &t) == 0 ? t.ht_sv : nullptr;
}

static int hk_get_ph(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    oskd_proc_t *p = oskd_hk_me(ca);
    if (hk->arg1 == 0)
        return oskd_hk_put_u32(ca, hk->arg2, own_handle(p)) < 0 ? HK_FAULT : 0;
    char name[BRIPC_NAME_LEN + 1];
    if (oskd_hk_get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    int asked_name = name[0] != '\0';
    int rc = 0;
    oskd_hk_target_t t;
    if (p->pr_ph != 0 && (p->pr_name[0] != '\0' || !asked_name)) {
        rc = BRIPC_ASSIGNED;
    } else if (asked_name && oskd_hk_find(name, 0, &t) == 0) {
        return BRIPC_COLLISION;
    } else {
        own_handle(p);
        if (!asked_name) /* the kernel names it; "@" names are the system's */
            snprintf(name, sizeof(name), "@%06x", p->pr_ph & 0xFFFFFF);
        memcpy(p->pr_name, name, sizeof(p->pr_name));
    }
    if (!asked_name && oskd_hk_put(ca, hk->arg1, p->pr_name, BRIPC_NAME_LEN + 1) < 0)
        return HK_FAULT;
    return oskd_hk_put_u32(ca, hk->arg2, p->pr_ph) < 0 ? HK_FAULT : rc;
}

static int hk_find_ph(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    char name[BRIPC_NAME_LEN + 1];
    if (oskd_hk_get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    oskd_hk_target_t t;
    if (oskd_hk_find(name, 0, &t) < 0)
        return BRIPC_NOPHANDLE;
    if (t.ht_slot < 0)
        return BRIPC_NOPRIMARY;
    return oskd_hk_put_u32(ca, hk->arg2, t.ht_ph) < 0 ? HK_FAULT : 0;
}

/* A new service with the caller as primary; null when the table is full. */
static oskd_service_t *service_add(const oskd_caller_t *ca, const char *name)
{
    oskd_service_t *sv = nullptr;
    for (int i = 0; i < OSKD_MAX_SERVICES && sv == nullptr; i++)
        if (!oskd.st_services[i].sv_used)
            sv = &oskd.st_services[i];
    if (sv == nullptr)
        return nullptr;
    memset(sv, 0, sizeof(*sv));
    sv->sv_used = 1;
    memcpy(sv->sv_name, name, sizeof(sv->sv_name));
    sv->sv_ph = oskd.st_next_ph++;
    sv->sv_primary = ca->ca_proc;
    sv->sv_primary_gen = oskd_hk_me(ca)->pr_gen;
    oskd_log("%s: registered on node %d by pid %d", name, ca->ca_node, (int)ca->ca_pid);
    return sv;
}

static int hk_register(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    char name[BRIPC_NAME_LEN + 1];
    if (oskd_hk_get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    if (name[0] == '\0')
        return BRIPC_BADARG;
    oskd_hk_target_t t;
    int known = oskd_hk_find(name, 0, &t) == 0;
    if (known && t.ht_sv == nullptr)
        return BRIPC_COLLISION; /* a process's own name */
    int slot = ca->ca_proc;
    oskd_service_t *sv = known ? t.ht_sv : service_add(ca, name);
    int rc;
    if (sv == nullptr) {
        return BRIPC_FAIL;
    } else if (!known || is_primary_of(sv, slot)) {
        rc = BRIPC_PRIMARY;
    } else if (is_backup_of(sv, slot)) {
        rc = 0;
    } else if (sv->sv_nbackups < OSKD_MAX_BACKUPS) {
        sv->sv_backup[sv->sv_nbackups] = slot;
        sv->sv_backup_gen[sv->sv_nbackups] = oskd_hk_me(ca)->pr_gen;
        sv->sv_nbackups++;
        sv->sv_seq++;
        oskd_log("%s: backup on node %d, pid %d", name, ca->ca_node, (int)ca->ca_pid);
        rc = 0; /* queued as backup */
    } else {
        return BRIPC_DUP;
    }
    oskd_changed();
    return oskd_hk_put_u32(ca, hk->arg2, sv->sv_ph) < 0 ? HK_FAULT : rc;
}

/* Returns 0 once the caller is primary of the name, registering it as
 * primary or backup first; a backup waits here until it is promoted. A
 * process whose node left is never promoted: it waits until it ends, so
 * that a caller repeating this hook does not spin. */
static int hk_get_ph_wait(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    int rc = oskd_hk_me(ca)->pr_dead ? 0 : hk_register(ca, hk);
    if (rc == BRIPC_PRIMARY)
        return 0;
    if (rc != 0)
        return rc;
    char name[BRIPC_NAME_LEN + 1];
    if (oskd_hk_get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    for (;;) {
        oskd_service_t *sv = service_of(name, 0);
        if (sv != nullptr && is_primary_of(sv, ca->ca_proc))
            return 0;
        if (oskd_wait(ca, OSKD_SLICE_MS) < 0)
            return OSKD_HANGUP;
    }
}

static int hk_backup(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    char name[BRIPC_NAME_LEN + 1];
    if (oskd_hk_get_name(ca, hk->arg1, name) < 0)
        return HK_FAULT;
    oskd_service_t *sv = service_of(name, 0);
    if (sv == nullptr || sv->sv_nbackups == 0)
        return BRIPC_NOPHANDLE;
    oskd_proc_t *next = &oskd.st_procs[sv->sv_backup[0]]; /* the one promoted next */
    return oskd_hk_put_u32(ca, hk->arg2, own_handle(next)) < 0 ? HK_FAULT : 0;
}

static int hk_is_primary(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    bripc_ph_t ph = (bripc_ph_t)hk->arg1;
    oskd_service_t *sv = service_of(nullptr, ph);
    if (sv != nullptr)
        return is_primary_of(sv, ca->ca_proc);
    return oskd_hk_me(ca)->pr_ph == ph && ph != 0;
}

static int hk_is_backup(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    oskd_service_t *sv = service_of(nullptr, (bripc_ph_t)hk->arg1);
    return sv != nullptr && is_backup_of(sv, ca->ca_proc);
}

static int hk_ph_info(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    bripc_ph_t ph = (bripc_ph_t)hk->arg1;
    bripc_phinfo_t pi;
    memset(&pi, 0, sizeof(pi));
    oskd_hk_target_t t;
    if (oskd_hk_find(nullptr, ph, &t) < 0)
        return BRIPC_NOPHANDLE;
    if (t.ht_sv != nullptr) {
        const oskd_service_t *sv = t.ht_sv;
        pi.pi_seq = sv->sv_seq;
        if (sv->sv_primary >= 0) {
            pi.pi_primary = own_handle(&oskd.st_procs[sv->sv_primary]);
            pi.pi_primary_pid = oskd.st_procs[sv->sv_primary].pr_pid;
        }
        if (sv->sv_nbackups > 0) {
            pi.pi_backup = own_handle(&oskd.st_procs[sv->sv_backup[0]]);
            pi.pi_backup_pid = oskd.st_procs[sv->sv_backup[0]].pr_pid;
        }
    } else {
        pi.pi_primary = ph;
        pi.pi_primary_pid = oskd.st_procs[t.ht_slot].pr_pid;
    }
    return oskd_hk_put(ca, hk->arg2, &pi, sizeof(pi)) < 0 ? HK_FAULT : 0;
}

static int hk_set_limit(const oskd_caller_t *ca, const osk_krn_hook_t *hk)
{
    bripc_ph_t ph = (bripc_ph_t)hk->arg1;
    oskd_proc_t *p = oskd_hk_me(ca);
    if (ph != p->pr_ph && service_of(nullptr, ph) == nullptr)
        return BRIPC_NOPHANDLE;
    p->pr_snd_limit = (int)hk->arg2;
    p->pr_rcv_limit = (int)hk->arg3;
    oskd_wake(ca->ca_proc); /* its listener may take requests again */
    return 0;
}

static int hk_debug(const oskd_caller_t *ca, const osk_krn_hook_t *)
{
    for (int i = 0; i < OSKD_MAX_SERVICES; i++) {
        const oskd_service_t *sv = &oskd.st_services[i];
        if (sv->sv_used)
            oskd_log("debug from %d:%d: name %s handle 0x%x primary slot %d backups %d",
                     ca->ca_node, (int)ca->ca_pid, sv->sv_name, sv->sv_ph, sv->sv_primary,
                     sv->sv_nbackups);
    }
    return 0;
}

void oskd_hook_names_init(hook_handler_t table[HOOK_TABLE_SIZE])
{
    table[HOOK_IPC_GET_PH] = hk_get_ph;
    table[HOOK_IPC_FIND_PH] = hk_find_ph;
    table[HOOK_IPC_DEBUG] = hk_debug;
    table[HOOK_IPC_PH_INFO] = hk_ph_info;
    table[HOOK_IPC_PH_BACKUP] = hk_backup;
    table[HOOK_IPC_IS_PRIMARY] = hk_is_primary;
    table[HOOK_IPC_IS_BACKUP] = hk_is_backup;
    table[HOOK_IPC_REGISTER] = hk_register;
    table[HOOK_IPC_GET_PH_WAIT] = hk_get_ph_wait;
    table[HOOK_IPC_SET_LIMIT] = hk_set_limit;
}
