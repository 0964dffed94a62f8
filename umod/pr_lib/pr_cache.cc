/*
 * The in-process entry cache of a table: a chained hash of entries, each one
 * allocation holding its key (padded to 8 bytes) and value. The caller's
 * hash and compare callbacks see entries as pr_keyvalue_t views.
 */
#include <stdlib.h>
#include <string.h>

#include "osk_runtime.h"
#include "pr_lib.h"

#include "osk_banned.h"

#define PR_NODE_UNKNOWN 253

static size_t key_room(uint32_t keylen)
{
    return ((size_t)keylen + 7) & ~(size_t)7;
}

static void *entry_key(pr_cached_entry_t *e)
{
    return (char *)e + sizeof(*e);
}

static void *entry_value(pr_cached_entry_t *e)
{
    return (char *)entry_key(e) + key_room(e->keylen);
}

static void view_of(pr_cached_entry_t *e, pr_keyvalue_t *kv)
{
    memset(kv, 0, sizeof(*kv));
    kv->keylen = e->keylen;
    kv->valuelen = e->valuelen;
    kv->key = entry_key(e);
    kv->value = entry_value(e);
}

static pr_cached_entry_t *entry_new(pr_cached_table_t *t, const pr_keyvalue_t *kv)
{
    size_t size = sizeof(pr_cached_entry_t) + key_room(kv->keylen) + kv->valuelen;
    pr_cached_entry_t *e = (pr_cached_entry_t *)malloc_or_die(size);
    memset(e, 0, size);
    e->table = t;
    e->keylen = kv->keylen;
    e->valuelen = kv->valuelen;
    memcpy(entry_key(e), kv->key, kv->keylen);
    if (kv->valuelen > 0)
        memcpy(entry_value(e), kv->value, kv->valuelen);
    return e;
}

static uint32_t bucket_of(pr_cached_table_t *t, pr_cached_entry_t *e)
{
    pr_keyvalue_t kv;
    view_of(e, &kv);
    return t->hash_func(&kv) % t->nbuckets;
}

/* The link that points at the entry equal to probe, or at the chain's end. */
static pr_cached_entry_t **find_link(pr_cached_table_t *t, pr_cached_entry_t *probe)
{
    pr_keyvalue_t a, b;
    view_of(probe, &a);
    pr_cached_entry_t **link = &t->pr_entries[bucket_of(t, probe)];
    for (; *link != nullptr; link = &(*link)->next) {
        view_of(*link, &b);
        if (t->hash_cmp(&a, &b) == 0)
            break;
    }
    return link;
}

pr_cached_table_t *pr_create_cached_table(uint32_t num_buckets, pr_valid_entry_fn_t valid_entry,
                                          pr_hash_fn_t hash_func, pr_hash_cmp_fn_t hash_cmp)
{
    OSK_ASSERT(num_buckets > 0);
    pr_cached_table_t *t = (pr_cached_table_t *)malloc_or_die(sizeof(*t));
    memset(t, 0, sizeof(*t));
    t->valid_entry = valid_entry;
    t->hash_func = hash_func;
    t->hash_cmp = hash_cmp;
    t->pr_state = 0;
    t->pr_node = PR_NODE_UNKNOWN;
    t->nbuckets = num_buckets;
    t->pr_entries = (pr_cached_entry_t **)malloc_or_die(num_buckets * sizeof(*t->pr_entries));
    memset(t->pr_entries, 0, num_buckets * sizeof(*t->pr_entries));
    return t;
}

int pr_add_cached_entry(pr_cached_table_t *t, pr_keyvalue_t *kv)
{
    pr_cached_entry_t *e = entry_new(t, kv);
    pr_cached_entry_t **link = find_link(t, e);
    if (*link != nullptr) { /* a newer value replaces the cached one */
        pr_cached_entry_t *old = *link;
        e->next = old->next;
        free(old);
        *link = e;
        return 0;
    }
    *link = e;
    t->nentries++;
    return 0;
}

typedef struct populate_arg {
    pr_cached_table_t *t;
    uint32_t max;
    uint32_t over;
} populate_arg_t;

static int populate_one(pr_keyvalue_t *kv, void *p)
{
    populate_arg_t *a = (populate_arg_t *)p;
    if (a->t->valid_entry != nullptr && a->t->valid_entry(kv) == 0)
        return 0;
    if (a->t->nentries < a->max)
        (void)pr_add_cached_entry(a->t, kv);
    else
        a->over++;
    return 0;
}

int pr_populate_cache(pr_cached_table_t *t, pr_tableid tableid, pr_transid transid,
                      uint32_t max_cache_entries, uint32_t *over_limit)
{
    node_t nid = PR_NODE_UNKNOWN;
    t->pr_state = pr_get_state_node(&nid);
    t->pr_node = nid;
    populate_arg_t a = {t, max_cache_entries, 0};
    int err = pr_iterate_open_table(tableid, transid, populate_one, &a);
    if (over_limit != nullptr)
        *over_limit = a.over;
    return err;
}

int pr_find_cached_entry(pr_cached_table_t *t, pr_keyvalue_t *key, pr_keyvalue_t *out)
{
    pr_keyvalue_t probe_kv = *key;
    probe_kv.valuelen = 0;
    pr_cached_entry_t *probe = entry_new(t, &probe_kv);
    pr_cached_entry_t *e = *find_link(t, probe);
    free(probe);
    if (e == nullptr)
        return 1;
    view_of(e, out);
    out->tableid = key->tableid;
    out->transid = key->transid;
    return 0;
}

int pr_delete_cached_entry(pr_cached_table_t *t, pr_keyvalue_t *key)
{
    pr_keyvalue_t probe_kv = *key;
    probe_kv.valuelen = 0;
    pr_cached_entry_t *probe = entry_new(t, &probe_kv);
    pr_cached_entry_t **link = find_link(t, probe);
    free(probe);
    pr_cached_entry_t *e = *link;
    if (e == nullptr)
        return 1;
    *link = e->next;
    free(e);
    t->nentries--;
    return 0;
}

int pr_cached_walk(pr_cached_table_t *t, int (*fn)(pr_keyvalue_t *kv, void *arg), void *arg)
{
    for (uint32_t b = 0; b < t->nbuckets; b++) {
        for (pr_cached_entry_t *e = t->pr_entries[b]; e != nullptr; e = e->next) {
            pr_keyvalue_t kv;
            view_of(e, &kv);
            int rc = fn(&kv, arg);
            if (rc != 0)
                return rc;
        }
    }
    return 0;
}

void pr_delete_all_entries(pr_cached_table_t *t)
{
    for (uint32_t b = 0; b < t->nbuckets; b++) {
        while (t->pr_entries[b] != nullptr) {
            pr_cached_entry_t *e = t->pr_entries[b];
            t->pr_entries[b] = e->next;
            free(e);
        }
    }
    t->nentries = 0;
}

void pr_delete_cached_table(pr_cached_table_t *t)
{
    pr_delete_all_entries(t);
    free(t->pr_entries);
    free(t);
}
