// Hash set: a thin wrapper whose elements are the keys of a backing hash map.
#pragma once

#include "base/hashmap.hpp"
#include "base/set.hpp"

/// Hash set: the set object, then the creation capacity, get and the backing map.
struct pn_hashset : pn_set {
    uint64_t capacity;                        ///< capacity given at creation
    pn_elem (*get)(pn_hashset *s, pn_elem e); ///< stored element equal to e, or null
    pn_hashmap *map;                          ///< backing map; every value is a placeholder
};

/// Hash-set iterator state: the set, then the backing map's key iterator state.
struct pn_hashset_iter {
    pn_hashset *set;          ///< the set
    pn_hashmap_iter map_iter; ///< key-view iterator of the backing map
};

/// The hash-set iterator table (next returns the element; remove the removed entry's copy).
extern const pn_iterator_ops pn_hashset_iterator_ops;

/// Empty set over a backing `pn_hashmap_create(type, pool, capacity)`; null on failure
/// (not logged), everything released.
[[nodiscard]] pn_hashset *pn_hashset_create(uint32_t type, uint32_t pool, uint64_t capacity);
/// Destroys the backing map, then the set object; accepts null. Elements are not released.
void pn_hashset_destroy(pn_hashset *s);
