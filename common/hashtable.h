/*
 * Chained hash tables with pluggable key operations.
 *
 *   hashtable *t = create_string_hashtable(next_prime(436), 0.75);
 *   set_invalid_value(t, (void *)-1);          what get/remove say for "absent"
 *   hashtable_put(t, "mcping", (void *)11);    the table copies string keys
 *   long id = (long)hashtable_get(t, "mcping");
 *   delete_hashtable(t);                       frees keys and nodes, never values
 *
 * Keys and values are pointer-sized words. A string table owns a copy of
 * every key, kept in the same allocation as its node (one allocation per
 * insertion); an integer table stores the key value itself (cast it to
 * void *). Values are opaque: the table never frees them. Every node keeps
 * its key's hash: probes compare it before the key, and growth never hashes
 * a key again. String tables call their hash and compare directly; other
 * tables through the functions given to new_hashtable.
 *
 * The table grows (rehashes to the next prime above twice its size, or
 * 100000 more above 100000 buckets) when an insertion pushes entries per
 * bucket strictly above the load ratio. It never shrinks.
 *
 * Plain operations take no lock. Each _mutex form holds the table's own lock
 * for exactly one operation; a caller that combines operations (iteration,
 * read-then-write) wraps them in hashtable_lock/hashtable_unlock and must not
 * call a _mutex form meanwhile: the lock is not recursive and re-entering it
 * panics. Allocation failure, a bucket count below 1 and a load ratio not
 * above 0 are fatal assertions.
 */
#ifndef HASHTABLE_H
#define HASHTABLE_H

#include <stdint.h>

#include "osk_lock.h"

typedef uint32_t (*hashtable_hash_fn)(const void *key);
typedef int (*hashtable_cmp_fn)(const void *a, const void *b);
typedef void *(*hashtable_new_key_fn)(const void *key);
typedef void (*hashtable_delete_key_fn)(void *key);

typedef struct hashnode {
    void *key; /* a string table's points just past the node */
    void *value;
    struct hashnode *next;
    uint32_t hash; /* of key */
} hashnode;

typedef struct hashtable {
    hashnode **table;
    int buckets;
    int size;
    float maximum_load_ratio;
    hashtable_hash_fn hash;
    hashtable_cmp_fn cmp;
    hashtable_new_key_fn new_key;
    hashtable_delete_key_fn delete_key;
    void *invalid_value;
    osk_mutex_t lock;
    int string_keys;    /* created by create_string_hashtable: keys live in nodes */
    uint64_t mod_magic; /* hash % buckets without a division (see bucket_index) */
} hashtable;

typedef struct hashtable_itr {
    hashtable *t;
    int i;
    hashnode *n;
} hashtable_itr;

hashtable *new_hashtable(int buckets, float maximum_load_ratio, hashtable_hash_fn hash,
                         hashtable_cmp_fn cmp, hashtable_new_key_fn new_key,
                         hashtable_delete_key_fn delete_key);
hashtable *create_string_hashtable(int buckets, float maximum_load_ratio);
hashtable *create_int_hashtable(int buckets, float maximum_load_ratio);
void delete_hashtable(hashtable *t);

void set_invalid_value(hashtable *t, void *value);

void *hashtable_put(hashtable *t, const void *key, void *value);
void *hashtable_get(hashtable *t, const void *key);
int hashtable_contains_key(hashtable *t, const void *key);
void *hashtable_remove(hashtable *t, const void *key);
void hashtable_clear(hashtable *t);
int hashtable_is_empty(hashtable *t);
int hashtable_size(hashtable *t);
int hashtable_buckets(hashtable *t);
double hashtable_load(hashtable *t);

void *hashtable_put_mutex(hashtable *t, const void *key, void *value);
void *hashtable_get_mutex(hashtable *t, const void *key);
int hashtable_contains_key_mutex(hashtable *t, const void *key);
void *hashtable_remove_mutex(hashtable *t, const void *key);
void hashtable_clear_mutex(hashtable *t);
int hashtable_is_empty_mutex(hashtable *t);
int hashtable_size_mutex(hashtable *t);
void hashtable_lock(hashtable *t);
void hashtable_unlock(hashtable *t);

/* Values in bucket order, each chain from its head. */
void hashtable_iterator(hashtable_itr *itr, hashtable *t);
int hashtable_has_next(hashtable_itr *itr);
void *hashtable_next(hashtable_itr *itr);

void hashtable_print_buckets(hashtable *t);
void hashtable_print_stats(hashtable *t);

uint32_t string_hash(const void *key);
int is_prime(int n);
int next_prime(int n);

#endif
