// Growable array list of 64-bit elements; the element array comes from the list's pool.
#pragma once

#include "base/list.hpp"

/// Array list: the list object, then its capacity and element array.
struct pn_arraylist : pn_list {
    uint64_t capacity; ///< slots in `items`
    pn_elem *items;    ///< element array from the pool
};

/// Array-list iterator state (fits in `pn_iterator_state`).
struct pn_arraylist_iter {
    pn_arraylist *list; ///< the list
    uint64_t index;     ///< index of the element next returns
    bool has_current;   ///< next returned an element that is still in place (remove may take it)
};

/// The array-list iterator table.
extern const pn_iterator_ops pn_arraylist_iterator_ops;

/// Empty array list with `capacity` slots (1 for 0); null on failure (not logged).
[[nodiscard]] pn_arraylist *pn_arraylist_create(uint32_t type, uint32_t pool, uint64_t capacity);
/// Releases the element array, then the object; accepts null. Elements are not released.
void pn_arraylist_destroy(pn_arraylist *l);
