// Growable arrays of untyped pointers: node children, stacks and lists.
#include "peg/vector.hpp"

#include <cstdint>

#include "peg/memory.hpp"
#include "peg/peg_log.hpp"

bool vector_init(vector *v, std::uint64_t capacity) {
    v->count = 0;
    v->capacity = 0;
    v->items = nullptr;
    if (capacity == 0)
        return true;
    if (capacity > SIZE_MAX / sizeof(void *)) {
        peg_log_oom("vector");
        return false;
    }
    v->items = static_cast<void **>(peg_calloc(capacity, sizeof(void *)));
    if (!v->items) {
        peg_log_oom("vector");
        return false;
    }
    v->capacity = capacity;
    return true;
}

vector *vector_new(std::uint64_t capacity) {
    auto *v = static_cast<vector *>(peg_malloc(sizeof(vector)));
    if (!v) {
        peg_log_oom("vector");
        return nullptr;
    }
    if (!vector_init(v, capacity)) {
        peg_free(v);
        return nullptr;
    }
    return v;
}

void vector_clear(vector *v) {
    if (!v)
        return;
    peg_free(static_cast<void *>(v->items));
    v->items = nullptr;
    v->capacity = 0;
    v->count = 0;
}

void vector_delete(vector *v) {
    vector_clear(v);
    peg_free(v);
}

void *vector_get(const vector *v, std::uint64_t i) {
    return v->items[i];
}

bool vector_add(vector *v, void *item) {
    if (v->count == v->capacity) {
        std::uint64_t grown = v->capacity ? v->capacity * 2 : 8;
        if (grown > SIZE_MAX / sizeof(void *)) {
            peg_log_oom("vector");
            return false;
        }
        auto *items = static_cast<void **>(
            peg_realloc(static_cast<void *>(v->items), grown * sizeof(void *)));
        if (!items) {
            peg_log_oom("vector");
            return false;
        }
        for (std::uint64_t i = v->capacity; i < grown; ++i)
            items[i] = nullptr;
        v->items = items;
        v->capacity = grown;
    }
    v->items[v->count++] = item;
    return true;
}

bool vector_push(vector *v, void *item) {
    return vector_add(v, item);
}

void vector_pop(vector *v) {
    if (v->count == 0)
        return;
    v->items[--v->count] = nullptr;
}

void *vector_peek(const vector *v) {
    return v->count ? v->items[v->count - 1] : nullptr;
}

void vector_reverse(vector *v) {
    if (v->count < 2)
        return;
    for (std::uint64_t i = 0, j = v->count - 1; i < j; ++i, --j) {
        void *tmp = v->items[i];
        v->items[i] = v->items[j];
        v->items[j] = tmp;
    }
}
