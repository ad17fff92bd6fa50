// Allocator hooks through which every record of the PEG engine is allocated and released.
#pragma once

#include <cstddef>

/// Hook type that allocates size bytes; null on failure.
using peg_malloc_func = void *(*)(std::size_t size);
/// Hook type that releases a block made by one of the other hooks; accepts null.
using peg_free_func = void (*)(void *ptr);
/// Hook type that allocates count * size zero-filled bytes; null on failure or overflow.
using peg_calloc_func = void *(*)(std::size_t count, std::size_t size);
/// Hook type that resizes a block (null ptr allocates); null on failure, old block kept.
using peg_realloc_func = void *(*)(void *ptr, std::size_t size);

/// Replaces the four hooks; a null argument restores the C library function for that hook.
void peg_set_mem_func(peg_malloc_func allocate, peg_free_func release,
                      peg_calloc_func allocate_zeroed, peg_realloc_func resize);

/// Allocates size bytes through the hook; null on failure (not logged here).
[[nodiscard]] void *peg_malloc(std::size_t size);
/// Releases a block made by the hooks; accepts null.
void peg_free(void *ptr);
/// Allocates count * size zero-filled bytes through the hook; null on failure or overflow.
[[nodiscard]] void *peg_calloc(std::size_t count, std::size_t size);
/// Resizes a block through the hook; null on failure, in which case ptr is still owned.
[[nodiscard]] void *peg_realloc(void *ptr, std::size_t size);
