// Growable array list of 64-bit elements with its iterator.
#include "base/arraylist.hpp"

#include <cstring>

namespace {

static_assert(sizeof(pn_arraylist_iter) <= sizeof(pn_iterator_state),
              "state must fit the caller's buffer");

constexpr uint64_t slot_bytes = sizeof(pn_elem);

pn_arraylist *as_array(pn_list *l) {
    return static_cast<pn_arraylist *>(l);
}

// Doubles the element array; false, with nothing changed, when that fails or would overflow.
bool grow(pn_arraylist *l) {
    if (l->capacity > SIZE_MAX / (2 * slot_bytes))
        return false;
    const uint64_t capacity = l->capacity * 2;
    auto *items = static_cast<pn_elem *>(l->resize(l->items, capacity * slot_bytes));
    if (items == nullptr)
        return false;
    l->items = items;
    l->capacity = capacity;
    return true;
}

int32_t al_index_of(pn_list *l, pn_elem e) {
    pn_arraylist *al = as_array(l);
    const uint64_t limit = al->size < uint64_t{INT32_MAX} ? al->size : uint64_t{INT32_MAX};
    for (uint64_t i = 0; i < limit; ++i) {
        if (l->equals(al->items[i], e))
            return static_cast<int32_t>(i);
    }
    return -1;
}

bool al_contains(pn_list *l, pn_elem e) {
    return al_index_of(l, e) != -1;
}

bool al_add_at(pn_list *l, uint64_t i, pn_elem e) {
    pn_arraylist *al = as_array(l);
    if (i > al->size)
        return false;
    if (al->size == al->capacity && !grow(al))
        return false;
    if (i < al->size) {
        std::memmove(al->items + i + 1, al->items + i, (al->size - i) * slot_bytes);
    }
    al->items[i] = e;
    ++al->size;
    return true;
}

bool al_add(pn_list *l, pn_elem e) {
    return al_add_at(l, l->size, e);
}

pn_elem al_remove_at(pn_list *l, uint64_t i) {
    pn_arraylist *al = as_array(l);
    if (i >= al->size)
        return nullptr;
    pn_elem e = al->items[i];
    std::memmove(al->items + i, al->items + i + 1, (al->size - i - 1) * slot_bytes);
    --al->size;
    return e;
}

bool al_remove(pn_list *l, pn_elem e) {
    const int32_t i = al_index_of(l, e);
    if (i == -1)
        return false;
    al_remove_at(l, static_cast<uint64_t>(i));
    return true;
}

void al_clear(pn_list *l) {
    l->size = 0;
}

pn_elem al_get(pn_list *l, uint64_t i) {
    pn_arraylist *al = as_array(l);
    return i < al->size ? al->items[i] : nullptr;
}

pn_elem al_get_by_element(pn_list *l, pn_elem e) {
    const int32_t i = al_index_of(l, e);
    return i == -1 ? nullptr : al_get(l, static_cast<uint64_t>(i));
}

pn_elem al_set(pn_list *l, uint64_t i, pn_elem e) {
    pn_arraylist *al = as_array(l);
    if (i >= al->size)
        return nullptr;
    pn_elem old = al->items[i];
    al->items[i] = e;
    return old;
}

//=== iterator ===//

void iter_init(void *state, void *container) {
    auto *it = static_cast<pn_arraylist_iter *>(state);
    it->list = static_cast<pn_arraylist *>(container);
    it->index = 0;
    it->has_current = false;
}

bool iter_has_next(void *state) {
    auto *it = static_cast<pn_arraylist_iter *>(state);
    return it->index < it->list->size;
}

pn_elem iter_next(void *state) {
    auto *it = static_cast<pn_arraylist_iter *>(state);
    if (it->index >= it->list->size)
        return nullptr;
    it->has_current = true;
    return it->list->items[it->index++];
}

bool iter_add(void *state, pn_elem e) {
    auto *it = static_cast<pn_arraylist_iter *>(state);
    if (!al_add_at(it->list, it->index, e))
        return false;
    ++it->index;
    return true;
}

pn_elem iter_remove(void *state) {
    // Only the element last returned may go: a second remove would otherwise take its
    // predecessor, and a remove before the first next would index below 0.
    auto *it = static_cast<pn_arraylist_iter *>(state);
    if (!it->has_current || it->index == 0)
        return nullptr;
    it->has_current = false;
    --it->index;
    return al_remove_at(it->list, it->index);
}

} // namespace

const pn_iterator_ops pn_arraylist_iterator_ops = {
    iter_init, iter_has_next, iter_next, iter_add, iter_remove, {nullptr, nullptr, nullptr}};

pn_arraylist *pn_arraylist_create(uint32_t type, uint32_t pool, uint64_t capacity) {
    if (capacity == 0)
        capacity = 1;
    if (capacity > SIZE_MAX / slot_bytes)
        return nullptr;
    auto *l = static_cast<pn_arraylist *>(pn_list_create(type, pool, sizeof(pn_arraylist)));
    if (l == nullptr)
        return nullptr;
    l->items = static_cast<pn_elem *>(l->allocate(capacity * slot_bytes));
    if (l->items == nullptr) {
        pn_list_destroy(l);
        return nullptr;
    }
    l->capacity = capacity;
    l->contains = al_contains;
    l->add = al_add;
    l->remove = al_remove;
    l->clear = al_clear;
    l->iterator = &pn_arraylist_iterator_ops;
    l->get = al_get;
    l->get_by_element = al_get_by_element;
    l->set = al_set;
    l->remove_at = al_remove_at;
    l->add_at = al_add_at;
    l->index_of = al_index_of;
    return l;
}

void pn_arraylist_destroy(pn_arraylist *l) {
    if (l == nullptr)
        return;
    l->release(l->items);
    pn_list_destroy(l);
}
