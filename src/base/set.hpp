// Set interface of the `pn_` collections.
#pragma once

#include "base/collection.hpp"

/// Set object: the header, then the set operations in slot order.
struct pn_set : pn_collection {
    bool (*contains)(pn_set *s, pn_elem e); ///< an equal element is stored
    bool (*add)(pn_set *s, pn_elem e);      ///< adds; false when present or out of memory
    bool (*remove)(pn_set *s, pn_elem e);   ///< removes; false when absent
    void (*clear)(pn_set *s);               ///< removes every element
    uint64_t size;                          ///< element count
    const pn_iterator_ops *iterator;        ///< the kind's iterator table
};

/// Allocates a set object of `object_size` bytes with its header filled; null on failure.
[[nodiscard]] pn_set *pn_set_create(uint32_t type, uint32_t pool, size_t object_size);
/// Releases the set object itself through its pool; accepts null.
void pn_set_destroy(pn_set *s);
/// is_empty of every set: size == 0.
bool pn_set_is_empty(pn_collection *c);
