// Common header of every `pn_` collection object and the iterator protocol.
#pragma once

#include "base/base.hpp"

#include <cstddef>
#include <cstdint>

struct pn_collection;

/// Iterator table, one static table per container kind; init, then has_next and next.
struct pn_iterator_ops {
    /// Fills the caller's state buffer for iterating `container`.
    void (*init)(void *state, void *container);
    /// True while an element remains.
    bool (*has_next)(void *state);
    /// The next element, or null at the end.
    pn_elem (*next)(void *state);
    /// Inserts at the iteration point; true/false (null slot for hash containers).
    bool (*add)(void *state, pn_elem e);
    /// Removes the element last returned by next; null when there is none.
    pn_elem (*remove)(void *state);
    /// Unused slots.
    void *reserved[3];
};

/// Caller's iterator state buffer, large enough for every container kind.
struct pn_iterator_state {
    alignas(8) unsigned char bytes[80]; ///< opaque state
};

/// Collection header, the first part of every container object.
struct pn_collection {
    uint32_t type;                      ///< element type index
    pn_hash_fn hash;                    ///< the type's hash, copied at creation
    pn_equals_fn equals;                ///< the type's equality, copied at creation
    pn_compare_fn compare;              ///< the type's order, copied at creation
    uint32_t pool;                      ///< pool index
    pn_alloc_fn allocate;               ///< the pool's allocate, copied at creation
    pn_release_fn release;              ///< the pool's release, copied at creation
    pn_alloc_zeroed_fn allocate_zeroed; ///< the pool's allocate-zeroed, copied at creation
    pn_resize_fn resize;                ///< the pool's resize, copied at creation
    bool (*is_empty)(pn_collection *c); ///< true when the element count is 0
};

/// Allocates a zero-filled object of `object_size` bytes from the pool and fills its header;
/// null when the type or pool is not registered, the size is too small or allocation fails.
[[nodiscard]] pn_collection *pn_collection_create(uint32_t type, uint32_t pool, size_t object_size);
/// Fills the header of a zero-filled object; false when the type or pool is not registered.
[[nodiscard]] bool pn_collection_init(pn_collection *c, uint32_t type, uint32_t pool);
/// Releases the object itself through its own pool; accepts null.
void pn_collection_destroy(pn_collection *c);
