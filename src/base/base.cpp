// Element-type and memory-pool registries with the built-in element types.
#include "base/base.hpp"

#include <cstdlib>
#include <cstring>

namespace {

uint64_t slot(pn_elem e) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(e));
}

template <class T> int order(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

pn_data_ops_t type_registry[PN_TYPE_COUNT] = {
    {int32_hash, int32_equals, int32_compare},    {int64_hash, int64_equals, int64_compare},
    {uint32_hash, uint32_equals, uint32_compare}, {uint64_hash, uint64_equals, uint64_compare},
    {string_hash, string_equals, string_compare}, {uintptr_hash, uintptr_equals, uintptr_compare},
};

void *pool_malloc(size_t size) {
    return std::malloc(size);
}
void pool_free(void *p) {
    std::free(p);
}
void *pool_calloc(size_t count, size_t size) {
    return std::calloc(count, size);
}
void *pool_realloc(void *p, size_t size) {
    return std::realloc(p, size);
}

pn_pool_ops_t pool_registry[PN_POOL_COUNT] = {
    {pool_malloc, pool_free, pool_calloc, pool_realloc},
};

} // namespace

int pn_register_type(uint32_t index, pn_hash_fn hash, pn_equals_fn equals, pn_compare_fn compare) {
    if (index >= PN_TYPE_COUNT)
        return 1;
    type_registry[index] = {hash, equals, compare};
    return 0;
}

int pn_register_pool(uint32_t index, pn_alloc_fn allocate, pn_release_fn release,
                     pn_alloc_zeroed_fn allocate_zeroed, pn_resize_fn resize) {
    if (index >= PN_POOL_COUNT)
        return 1;
    pool_registry[index] = {allocate, release, allocate_zeroed, resize};
    return 0;
}

const pn_data_ops_t *pn_data_ops(uint32_t index) {
    if (index >= PN_TYPE_COUNT || type_registry[index].hash == nullptr)
        return nullptr;
    return &type_registry[index];
}

const pn_pool_ops_t *pn_pool_ops(uint32_t index) {
    if (index >= PN_POOL_COUNT || pool_registry[index].allocate == nullptr)
        return nullptr;
    return &pool_registry[index];
}

uint64_t int32_hash(pn_elem e) {
    return slot(e);
}
bool int32_equals(pn_elem a, pn_elem b) {
    return static_cast<uint32_t>(slot(a)) == static_cast<uint32_t>(slot(b));
}
int int32_compare(pn_elem a, pn_elem b) {
    return order(static_cast<int32_t>(static_cast<uint32_t>(slot(a))),
                 static_cast<int32_t>(static_cast<uint32_t>(slot(b))));
}

uint64_t int64_hash(pn_elem e) {
    return slot(e);
}
bool int64_equals(pn_elem a, pn_elem b) {
    return slot(a) == slot(b);
}
int int64_compare(pn_elem a, pn_elem b) {
    return order(static_cast<int64_t>(slot(a)), static_cast<int64_t>(slot(b)));
}

uint64_t uint32_hash(pn_elem e) {
    return slot(e);
}
bool uint32_equals(pn_elem a, pn_elem b) {
    return static_cast<uint32_t>(slot(a)) == static_cast<uint32_t>(slot(b));
}
int uint32_compare(pn_elem a, pn_elem b) {
    return order(static_cast<uint32_t>(slot(a)), static_cast<uint32_t>(slot(b)));
}

uint64_t uint64_hash(pn_elem e) {
    return slot(e);
}
bool uint64_equals(pn_elem a, pn_elem b) {
    return slot(a) == slot(b);
}
int uint64_compare(pn_elem a, pn_elem b) {
    return order(slot(a), slot(b));
}

uint64_t string_hash(pn_elem e) {
    const char *text = static_cast<const char *>(e);
    if (text == nullptr)
        return 0;
    uint32_t h = 5555;
    uint32_t length = 0;
    for (const char *p = text; *p != 0; ++p, ++length) {
        // Each byte counts as a signed 8-bit value; unsigned arithmetic wraps modulo 2^32.
        h = h * 33u + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    }
    return (static_cast<uint64_t>(length) << 32) | h;
}
bool string_equals(pn_elem a, pn_elem b) {
    if (a == nullptr || b == nullptr)
        return a == b;
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0;
}
int string_compare(pn_elem a, pn_elem b) {
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    const int r = std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

uint64_t uintptr_hash(pn_elem e) {
    return slot(e);
}
bool uintptr_equals(pn_elem a, pn_elem b) {
    return slot(a) == slot(b);
}
int uintptr_compare(pn_elem a, pn_elem b) {
    return order(slot(a), slot(b));
}
