/*
 * The kernel hook: its dispatch table and what its families share. See
 * oskd_hook.h.
 */
#include <errno.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include "osk_errcode.h"
#include "oskd_hook.h"
#include "osk_banned.h"

oskd_proc_t *oskd_hk_me(const oskd_caller_t *ca)
{
    return &oskd.st_procs[ca->ca_proc];
}

int oskd_hk_put(const oskd_caller_t *ca, uint64_t addr, const void *v, size_t len)
{
    if (addr == 0)
        return 0;
    return oskd_mem_write(ca->ca_pid, addr, v, len);
}

int oskd_hk_put_u32(const oskd_caller_t *ca, uint64_t addr, uint32_t v)
{
    return oskd_hk_put(ca, addr, &v, sizeof(v));
}

int oskd_hk_get_name(const oskd_caller_t *ca, uint64_t addr, char *name)
{
    memset(name, 0, BRIPC_NAME_LEN + 1);
    /* One read in two pieces split at the page boundary: the string may end
     * just before an unmapped page, and a read stops at the first piece it
     * cannot finish. */
    static const uint64_t page = (uint64_t)sysconf(_SC_PAGESIZE);
    uint64_t first = page - addr % page;
    if (first > BRIPC_NAME_LEN)
        first = BRIPC_NAME_LEN;
    struct iovec local = {name, BRIPC_NAME_LEN};
    struct iovec remote[2] = {{(void *)(uintptr_t)addr, (size_t)first},
                              {(void *)(uintptr_t)(addr + first), BRIPC_NAME_LEN - (size_t)first}};
    ssize_t n = process_vm_readv(ca->ca_pid, &local, 1, remote, first < BRIPC_NAME_LEN ? 2 : 1, 0);
    if (n <= 0 || (n < BRIPC_NAME_LEN && memchr(name, '\0', (size_t)n) == nullptr))
        return -1;
    name[BRIPC_NAME_LEN] = '\0';
    return 0;
}

int oskd_hk_find(const char *name, bripc_ph_t ph, oskd_hk_target_t *t)
{
    for (int i = 0; i < OSKD_MAX_SERVICES; i++) {
        oskd_service_t *sv = &oskd.st_services[i];
        if (sv->sv_used && (name != nullptr ? strcmp(sv->sv_name, name) == 0 : sv->sv_ph == ph)) {
            t->ht_sv = sv;
            t->ht_slot = sv->sv_primary;
            t->ht_ph = sv->sv_ph;
            return 0;
        }
    }
    /* A process's own handle: one without a handle has no name either. */
    for (int s = 0; s < OSKD_MAX_PROCS; s++) {
        const oskd_proc_t *p = &oskd.st_procs[s];
        if (p->pr_used && !p->pr_dead && p->pr_ph != 0 &&
            (name != nullptr ? strcmp(p->pr_name, name) == 0 : p->pr_ph == ph)) {
            t->ht_sv = nullptr;
            t->ht_slot = s;
            t->ht_ph = p->pr_ph;
            return 0;
        }
    }
    return -1;
}

static hook_handler_t hook_table[HOOK_TABLE_SIZE];
static pthread_once_t hook_once = PTHREAD_ONCE_INIT;

static void hook_table_init(void)
{
    oskd_hook_names_init(hook_table);
    oskd_hook_msg_init(hook_table);
    oskd_hook_cluster_init(hook_table);
    hook_table[HOOK_CL_CBIOS_INFO] = oskd_hk_cbios_info;
    hook_table[HOOK_BR_READ_REGS] = oskd_hk_read_regs;
}

static int is_ipc_hook(int hook)
{
    return hook >= HOOK_IPC_GET_PH && hook <= HOOK_IPC_LISTEN_PH;
}

/* What was already delivered to a process stays its own when its node
 * leaves: it may still take a reply that arrived before (a node asked to
 * shut itself down reads the answer while it goes down). Reads give a byte
 * count, never a status. */
static int is_receive_hook(int hook)
{
    return hook == HOOK_IPC_LISTEN || hook == HOOK_IPC_LISTEN_PH || hook == HOOK_IPC_READ_REQUEST ||
           hook == HOOK_IPC_READ_REPLY;
}

int oskd_hook_request(const oskd_caller_t *ca, osk_krn_hook_t *hk, int *err)
{
    pthread_once(&hook_once, hook_table_init);
    hook_handler_t h = hk->hook >= 0 && hk->hook < HOOK_TABLE_SIZE ? hook_table[hk->hook] : nullptr;
    if (h == nullptr) {
        *err = EINVAL; /* an unknown hook fails the ioctl, as the module does */
        return -1;
    }
    pthread_mutex_lock(&oskd_lock);
    int rc;
    /* A waiting lookup is left to wait: its caller repeats it until it
     * succeeds, and failing it at once would make it spin. */
    if (is_ipc_hook(hk->hook) && oskd_hk_me(ca)->pr_dead && !is_receive_hook(hk->hook) &&
        hk->hook != HOOK_IPC_GET_PH_WAIT)
        rc = BR_NODE_DOWN; /* its node left the cluster: its handles are gone */
    else
        rc = h(ca, hk);
    pthread_mutex_unlock(&oskd_lock);
    if (rc == OSKD_HANGUP)
        return rc;
    if (rc == HK_FAULT) {
        *err = EFAULT;
        return -1;
    }
    hk->result = rc;
    return 0;
}
