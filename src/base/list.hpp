// List interface shared by the linked list and the array list.
#pragma once

#include "base/collection.hpp"

/// List object: the header, then the list operations in slot order.
struct pn_list : pn_collection {
    bool (*contains)(pn_list *l, pn_elem e);          ///< index_of(e) != -1
    bool (*add)(pn_list *l, pn_elem e);               ///< appends; false when out of memory
    bool (*remove)(pn_list *l, pn_elem e);            ///< removes the first equal; false if none
    void (*clear)(pn_list *l);                        ///< removes every element
    uint64_t size;                                    ///< element count
    const pn_iterator_ops *iterator;                  ///< the kind's iterator table
    pn_elem (*get)(pn_list *l, uint64_t i);           ///< element i, null when i >= size
    pn_elem (*get_by_element)(pn_list *l, pn_elem e); ///< stored element equal to e, or null
    pn_elem (*set)(pn_list *l, uint64_t i,
                   pn_elem e);                    ///< old element i; null, no change if i >= size
    pn_elem (*remove_at)(pn_list *l, uint64_t i); ///< removes and returns element i, or null
    bool (*add_at)(pn_list *l, uint64_t i, pn_elem e); ///< inserts as element i; true/false
    int32_t (*index_of)(pn_list *l, pn_elem e);        ///< first equal position, or -1
};

/// Allocates a list object of `object_size` bytes with its header filled; null on failure.
[[nodiscard]] pn_list *pn_list_create(uint32_t type, uint32_t pool, size_t object_size);
/// Releases the list object itself through its pool (not its nodes or array); accepts null.
void pn_list_destroy(pn_list *l);
/// is_empty of every list: size == 0.
bool pn_list_is_empty(pn_collection *c);
