// Set objects: creation and release shared by the set kinds.
#include "base/set.hpp"

bool pn_set_is_empty(pn_collection *c) {
    return static_cast<pn_set *>(c)->size == 0;
}

pn_set *pn_set_create(uint32_t type, uint32_t pool, size_t object_size) {
    if (object_size < sizeof(pn_set))
        return nullptr;
    auto *s = static_cast<pn_set *>(pn_collection_create(type, pool, object_size));
    if (s == nullptr)
        return nullptr;
    s->is_empty = pn_set_is_empty;
    s->size = 0;
    return s;
}

void pn_set_destroy(pn_set *s) {
    pn_collection_destroy(s);
}
