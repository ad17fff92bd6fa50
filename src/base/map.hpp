// Map interface of the `pn_` collections: entries of a key and a value, iterable through views.
#pragma once

#include "base/collection.hpp"

struct pn_map;

/// Map entry: key and value slots (neither owned), allocated from the map's pool.
struct pn_map_entry {
    pn_elem key;   ///< the key
    pn_elem value; ///< the value
};

/// View of a map for the iterator protocol: a zero-filled header, the map and an iterator table.
struct pn_map_view : pn_collection {
    pn_map *map;                     ///< the viewed map
    const pn_iterator_ops *iterator; ///< next yields the entry, the key or the value
};

/// Map object: the header (its type applies to the keys), then the map operations in slot order.
struct pn_map : pn_collection {
    pn_elem (*get)(pn_map *m, pn_elem key);             ///< value of the equal key, or null
    pn_elem (*get_key)(pn_map *m, pn_elem key);         ///< stored key equal to key, or null
    bool (*put)(pn_map *m, pn_elem key, pn_elem value); ///< inserts; false if present or no memory
    bool (*update)(pn_map *m, pn_elem key, pn_elem value); ///< replaces a value; false if absent
    pn_elem (*remove)(pn_map *m, pn_elem key);        ///< removes; the value, or null if absent
    void (*clear)(pn_map *m);                         ///< removes every entry
    bool (*contains_key)(pn_map *m, pn_elem key);     ///< an entry's key equals key
    bool (*contains_value)(pn_map *m, pn_elem value); ///< an entry's value is the same slot value
    pn_map_view *entry_view;                          ///< iterates `pn_map_entry*` copies
    pn_map_view *key_view;                            ///< iterates keys
    pn_map_view *value_view;                          ///< iterates values
    uint64_t size;                                    ///< entry count
};

/// Allocates a zero-filled map object of `object_size` bytes with its header; null on failure.
[[nodiscard]] pn_map *pn_map_create(uint32_t type, uint32_t pool, size_t object_size);
/// Releases the map object itself through its pool; accepts null.
void pn_map_destroy(pn_map *m);
/// is_empty of every map: size == 0.
bool pn_map_is_empty(pn_collection *c);
