// Growable arrays of untyped pointers: node children, stacks and lists.
#pragma once

#include <cstdint>

/// Pointer array; slots 0 to count - 1 are in use. Never owns its elements.
struct vector {
    void **items;           ///< slot array made with the hooks
    std::uint64_t capacity; ///< number of slots
    std::uint64_t count;    ///< slots in use
};

/// Zero-filled array of capacity slots, count 0; false (logged) on out of memory.
[[nodiscard]] bool vector_init(vector *v, std::uint64_t capacity);
/// Allocated vector; null (logged) on out of memory; release with vector_delete.
[[nodiscard]] vector *vector_new(std::uint64_t capacity);
/// Releases the slot array (not the elements) and zeroes the record; accepts null/zeroed.
void vector_clear(vector *v);
/// vector_clear, then releases the record; accepts null.
void vector_delete(vector *v);
/// items[i]; i must be below count.
[[nodiscard]] void *vector_get(const vector *v, std::uint64_t i);
/// Appends, doubling capacity when full (0 grows to 8); false (logged) on out of memory,
/// leaving the vector unchanged.
[[nodiscard]] bool vector_add(vector *v, void *item);
/// Same as vector_add.
[[nodiscard]] bool vector_push(vector *v, void *item);
/// Nulls the last slot and decrements count; nothing when empty.
void vector_pop(vector *v);
/// The last element, or null when empty.
[[nodiscard]] void *vector_peek(const vector *v);
/// Reverses the elements in place.
void vector_reverse(vector *v);
