/* Chained hash tables: see hashtable.h for the contract. */
#include "hashtable.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "osk_runtime.h"
#include "osk_banned.h"

/* h = h * 31 + b over the bytes, four at a time: the same value with a
 * quarter of the dependent multiplications. Bytes count as signed so that
 * the values match tables built on hosts whose char is signed; a byte above
 * 127 contributes a negative amount. */
static inline uint32_t hash_bytes(const signed char *p, size_t n)
{
    uint32_t h = 0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        h = h * 923521u + (uint32_t)(int32_t)p[i] * 29791u + (uint32_t)(int32_t)p[i + 1] * 961u +
            (uint32_t)(int32_t)p[i + 2] * 31u + (uint32_t)(int32_t)p[i + 3];
    for (; i < n; i++)
        h = h * 31u + (uint32_t)(int32_t)p[i];
    return h;
}

uint32_t string_hash(const void *key)
{
    return hash_bytes((const signed char *)key, strlen((const char *)key));
}

static int string_cmp(const void *a, const void *b)
{
    return strcmp((const char *)a, (const char *)b);
}

static void *string_new_key(const void *key)
{
    size_t n = strlen((const char *)key) + 1;
    char *copy = (char *)malloc_or_die(n);
    memcpy(copy, key, n);
    return copy;
}

static void string_delete_key(void *key)
{
    free(key);
}

static uint32_t int_hash(const void *key)
{
    return (uint32_t)(uintptr_t)key;
}

static int int_cmp(const void *a, const void *b)
{
    intptr_t x = (intptr_t)a, y = (intptr_t)b;
    return (x > y) - (x < y);
}

static void *int_new_key(const void *key)
{
    return (void *)key;
}

static void int_delete_key(void *) {}

int is_prime(int n)
{
    if (n < 1)
        return 0;
    if (n <= 3)
        return 1;
    if (n % 2 == 0 || n % 3 == 0)
        return 0;
    for (long k = 6; (k - 1) * (k - 1) <= n; k += 6) {
        if ((k - 1 != n && n % (k - 1) == 0) || (k + 1 != n && n % (k + 1) == 0))
            return 0;
    }
    return 1;
}

int next_prime(int n)
{
    if (n < 1)
        return 1;
    if (n <= 2)
        return n + 1;
    if (n <= 4)
        return 5;
    for (long k = n / 6;; k++) {
        long lo = 6 * k - 1, hi = 6 * k + 1;
        if (lo > n && is_prime((int)lo))
            return (int)lo;
        if (hi > n && is_prime((int)hi))
            return (int)hi;
    }
}

/* hash % buckets as two multiplications (exact for 32-bit operands): a
 * division per probe costs more than the rest of a short chain. */
static void set_buckets(hashtable *t, int buckets)
{
    t->buckets = buckets;
    t->mod_magic = UINT64_MAX / (uint32_t)buckets + 1;
}

static inline uint32_t bucket_index(uint64_t magic, uint32_t buckets, uint32_t h)
{
    uint64_t low = magic * h;
    return (uint32_t)(((unsigned __int128)low * buckets) >> 64);
}

hashtable *new_hashtable(int buckets, float maximum_load_ratio, hashtable_hash_fn hash,
                         hashtable_cmp_fn cmp, hashtable_new_key_fn new_key,
                         hashtable_delete_key_fn delete_key)
{
    OSK_ASSERT(buckets >= 1);
    OSK_ASSERT(maximum_load_ratio > 0);
    hashtable *t = (hashtable *)calloc(1, sizeof(*t));
    OSK_ASSERT(t != NULL);
    t->table = (hashnode **)calloc((size_t)buckets, sizeof(hashnode *));
    OSK_ASSERT(t->table != NULL);
    set_buckets(t, buckets);
    t->maximum_load_ratio = maximum_load_ratio;
    t->hash = hash;
    t->cmp = cmp;
    t->new_key = new_key;
    t->delete_key = delete_key;
    osk_mutex_init(&t->lock);
    return t;
}

hashtable *create_string_hashtable(int buckets, float maximum_load_ratio)
{
    hashtable *t = new_hashtable(buckets, maximum_load_ratio, string_hash, string_cmp,
                                 string_new_key, string_delete_key);
    t->string_keys = 1;
    return t;
}

hashtable *create_int_hashtable(int buckets, float maximum_load_ratio)
{
    return new_hashtable(buckets, maximum_load_ratio, int_hash, int_cmp, int_new_key,
                         int_delete_key);
}

void delete_hashtable(hashtable *t)
{
    hashtable_clear(t);
    free(t->table);
    free(t);
}

void set_invalid_value(hashtable *t, void *value)
{
    t->invalid_value = value;
}

static inline uint32_t hash_of(hashtable *t, const void *key)
{
    return t->string_keys ? hash_bytes((const signed char *)key, strlen((const char *)key))
                          : t->hash(key);
}

static inline int same_key(hashtable *t, const hashnode *n, uint32_t h, const void *key)
{
    if (n->hash != h)
        return 0;
    return t->string_keys ? strcmp((const char *)n->key, (const char *)key) == 0
                          : t->cmp(n->key, key) == 0;
}

static inline hashnode **bucket_of(hashtable *t, uint32_t h)
{
    return &t->table[bucket_index(t->mod_magic, (uint32_t)t->buckets, h)];
}

static void rehash(hashtable *t)
{
    int n = t->buckets <= 100000 ? next_prime(2 * t->buckets) : next_prime(t->buckets + 100000);
    hashnode **fresh = (hashnode **)calloc((size_t)n, sizeof(hashnode *));
    OSK_ASSERT(fresh != NULL);
    uint64_t magic = UINT64_MAX / (uint32_t)n + 1;
    for (int i = 0; i < t->buckets; i++) {
        /* Chains are short and scattered: fetch a few buckets ahead. */
        if (i + 8 < t->buckets && t->table[i + 8] != NULL)
            __builtin_prefetch(t->table[i + 8]);
        hashnode *node = t->table[i];
        while (node) {
            hashnode *next = node->next;
            hashnode **b = &fresh[bucket_index(magic, (uint32_t)n, node->hash)];
            node->next = *b;
            *b = node;
            node = next;
        }
    }
    free(t->table);
    t->table = fresh;
    set_buckets(t, n);
}

static hashnode *new_node(hashtable *t, const void *key, uint32_t h)
{
    hashnode *node;
    if (t->string_keys) {
        size_t len = strlen((const char *)key) + 1;
        node = (hashnode *)malloc(sizeof(*node) + len);
        OSK_ASSERT(node != NULL);
        node->key = node + 1;
        memcpy(node->key, key, len);
    } else {
        node = (hashnode *)malloc(sizeof(*node));
        OSK_ASSERT(node != NULL);
        node->key = t->new_key(key);
    }
    node->hash = h;
    node->next = NULL;
    return node;
}

static void free_node(hashtable *t, hashnode *n)
{
    if (!t->string_keys)
        t->delete_key(n->key);
    free(n);
}

void *hashtable_put(hashtable *t, const void *key, void *value)
{
    uint32_t h = hash_of(t, key);
    hashnode **link = bucket_of(t, h);
    for (; *link; link = &(*link)->next) {
        if (same_key(t, *link, h, key)) {
            void *old = (*link)->value;
            (*link)->value = value;
            return old;
        }
    }
    hashnode *node = new_node(t, key, h);
    node->value = value;
    *link = node;
    t->size++;
    if ((double)t->size / t->buckets > t->maximum_load_ratio)
        rehash(t);
    return t->invalid_value;
}

static hashnode *find(hashtable *t, const void *key)
{
    uint32_t h = hash_of(t, key);
    for (hashnode *n = *bucket_of(t, h); n; n = n->next) {
        if (same_key(t, n, h, key))
            return n;
    }
    return NULL;
}

void *hashtable_get(hashtable *t, const void *key)
{
    hashnode *n = find(t, key);
    return n ? n->value : t->invalid_value;
}

int hashtable_contains_key(hashtable *t, const void *key)
{
    return find(t, key) != NULL;
}

void *hashtable_remove(hashtable *t, const void *key)
{
    uint32_t h = hash_of(t, key);
    for (hashnode **link = bucket_of(t, h); *link; link = &(*link)->next) {
        hashnode *n = *link;
        if (same_key(t, n, h, key)) {
            void *value = n->value;
            *link = n->next;
            free_node(t, n);
            t->size--;
            return value;
        }
    }
    return t->invalid_value;
}

void hashtable_clear(hashtable *t)
{
    for (int i = 0; i < t->buckets; i++) {
        hashnode *n = t->table[i];
        while (n) {
            hashnode *next = n->next;
            free_node(t, n);
            n = next;
        }
        t->table[i] = NULL;
    }
    t->size = 0;
}

int hashtable_is_empty(hashtable *t)
{
    return t->size == 0;
}

int hashtable_size(hashtable *t)
{
    return t->size;
}

int hashtable_buckets(hashtable *t)
{
    return t->buckets;
}

double hashtable_load(hashtable *t)
{
    return (double)t->size / t->buckets;
}

void hashtable_lock(hashtable *t)
{
    osk_mutex_enter(&t->lock);
}

void hashtable_unlock(hashtable *t)
{
    osk_mutex_exit(&t->lock);
}

/* One locked call each; the lock is released before the result goes back. */
#define LOCKED(type, expr)                                                                         \
    do {                                                                                           \
        hashtable_lock(t);                                                                         \
        type r_ = (expr);                                                                          \
        hashtable_unlock(t);                                                                       \
        return r_;                                                                                 \
    } while (0)

void *hashtable_put_mutex(hashtable *t, const void *key, void *value)
{
    LOCKED(void *, hashtable_put(t, key, value));
}

void *hashtable_get_mutex(hashtable *t, const void *key)
{
    LOCKED(void *, hashtable_get(t, key));
}

int hashtable_contains_key_mutex(hashtable *t, const void *key)
{
    LOCKED(int, hashtable_contains_key(t, key));
}

void *hashtable_remove_mutex(hashtable *t, const void *key)
{
    LOCKED(void *, hashtable_remove(t, key));
}

void hashtable_clear_mutex(hashtable *t)
{
    hashtable_lock(t);
    hashtable_clear(t);
    hashtable_unlock(t);
}

int hashtable_is_empty_mutex(hashtable *t)
{
    LOCKED(int, hashtable_is_empty(t));
}

int hashtable_size_mutex(hashtable *t)
{
    LOCKED(int, hashtable_size(t));
}

static void skip_to_filled(hashtable_itr *itr)
{
    while (itr->i < itr->t->buckets && itr->t->table[itr->i] == NULL)
        itr->i++;
    itr->n = itr->i < itr->t->buckets ? itr->t->table[itr->i] : NULL;
}

void hashtable_iterator(hashtable_itr *itr, hashtable *t)
{
    itr->t = t;
    itr->i = 0;
    skip_to_filled(itr);
}

int hashtable_has_next(hashtable_itr *itr)
{
    return itr->n != NULL;
}

void *hashtable_next(hashtable_itr *itr)
{
    OSK_ASSERT(itr->n != NULL);
    void *value = itr->n->value;
    if (itr->n->next) {
        itr->n = itr->n->next;
    } else {
        itr->i++;
        skip_to_filled(itr);
    }
    return value;
}

void hashtable_print_buckets(hashtable *t)
{
    for (int i = 0; i < t->buckets; i++) {
        int len = 0;
        for (hashnode *n = t->table[i]; n; n = n->next)
            len++;
        printf("[%d] %d\n", i, len);
    }
    printf("\n");
    hashtable_print_stats(t);
}

void hashtable_print_stats(hashtable *t)
{
    printf("size: %d, buckets: %d, load: %f\n", t->size, t->buckets, hashtable_load(t));
}
