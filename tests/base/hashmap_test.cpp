// Tests of the hash map and the hash set.
#include "base/hashmap.hpp"
#include "base/hashset.hpp"

#include <gtest/gtest.h>

#include "support/failing_pool.hpp"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

pn_elem E(uintptr_t v) {
    return reinterpret_cast<pn_elem>(v);
}
uintptr_t V(pn_elem e) {
    return reinterpret_cast<uintptr_t>(e);
}
pn_elem S(const char *text) {
    return const_cast<char *>(text);
}

pn_hashmap *int_map(uint64_t capacity) {
    return pn_hashmap_create(PN_TYPE_UINT64, 0, capacity);
}

// Keys of the map in iteration order, through the given view.
std::multiset<uintptr_t> walk(pn_map_view *view) {
    pn_iterator_state st;
    std::multiset<uintptr_t> out;
    view->iterator->init(&st, view);
    while (view->iterator->has_next(&st))
        out.insert(V(view->iterator->next(&st)));
    return out;
}

using HashFailingPool = FailingPool;

} // namespace

//=== hash map ===//

TEST(HashMap, CapacityIsNextPowerOfTwoWithTruncatedThreshold) {
    struct row {
        uint64_t requested, capacity, threshold;
    };
    const row rows[] = {{0, 1, 0}, {1, 1, 0},    {3, 4, 3},   {4, 4, 3},
                        {5, 8, 6}, {32, 32, 24}, {33, 64, 48}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.requested);
        pn_hashmap *m = int_map(r.requested);
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(r.capacity, m->capacity);
        EXPECT_EQ(r.threshold, m->threshold);
        EXPECT_TRUE(m->is_empty(m));
        pn_hashmap_destroy(m);
    }
    // No power of two holds this many buckets.
    EXPECT_EQ(nullptr, int_map(UINT64_MAX));
    pn_hashmap_destroy(nullptr);
}

TEST(HashMap, GrowthDoublesBeforeInsertAndKeepsTheObject) {
    pn_hashmap *m = int_map(0);
    ASSERT_NE(nullptr, m);
    const pn_hashmap *address = m;
    ASSERT_TRUE(m->put(m, E(1), E(100)));
    EXPECT_EQ(2u, m->capacity);
    EXPECT_EQ(1u, m->threshold);
    ASSERT_TRUE(m->put(m, E(2), E(200)));
    ASSERT_TRUE(m->put(m, E(3), E(300)));
    EXPECT_EQ(4u, m->capacity);
    ASSERT_TRUE(m->put(m, E(4), E(400)));
    EXPECT_EQ(8u, m->capacity);
    EXPECT_EQ(address, m);
    for (uintptr_t k = 1; k <= 4; ++k)
        EXPECT_EQ(k * 100, V(m->get(m, E(k))));
    // The load check runs before the duplicate test: a refused put into a full table still grows.
    pn_hashmap *full = int_map(4);
    for (uintptr_t k = 1; k <= 3; ++k)
        ASSERT_TRUE(full->put(full, E(k), E(k)));
    EXPECT_FALSE(full->put(full, E(1), E(9)));
    EXPECT_EQ(8u, full->capacity);
    EXPECT_EQ(3u, full->size);
    // The views still reach the map after growth.
    EXPECT_EQ((std::multiset<uintptr_t>{1, 2, 3}), walk(full->key_view));
    pn_hashmap_destroy(full);
    pn_hashmap_destroy(m);
}

TEST(HashMap, PutRefusesDuplicatesAndUpdateReplaces) {
    pn_hashmap *m = int_map(4);
    ASSERT_TRUE(m->put(m, E(7), E(1)));
    EXPECT_FALSE(m->put(m, E(7), E(2)));
    EXPECT_EQ(1u, V(m->get(m, E(7))));
    EXPECT_TRUE(m->update(m, E(7), E(2)));
    EXPECT_EQ(2u, V(m->get(m, E(7))));
    EXPECT_FALSE(m->update(m, E(8), E(3)));
    EXPECT_FALSE(m->contains_key(m, E(8)));
    EXPECT_EQ(1u, m->size);
    EXPECT_TRUE(m->contains_value(m, E(2)));
    EXPECT_FALSE(m->contains_value(m, E(1)));
    EXPECT_FALSE(m->contains_value(m, E(7))); // a key is not a value
    pn_hashmap_destroy(m);
}

TEST(HashMap, RemoveFreesEmptyBucketAndPutRecreatesIt) {
    pn_hashmap *m = int_map(8);
    ASSERT_TRUE(m->put(m, E(3), E(30)));
    ASSERT_NE(nullptr, m->buckets[3]);
    EXPECT_EQ(nullptr, m->remove(m, E(11))); // same bucket, other key
    EXPECT_EQ(30u, V(m->remove(m, E(3))));
    EXPECT_EQ(nullptr, m->buckets[3]);
    EXPECT_EQ(0u, m->size);
    EXPECT_EQ(nullptr, m->remove(m, E(3)));
    ASSERT_TRUE(m->put(m, E(11), E(110)));
    ASSERT_NE(nullptr, m->buckets[3]);
    EXPECT_EQ(110u, V(m->get(m, E(11))));
    pn_hashmap_destroy(m);
}

TEST(HashMap, StringKeysCompareByTextAndShareBuckets) {
    pn_hashmap *m = pn_hashmap_create(PN_TYPE_STRING, 0, 2048);
    ASSERT_NE(nullptr, m);
    // Find two different texts whose hashes agree in the bucket bits.
    std::vector<std::string> keys;
    for (int i = 0; i < 2000; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "k%d", i);
        keys.emplace_back(text);
    }
    std::map<uint64_t, size_t> seen;
    size_t a = 0, b = 0;
    for (size_t i = 0; i < keys.size() && a == b; ++i) {
        const uint64_t bucket = string_hash(keys[i].data()) & (m->capacity - 1);
        auto [it, fresh] = seen.emplace(bucket, i);
        if (!fresh)
            a = it->second, b = i;
    }
    ASSERT_NE(a, b);
    ASSERT_TRUE(m->put(m, keys[a].data(), E(1)));
    ASSERT_TRUE(m->put(m, keys[b].data(), E(2)));
    const uint64_t bucket = string_hash(keys[a].data()) & (m->capacity - 1);
    EXPECT_EQ(2u, m->buckets[bucket]->size);
    // Lookups with copies of the texts find the entries; the stored key pointer comes back.
    std::string copy_a = keys[a], copy_b = keys[b];
    EXPECT_EQ(1u, V(m->get(m, copy_a.data())));
    EXPECT_EQ(2u, V(m->get(m, copy_b.data())));
    EXPECT_EQ(keys[a].data(), m->get_key(m, copy_a.data()));
    EXPECT_FALSE(m->put(m, copy_b.data(), E(3)));
    EXPECT_EQ(nullptr, m->get(m, S("absent")));
    pn_hashmap_destroy(m);
}

TEST(HashMap, ClearKeepsBucketsAndEmptiesMap) {
    pn_hashmap *m = int_map(4);
    for (uintptr_t k = 0; k < 3; ++k)
        ASSERT_TRUE(m->put(m, E(k), E(k)));
    m->clear(m);
    EXPECT_EQ(0u, m->size);
    EXPECT_TRUE(m->is_empty(m));
    EXPECT_FALSE(m->contains_key(m, E(1)));
    EXPECT_TRUE(walk(m->key_view).empty());
    ASSERT_TRUE(m->put(m, E(1), E(5)));
    EXPECT_EQ(5u, V(m->get(m, E(1))));
    pn_hashmap_destroy(m);
}

TEST(HashMap, ViewsYieldEntriesKeysAndValues) {
    pn_hashmap *m = int_map(4);
    for (uintptr_t k = 1; k <= 20; ++k)
        ASSERT_TRUE(m->put(m, E(k), E(k * 10)));
    std::multiset<uintptr_t> keys, values;
    for (uintptr_t k = 1; k <= 20; ++k)
        keys.insert(k), values.insert(k * 10);
    EXPECT_EQ(keys, walk(m->key_view));
    EXPECT_EQ(values, walk(m->value_view));
    pn_iterator_state st;
    m->entry_view->iterator->init(&st, m->entry_view);
    size_t n = 0;
    while (m->entry_view->iterator->has_next(&st)) {
        auto *e = static_cast<pn_map_entry *>(m->entry_view->iterator->next(&st));
        EXPECT_EQ(V(e->key) * 10, V(e->value));
        ++n;
    }
    EXPECT_EQ(20u, n);
    EXPECT_EQ(nullptr, m->entry_view->iterator->next(&st));
    EXPECT_EQ(nullptr, m->entry_view->iterator->add);
    pn_hashmap_destroy(m);
}

TEST(HashMap, IteratorRemoveTakesOnlyTheLastReturned) {
    pn_hashmap *m = int_map(4);
    for (uintptr_t k = 0; k < 40; ++k)
        ASSERT_TRUE(m->put(m, E(k), E(k + 1)));
    const pn_iterator_ops *ops = m->key_view->iterator;
    pn_hashmap_iter it;
    ops->init(&it, m->key_view);
    EXPECT_EQ(nullptr, ops->remove(&it)); // nothing returned yet
    std::multiset<uintptr_t> kept;
    while (ops->has_next(&it)) {
        const uintptr_t k = V(ops->next(&it));
        if (k % 2 == 0) {
            auto *copy = static_cast<pn_map_entry *>(ops->remove(&it));
            ASSERT_NE(nullptr, copy);
            EXPECT_EQ(k, V(copy->key));
            EXPECT_EQ(k + 1, V(copy->value));
            EXPECT_EQ(nullptr, ops->remove(&it)); // a second remove takes nothing
        } else {
            kept.insert(k);
        }
    }
    EXPECT_EQ(20u, m->size);
    EXPECT_EQ(kept, walk(m->key_view));
    for (uint64_t b = 0; b < m->capacity; ++b) {
        if (m->buckets[b] != nullptr) {
            EXPECT_NE(0u, m->buckets[b]->size) << b;
        }
    }
    pn_hashmap_destroy(m);
}

// Random operations against std::map; growth, bucket release and counts must all agree.
TEST(HashMap, RandomOperationsMatchAStdMap) {
    pn_hashmap *m = int_map(1);
    std::map<uintptr_t, uintptr_t> model;
    std::mt19937 rng(11);
    for (int round = 0; round < 20000; ++round) {
        const uintptr_t k = rng() % 600;
        const uintptr_t v = rng();
        switch (rng() % 4) {
        case 0:
        case 1:
            ASSERT_EQ(model.emplace(k, v).second, m->put(m, E(k), E(v)));
            break;
        case 2: {
            auto it = model.find(k);
            ASSERT_EQ(it == model.end() ? 0 : it->second, V(m->remove(m, E(k))));
            if (it != model.end())
                model.erase(it);
            break;
        }
        default: {
            auto it = model.find(k);
            ASSERT_EQ(it != model.end(), m->update(m, E(k), E(v)));
            if (it != model.end())
                it->second = v;
        }
        }
        ASSERT_EQ(model.size(), m->size);
    }
    for (const auto &[k, v] : model)
        ASSERT_EQ(v, V(m->get(m, E(k))));
    EXPECT_LE(m->size, m->threshold);
    pn_hashmap_destroy(m);
}

//=== hash set ===//

TEST(HashSet, SizeFollowsTheBackingMap) {
    pn_hashset *s = pn_hashset_create(PN_TYPE_STRING, 0, 4);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(4u, s->capacity);
    EXPECT_TRUE(s->is_empty(s));
    char stored[] = "alpha";
    EXPECT_TRUE(s->add(s, stored));
    EXPECT_FALSE(s->add(s, S("alpha")));
    EXPECT_TRUE(s->add(s, S("beta")));
    EXPECT_TRUE(s->add(s, S("gamma")));
    EXPECT_TRUE(s->add(s, S("delta"))); // grows the backing map
    EXPECT_EQ(4u, s->size);
    EXPECT_EQ(s->map->size, s->size);
    EXPECT_TRUE(s->contains(s, S("alpha")));
    EXPECT_EQ(stored, s->get(s, S("alpha")));
    EXPECT_EQ(nullptr, s->get(s, S("omega")));
    EXPECT_TRUE(s->remove(s, S("beta")));
    EXPECT_FALSE(s->remove(s, S("beta")));
    EXPECT_EQ(3u, s->size);
    // Removal through the iterator keeps the set's count in line as well.
    pn_hashset_iter it;
    s->iterator->init(&it, s);
    std::set<std::string> seen;
    while (s->iterator->has_next(&it)) {
        const char *e = static_cast<const char *>(s->iterator->next(&it));
        seen.insert(e);
        if (std::string(e) == "gamma") {
            ASSERT_NE(nullptr, s->iterator->remove(&it));
        }
    }
    EXPECT_EQ((std::set<std::string>{"alpha", "gamma", "delta"}), seen);
    EXPECT_EQ(2u, s->size);
    EXPECT_EQ(s->map->size, s->size);
    s->clear(s);
    EXPECT_EQ(0u, s->size);
    EXPECT_FALSE(s->contains(s, S("alpha")));
    pn_hashset_destroy(s);
    pn_hashset_destroy(nullptr);
}

//=== allocation failures ===//

TEST_F(HashFailingPool, CreationFailureAtAnyStepReleasesEverything) {
    // Object, bucket array, three views for the map; the set object before them.
    for (long k = 0; k < 5; ++k) {
        budget = k;
        EXPECT_EQ(nullptr, pn_hashmap_create(PN_TYPE_UINT64, 1, 4)) << k;
    }
    for (long k = 0; k < 6; ++k) {
        budget = k;
        EXPECT_EQ(nullptr, pn_hashset_create(PN_TYPE_UINT64, 1, 4)) << k;
    }
    budget = 6;
    pn_hashset *s = pn_hashset_create(PN_TYPE_UINT64, 1, 4);
    EXPECT_NE(nullptr, s);
    budget = -1;
    pn_hashset_destroy(s);
}

TEST_F(HashFailingPool, FailedPutLeavesTheMapIntact) {
    pn_hashmap *m = pn_hashmap_create(PN_TYPE_UINT64, 1, 4);
    ASSERT_NE(nullptr, m);
    for (uintptr_t k = 0; k < 3; ++k)
        ASSERT_TRUE(m->put(m, E(k * 4), E(k)));
    // The next put must grow; fail each allocation of the growth and of the insert in turn.
    for (long k = 0; k < 8; ++k) {
        SCOPED_TRACE(k);
        budget = k;
        const bool ok = m->put(m, E(99), E(7));
        budget = -1;
        if (ok) {
            EXPECT_EQ(7u, V(m->remove(m, E(99))));
            continue;
        }
        EXPECT_EQ(3u, m->size);
        EXPECT_FALSE(m->contains_key(m, E(99)));
        for (uintptr_t j = 0; j < 3; ++j)
            EXPECT_EQ(j, V(m->get(m, E(j * 4))));
        EXPECT_EQ((std::multiset<uintptr_t>{0, 4, 8}), walk(m->key_view));
    }
    pn_hashmap_destroy(m);
}

TEST_F(HashFailingPool, FailedSetAddKeepsSizeInStep) {
    pn_hashset *s = pn_hashset_create(PN_TYPE_UINT64, 1, 8);
    ASSERT_NE(nullptr, s);
    ASSERT_TRUE(s->add(s, E(1)));
    budget = 0;
    EXPECT_FALSE(s->add(s, E(2)));
    budget = -1;
    EXPECT_EQ(1u, s->size);
    EXPECT_EQ(s->map->size, s->size);
    EXPECT_FALSE(s->contains(s, E(2)));
    pn_hashset_destroy(s);
}
