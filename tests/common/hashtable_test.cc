#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>

#include "hashtable.h"

namespace
{

void *V(long n)
{
    return (void *)n;
}

TEST(HashPrimes, PrimalityAndNextPrime)
{
    std::set<int> sieve_primes;
    for (int n = 2; n < 2000; n++) {
        bool p = true;
        for (int d = 2; d * d <= n; d++)
            p = p && n % d != 0;
        if (p)
            sieve_primes.insert(n);
    }
    for (int n = 2; n < 2000; n++)
        EXPECT_EQ(is_prime(n), sieve_primes.count(n) ? 1 : 0) << n;
    EXPECT_EQ(is_prime(0), 0);
    EXPECT_EQ(is_prime(-7), 0);
    EXPECT_EQ(is_prime(1), 1);
    EXPECT_EQ(is_prime(25), 0);
    EXPECT_EQ(is_prime(49), 0);

    EXPECT_EQ(next_prime(0), 1);
    EXPECT_EQ(next_prime(1), 2);
    EXPECT_EQ(next_prime(2), 3);
    EXPECT_EQ(next_prime(3), 5);
    EXPECT_EQ(next_prime(4), 5);
    EXPECT_EQ(next_prime(436), 439);
    EXPECT_EQ(next_prime(768), 769);
    for (int n = 5; n < 1900; n++) {
        int p = next_prime(n);
        EXPECT_GT(p, n);
        EXPECT_EQ(*sieve_primes.upper_bound(n), p) << n;
    }
}

TEST(HashString, HashValues)
{
    EXPECT_EQ(string_hash("abc"), 96354u);
    EXPECT_EQ(string_hash(""), 0u);
    /* 0xE9 counts as -23, not 233 */
    EXPECT_EQ(string_hash("\xE9"), (uint32_t)-23);
    EXPECT_EQ(string_hash("a\xE9"), 97u * 31u - 23u);
    /* longer keys, high bytes at every position: h = h * 31 + b throughout */
    for (const char *k :
         {"abcd", "\xE9\x80xyz\xFF", "volume-6999993", "iqn.2026-12.host\xC3\xA9"}) {
        uint32_t h = 0;
        for (const signed char *p = (const signed char *)k; *p; p++)
            h = h * 31u + (uint32_t)(int32_t)*p;
        EXPECT_EQ(string_hash(k), h) << k;
    }
}

TEST(HashGrowth, ThresholdsAcrossPrimes)
{
    hashtable *t = create_int_hashtable(4, 0.75f);
    hashtable_put(t, V(1), V(10));
    hashtable_put(t, V(2), V(20));
    hashtable_put(t, V(3), V(30));
    EXPECT_EQ(hashtable_buckets(t), 4) << "load exactly 0.75 does not grow";
    hashtable_put(t, V(4), V(40));
    EXPECT_EQ(hashtable_buckets(t), 11);
    /* every entry survives each rehash: 11 -> 23 -> 47 -> ... */
    for (long k = 5; k <= 5000; k++)
        hashtable_put(t, V(k), V(k * 10));
    EXPECT_EQ(hashtable_size(t), 5000);
    EXPECT_LE(hashtable_load(t), 0.75);
    EXPECT_TRUE(is_prime(hashtable_buckets(t)));
    for (long k = 1; k <= 5000; k++)
        ASSERT_EQ(hashtable_get(t, V(k)), V(k * 10)) << k;
    delete_hashtable(t);

    hashtable *s = create_string_hashtable(next_prime(436), 0.75f);
    EXPECT_EQ(hashtable_buckets(s), 439);
    for (int i = 0; i < 218; i++)
        hashtable_put(s, ("k" + std::to_string(i)).c_str(), V(i));
    EXPECT_EQ(hashtable_buckets(s), 439);
    delete_hashtable(s);
}

TEST(HashKeys, CollisionsReplaceRemoveAndInvalidValue)
{
    /* 7 buckets, keys 3, 10, 17, ... share one chain */
    hashtable *t = create_int_hashtable(7, 100.0f);
    for (long k = 3; k < 3 + 7 * 20; k += 7)
        EXPECT_EQ(hashtable_put(t, V(k), V(k)), nullptr);
    EXPECT_EQ(hashtable_size(t), 20);
    EXPECT_EQ(hashtable_put(t, V(52), V(-1)), V(52)) << "replace returns the old value";
    EXPECT_EQ(hashtable_size(t), 20);
    EXPECT_EQ(hashtable_remove(t, V(3)), V(3)) << "head of chain";
    EXPECT_EQ(hashtable_remove(t, V(52)), V(-1)) << "middle of chain";
    EXPECT_EQ(hashtable_remove(t, V(136)), V(136)) << "tail of chain";
    EXPECT_EQ(hashtable_remove(t, V(136)), nullptr);
    EXPECT_EQ(hashtable_size(t), 17);
    EXPECT_FALSE(hashtable_contains_key(t, V(3)));
    EXPECT_TRUE(hashtable_contains_key(t, V(10)));
    set_invalid_value(t, V(-1));
    EXPECT_EQ(hashtable_get(t, V(4)), V(-1));
    hashtable_clear(t);
    EXPECT_TRUE(hashtable_is_empty(t));
    EXPECT_EQ(hashtable_buckets(t), 7);
    delete_hashtable(t);

    /* string keys are copied: the caller's buffer may change afterwards */
    hashtable *s = create_string_hashtable(1, 0.75f);
    char key[8] = "abc";
    hashtable_put_mutex(s, key, V(1));
    key[0] = 'x';
    EXPECT_EQ(hashtable_get_mutex(s, "abc"), V(1));
    EXPECT_FALSE(hashtable_contains_key_mutex(s, key));
    EXPECT_EQ(hashtable_remove_mutex(s, "abc"), V(1));
    EXPECT_TRUE(hashtable_is_empty_mutex(s));
    delete_hashtable(s);
}

/* A table with its own key functions: every key it keeps is its own copy,
 * released exactly once, and a probe reaches the compare function only for
 * a node whose hash matches. */
int copies, compares;
uint32_t low_byte(const void *k)
{
    return *(const unsigned *)k & 0xff;
}
int cmp_uint(const void *a, const void *b)
{
    compares++;
    return *(const unsigned *)a != *(const unsigned *)b;
}
void *copy_uint(const void *k)
{
    copies++;
    return new unsigned(*(const unsigned *)k);
}
void drop_uint(void *k)
{
    copies--;
    delete (unsigned *)k;
}

TEST(HashKeys, PluggableKeysAreComparedOnTheirHashFirst)
{
    /* one bucket: every key shares the chain, most differ in their hash */
    hashtable *t = new_hashtable(1, 1000.0f, low_byte, cmp_uint, copy_uint, drop_uint);
    for (unsigned k = 0; k < 200; k++)
        hashtable_put(t, &k, V(k));
    EXPECT_EQ(copies, 200);
    compares = 0;
    unsigned probe = 150;
    EXPECT_EQ(hashtable_get(t, &probe), V(150));
    EXPECT_EQ(compares, 1) << "only the node with the same hash";
    probe = 150 + 256; /* same hash, different key */
    EXPECT_EQ(hashtable_get(t, &probe), nullptr);
    EXPECT_EQ(compares, 2);
    probe = 7;
    EXPECT_EQ(hashtable_remove(t, &probe), V(7));
    EXPECT_EQ(copies, 199);
    delete_hashtable(t);
    EXPECT_EQ(copies, 0);
}

TEST(HashModel, RandomOperationsAgreeWithMapAndIterator)
{
    std::mt19937 rng(1717);
    hashtable *t = create_string_hashtable(3, 0.75f);
    set_invalid_value(t, V(-1));
    std::map<std::string, long> model;
    for (int step = 0; step < 20000; step++) {
        std::string k = "key" + std::to_string(rng() % 3000);
        long v = (long)(rng() % 100000);
        switch (rng() % 3) {
        case 0: {
            auto it = model.find(k);
            void *expect = it == model.end() ? V(-1) : V(it->second);
            ASSERT_EQ(hashtable_put(t, k.c_str(), V(v)), expect);
            model[k] = v;
            break;
        }
        case 1: {
            auto it = model.find(k);
            ASSERT_EQ(hashtable_get(t, k.c_str()), it == model.end() ? V(-1) : V(it->second));
            break;
        }
        default: {
            auto it = model.find(k);
            ASSERT_EQ(hashtable_remove(t, k.c_str()), it == model.end() ? V(-1) : V(it->second));
            if (it != model.end())
                model.erase(it);
        }
        }
        ASSERT_EQ(hashtable_size(t), (int)model.size());
    }
    std::multiset<long> seen, want;
    hashtable_itr itr;
    hashtable_lock(t);
    for (hashtable_iterator(&itr, t); hashtable_has_next(&itr);)
        seen.insert((long)hashtable_next(&itr));
    hashtable_unlock(t);
    for (auto &kv : model)
        want.insert(kv.second);
    EXPECT_EQ(seen, want);
    delete_hashtable(t);

    hashtable *empty = create_int_hashtable(5, 1.0f);
    hashtable_iterator(&itr, empty);
    EXPECT_FALSE(hashtable_has_next(&itr));
    delete_hashtable(empty);
}

} // namespace
