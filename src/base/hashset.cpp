// Hash set whose elements are the keys of a backing hash map.
#include "base/hashset.hpp"

namespace {

static_assert(sizeof(pn_hashset_iter) <= sizeof(pn_iterator_state),
              "state must fit the caller's buffer");

// The value every key of a backing map carries: only its address matters.
const char placeholder = 0;

pn_elem placeholder_value() {
    return const_cast<char *>(&placeholder);
}

pn_hashset *as_hashset(pn_set *s) {
    return static_cast<pn_hashset *>(s);
}

bool hs_contains(pn_set *s, pn_elem e) {
    pn_hashmap *m = as_hashset(s)->map;
    return m->contains_key(m, e);
}

bool hs_add(pn_set *s, pn_elem e) {
    pn_hashmap *m = as_hashset(s)->map;
    const bool added = m->put(m, e, placeholder_value());
    s->size = m->size;
    return added;
}

bool hs_remove(pn_set *s, pn_elem e) {
    pn_hashmap *m = as_hashset(s)->map;
    const uint64_t before = m->size;
    (void)m->remove(m, e);
    s->size = m->size;
    return m->size < before;
}

void hs_clear(pn_set *s) {
    pn_hashmap *m = as_hashset(s)->map;
    m->clear(m);
    s->size = m->size;
}

pn_elem hs_get(pn_hashset *s, pn_elem e) {
    return s->map->get_key(s->map, e);
}

//=== iterator ===//

pn_hashset_iter *as_iter(void *state) {
    return static_cast<pn_hashset_iter *>(state);
}

void iter_init(void *state, void *container) {
    pn_hashset_iter *it = as_iter(state);
    it->set = static_cast<pn_hashset *>(container);
    pn_hashmap_key_iterator_ops.init(&it->map_iter, it->set->map->key_view);
}

bool iter_has_next(void *state) {
    return pn_hashmap_key_iterator_ops.has_next(&as_iter(state)->map_iter);
}

pn_elem iter_next(void *state) {
    return pn_hashmap_key_iterator_ops.next(&as_iter(state)->map_iter);
}

pn_elem iter_remove(void *state) {
    pn_hashset_iter *it = as_iter(state);
    pn_elem removed = pn_hashmap_key_iterator_ops.remove(&it->map_iter);
    it->set->size = it->set->map->size;
    return removed;
}

} // namespace

const pn_iterator_ops pn_hashset_iterator_ops = {
    iter_init, iter_has_next, iter_next, nullptr, iter_remove, {nullptr, nullptr, nullptr}};

pn_hashset *pn_hashset_create(uint32_t type, uint32_t pool, uint64_t capacity) {
    auto *s = static_cast<pn_hashset *>(pn_set_create(type, pool, sizeof(pn_hashset)));
    if (s == nullptr)
        return nullptr;
    s->map = pn_hashmap_create(type, pool, capacity);
    if (s->map == nullptr) {
        pn_set_destroy(s);
        return nullptr;
    }
    s->capacity = capacity;
    s->contains = hs_contains;
    s->add = hs_add;
    s->remove = hs_remove;
    s->clear = hs_clear;
    s->iterator = &pn_hashset_iterator_ops;
    s->get = hs_get;
    s->size = 0;
    return s;
}

void pn_hashset_destroy(pn_hashset *s) {
    if (s == nullptr)
        return;
    pn_hashmap_destroy(s->map);
    pn_set_destroy(s);
}
