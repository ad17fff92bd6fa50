// Allocator hooks: the C library allocator unless replaced.
#include "peg/memory.hpp"

#include <cstdlib>

namespace {

peg_malloc_func g_malloc = std::malloc;
peg_free_func g_free = std::free;
peg_calloc_func g_calloc = std::calloc;
peg_realloc_func g_realloc = std::realloc;

} // namespace

void peg_set_mem_func(peg_malloc_func allocate, peg_free_func release,
                      peg_calloc_func allocate_zeroed, peg_realloc_func resize) {
    g_malloc = allocate ? allocate : std::malloc;
    g_free = release ? release : std::free;
    g_calloc = allocate_zeroed ? allocate_zeroed : std::calloc;
    g_realloc = resize ? resize : std::realloc;
}

void *peg_malloc(std::size_t size) {
    return g_malloc(size);
}

void peg_free(void *ptr) {
    if (ptr)
        g_free(ptr);
}

void *peg_calloc(std::size_t count, std::size_t size) {
    return g_calloc(count, size);
}

void *peg_realloc(void *ptr, std::size_t size) {
    return g_realloc(ptr, size);
}
