// Hash map of 64-bit keys and values over power-of-two buckets of array lists.
#include "base/hashmap.hpp"

namespace {

static_assert(sizeof(pn_hashmap_iter) <= sizeof(pn_iterator_state),
              "state must fit the caller's buffer");

constexpr uint32_t bucket_capacity = 1;

pn_hashmap *as_hash(pn_map *m) {
    return static_cast<pn_hashmap *>(m);
}

uint64_t bucket_of(const pn_hashmap *m, pn_elem key) {
    return m->hash(key) & (m->capacity - 1);
}

pn_map_entry *entry_at(pn_arraylist *bucket, uint64_t i) {
    return static_cast<pn_map_entry *>(bucket->items[i]);
}

// Position of the entry whose key equals `key` within its bucket, or -1.
int64_t find_in(pn_hashmap *m, pn_arraylist *bucket, pn_elem key) {
    if (bucket == nullptr)
        return -1;
    for (uint64_t i = 0; i < bucket->size; ++i) {
        if (m->equals(entry_at(bucket, i)->key, key))
            return static_cast<int64_t>(i);
    }
    return -1;
}

pn_map_entry *find(pn_hashmap *m, pn_elem key) {
    pn_arraylist *bucket = m->buckets[bucket_of(m, key)];
    const int64_t i = find_in(m, bucket, key);
    return i < 0 ? nullptr : entry_at(bucket, static_cast<uint64_t>(i));
}

// Releases every entry and every bucket list, then the bucket array itself.
void release_table(pn_hashmap *m, pn_arraylist **buckets, uint64_t capacity, bool entries) {
    if (buckets == nullptr)
        return;
    for (uint64_t b = 0; b < capacity; ++b) {
        pn_arraylist *bucket = buckets[b];
        if (bucket == nullptr)
            continue;
        if (entries) {
            for (uint64_t i = 0; i < bucket->size; ++i)
                m->release(bucket->items[i]);
        }
        pn_arraylist_destroy(bucket);
    }
    m->release(buckets);
}

// Allocates a zero-filled table of `capacity` bucket pointers; null when that fails or overflows.
pn_arraylist **table_new(pn_hashmap *m, uint64_t capacity) {
    if (capacity > SIZE_MAX / sizeof(pn_arraylist *))
        return nullptr;
    return static_cast<pn_arraylist **>(m->allocate_zeroed(capacity, sizeof(pn_arraylist *)));
}

uint64_t threshold_of(uint64_t capacity) {
    return static_cast<uint64_t>(static_cast<double>(capacity) * 0.75);
}

// Adds an entry pointer to bucket `b` of `buckets`, creating the bucket list when needed.
bool bucket_add(pn_hashmap *m, pn_arraylist **buckets, uint64_t b, pn_map_entry *e) {
    pn_arraylist *bucket = buckets[b];
    const bool fresh = bucket == nullptr;
    if (fresh) {
        bucket = pn_arraylist_create(m->type, m->pool, bucket_capacity);
        if (bucket == nullptr)
            return false;
    }
    if (!bucket->add(bucket, e)) {
        if (fresh)
            pn_arraylist_destroy(bucket);
        return false;
    }
    buckets[b] = bucket;
    return true;
}

// Doubles the bucket table, moving the existing entries into it; the map object keeps its
// address. On failure the map is left exactly as it was.
bool grow(pn_hashmap *m) {
    if (m->capacity > (UINT64_MAX >> 1))
        return false;
    const uint64_t capacity = m->capacity * 2;
    pn_arraylist **buckets = table_new(m, capacity);
    if (buckets == nullptr)
        return false;
    for (uint64_t b = 0; b < m->capacity; ++b) {
        pn_arraylist *old = m->buckets[b];
        if (old == nullptr)
            continue;
        for (uint64_t i = 0; i < old->size; ++i) {
            pn_map_entry *e = entry_at(old, i);
            if (!bucket_add(m, buckets, m->hash(e->key) & (capacity - 1), e)) {
                release_table(m, buckets, capacity, false);
                return false;
            }
        }
    }
    release_table(m, m->buckets, m->capacity, false);
    m->buckets = buckets;
    m->capacity = capacity;
    m->threshold = threshold_of(capacity);
    return true;
}

// Takes entry i out of bucket b, destroying the bucket when it becomes empty; returns the entry.
pn_map_entry *take(pn_hashmap *m, uint64_t b, uint64_t i) {
    pn_arraylist *bucket = m->buckets[b];
    auto *e = static_cast<pn_map_entry *>(bucket->remove_at(bucket, i));
    if (bucket->size == 0) {
        pn_arraylist_destroy(bucket);
        m->buckets[b] = nullptr;
    }
    --m->size;
    return e;
}

//=== map operations ===//

pn_elem hm_get(pn_map *m, pn_elem key) {
    pn_map_entry *e = find(as_hash(m), key);
    return e != nullptr ? e->value : nullptr;
}

pn_elem hm_get_key(pn_map *m, pn_elem key) {
    pn_map_entry *e = find(as_hash(m), key);
    return e != nullptr ? e->key : nullptr;
}

bool hm_contains_key(pn_map *m, pn_elem key) {
    return find(as_hash(m), key) != nullptr;
}

bool hm_contains_value(pn_map *m, pn_elem value) {
    // Values carry no element type of their own, so they are compared as stored slot values.
    pn_hashmap *hm = as_hash(m);
    for (uint64_t b = 0; b < hm->capacity; ++b) {
        pn_arraylist *bucket = hm->buckets[b];
        if (bucket == nullptr)
            continue;
        for (uint64_t i = 0; i < bucket->size; ++i) {
            if (entry_at(bucket, i)->value == value)
                return true;
        }
    }
    return false;
}

bool hm_put(pn_map *m, pn_elem key, pn_elem value) {
    pn_hashmap *hm = as_hash(m);
    // The table grows before the duplicate test, as the load check looks only at the count.
    if (hm->threshold < hm->size + 1 && !grow(hm))
        return false;
    const uint64_t b = bucket_of(hm, key);
    if (find_in(hm, hm->buckets[b], key) >= 0)
        return false;
    auto *e = static_cast<pn_map_entry *>(hm->allocate(sizeof(pn_map_entry)));
    if (e == nullptr)
        return false;
    e->key = key;
    e->value = value;
    if (!bucket_add(hm, hm->buckets, b, e)) {
        hm->release(e);
        return false;
    }
    ++hm->size;
    return true;
}

bool hm_update(pn_map *m, pn_elem key, pn_elem value) {
    pn_map_entry *e = find(as_hash(m), key);
    if (e == nullptr)
        return false;
    e->value = value;
    return true;
}

pn_elem hm_remove(pn_map *m, pn_elem key) {
    pn_hashmap *hm = as_hash(m);
    const uint64_t b = bucket_of(hm, key);
    const int64_t i = find_in(hm, hm->buckets[b], key);
    if (i < 0)
        return nullptr;
    pn_map_entry *e = take(hm, b, static_cast<uint64_t>(i));
    pn_elem value = e->value;
    hm->release(e);
    return value;
}

void hm_clear(pn_map *m) {
    pn_hashmap *hm = as_hash(m);
    for (uint64_t b = 0; b < hm->capacity; ++b) {
        pn_arraylist *bucket = hm->buckets[b];
        if (bucket == nullptr)
            continue;
        for (uint64_t i = 0; i < bucket->size; ++i)
            hm->release(bucket->items[i]);
        bucket->clear(bucket);
    }
    hm->size = 0;
}

//=== iterators ===//

pn_hashmap_iter *as_iter(void *state) {
    return static_cast<pn_hashmap_iter *>(state);
}

void iter_init(void *state, void *container) {
    pn_hashmap_iter *it = as_iter(state);
    auto *m = as_hash(static_cast<pn_map_view *>(container)->map);
    it->map = m;
    it->bucket = 0;
    while (it->bucket < m->capacity && m->buckets[it->bucket] == nullptr)
        ++it->bucket;
    it->position = 0;
    it->entry = {nullptr, nullptr};
    it->has_current = false;
}

bool iter_has_next(void *state) {
    pn_hashmap_iter *it = as_iter(state);
    pn_hashmap *m = it->map;
    if (it->bucket < m->capacity) {
        pn_arraylist *bucket = m->buckets[it->bucket];
        if (bucket != nullptr && it->position < bucket->size)
            return true;
    }
    // Move on to the next bucket that holds an entry.
    for (uint64_t b = it->bucket + 1; b < m->capacity; ++b) {
        pn_arraylist *bucket = m->buckets[b];
        if (bucket != nullptr && bucket->size > 0) {
            it->bucket = b;
            it->position = 0;
            return true;
        }
    }
    it->bucket = m->capacity;
    it->position = 0;
    return false;
}

// Copies the next entry into the state; null at the end.
pn_map_entry *iter_advance(pn_hashmap_iter *it) {
    if (!iter_has_next(it))
        return nullptr;
    it->entry = *entry_at(it->map->buckets[it->bucket], it->position);
    ++it->position;
    it->has_current = true;
    return &it->entry;
}

pn_elem iter_next_entry(void *state) {
    return iter_advance(as_iter(state));
}

pn_elem iter_next_key(void *state) {
    pn_map_entry *e = iter_advance(as_iter(state));
    return e != nullptr ? e->key : nullptr;
}

pn_elem iter_next_value(void *state) {
    pn_map_entry *e = iter_advance(as_iter(state));
    return e != nullptr ? e->value : nullptr;
}

pn_elem iter_remove(void *state) {
    // Only the entry last returned may go; without one there is nothing to go back to.
    pn_hashmap_iter *it = as_iter(state);
    if (!it->has_current || it->position == 0)
        return nullptr;
    it->has_current = false;
    --it->position;
    pn_map_entry *e = take(it->map, it->bucket, it->position);
    it->entry = *e;
    it->map->release(e);
    return &it->entry;
}

pn_map_view *view_new(pn_hashmap *m, const pn_iterator_ops *ops) {
    auto *v = static_cast<pn_map_view *>(m->allocate_zeroed(1, sizeof(pn_map_view)));
    if (v == nullptr)
        return nullptr;
    v->map = m;
    v->iterator = ops;
    return v;
}

} // namespace

const pn_iterator_ops pn_hashmap_entry_iterator_ops = {
    iter_init, iter_has_next, iter_next_entry, nullptr, iter_remove, {nullptr, nullptr, nullptr}};
const pn_iterator_ops pn_hashmap_key_iterator_ops = {
    iter_init, iter_has_next, iter_next_key, nullptr, iter_remove, {nullptr, nullptr, nullptr}};
const pn_iterator_ops pn_hashmap_value_iterator_ops = {
    iter_init, iter_has_next, iter_next_value, nullptr, iter_remove, {nullptr, nullptr, nullptr}};

pn_hashmap *pn_hashmap_create(uint32_t type, uint32_t pool, uint64_t capacity) {
    uint64_t buckets = 1;
    while (buckets < capacity) {
        if (buckets > (UINT64_MAX >> 1))
            return nullptr;
        buckets <<= 1;
    }
    auto *m = static_cast<pn_hashmap *>(pn_map_create(type, pool, sizeof(pn_hashmap)));
    if (m == nullptr)
        return nullptr;
    m->buckets = table_new(m, buckets);
    m->entry_view = view_new(m, &pn_hashmap_entry_iterator_ops);
    m->key_view = view_new(m, &pn_hashmap_key_iterator_ops);
    m->value_view = view_new(m, &pn_hashmap_value_iterator_ops);
    if (m->buckets == nullptr || m->entry_view == nullptr || m->key_view == nullptr ||
        m->value_view == nullptr) {
        pn_hashmap_destroy(m);
        return nullptr;
    }
    m->capacity = buckets;
    m->threshold = threshold_of(buckets);
    m->get = hm_get;
    m->get_key = hm_get_key;
    m->put = hm_put;
    m->update = hm_update;
    m->remove = hm_remove;
    m->clear = hm_clear;
    m->contains_key = hm_contains_key;
    m->contains_value = hm_contains_value;
    return m;
}

void pn_hashmap_destroy(pn_hashmap *m) {
    if (m == nullptr)
        return;
    release_table(m, m->buckets, m->capacity, true);
    m->release(m->entry_view);
    m->release(m->key_view);
    m->release(m->value_view);
    pn_map_destroy(m);
}
