// Allocator hooks that count live blocks, so tests can check that everything is released.
#include "alloc_count.hpp"

#include <cstdlib>

#include "peg/memory.hpp"

namespace {

std::int64_t g_live = 0;
std::int64_t g_fail_after = -1;

bool may_allocate() {
    if (g_fail_after < 0)
        return true;
    if (g_fail_after == 0)
        return false;
    --g_fail_after;
    return true;
}

void *count_malloc(std::size_t n) {
    if (!may_allocate())
        return nullptr;
    void *p = std::malloc(n ? n : 1);
    if (p)
        ++g_live;
    return p;
}

void count_free(void *p) {
    if (p)
        --g_live;
    std::free(p);
}

void *count_calloc(std::size_t n, std::size_t size) {
    if (!may_allocate())
        return nullptr;
    void *p = std::calloc(n ? n : 1, size ? size : 1);
    if (p)
        ++g_live;
    return p;
}

void *count_realloc(void *p, std::size_t n) {
    if (!may_allocate())
        return nullptr;
    void *q = std::realloc(p, n ? n : 1);
    if (q && !p)
        ++g_live;
    return q;
}

} // namespace

alloc_count::alloc_count() {
    g_live = 0;
    g_fail_after = -1;
    peg_set_mem_func(count_malloc, count_free, count_calloc, count_realloc);
}

alloc_count::~alloc_count() {
    g_fail_after = -1;
    peg_set_mem_func(nullptr, nullptr, nullptr, nullptr);
}

std::int64_t alloc_count::live() const {
    return g_live;
}

void alloc_count::fail_after(std::int64_t n) {
    g_fail_after = n;
}
