// Hash map of 64-bit keys and values: power-of-two buckets of array lists, doubling at 3/4 load.
#pragma once

#include "base/arraylist.hpp"
#include "base/map.hpp"

/// Hash map: the map object, then its bucket table.
struct pn_hashmap : pn_map {
    pn_arraylist **buckets; ///< `capacity` bucket lists of `pn_map_entry*`, null when empty
    uint64_t capacity;      ///< bucket count, a power of two
    uint64_t threshold;     ///< capacity x 0.75, truncated: a put beyond it doubles the table
};

/// Hash-map iterator state over one of the map's views (fits in `pn_iterator_state`).
struct pn_hashmap_iter {
    pn_hashmap *map;    ///< the map
    uint64_t bucket;    ///< current bucket index (capacity at the end)
    uint64_t position;  ///< position of the next entry within the bucket
    pn_map_entry entry; ///< copy of the entry last returned or removed
    bool has_current;   ///< next returned an entry that is still in the map
};

/// Iterator table of the entry view (next returns a pointer to the copied entry).
extern const pn_iterator_ops pn_hashmap_entry_iterator_ops;
/// Iterator table of the key view (next returns the key).
extern const pn_iterator_ops pn_hashmap_key_iterator_ops;
/// Iterator table of the value view (next returns the value).
extern const pn_iterator_ops pn_hashmap_value_iterator_ops;

/// Empty map with the smallest power-of-two capacity >= `capacity` (1 for 0); null on failure
/// (not logged), everything made so far released.
[[nodiscard]] pn_hashmap *pn_hashmap_create(uint32_t type, uint32_t pool, uint64_t capacity);
/// Releases every entry and bucket, the bucket array, the views and the object; accepts null.
/// Keys and values are not released.
void pn_hashmap_destroy(pn_hashmap *m);
