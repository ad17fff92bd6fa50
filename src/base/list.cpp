// List objects: creation and release shared by the linked list and the array list.
#include "base/list.hpp"

bool pn_list_is_empty(pn_collection *c) {
    return static_cast<pn_list *>(c)->size == 0;
}

pn_list *pn_list_create(uint32_t type, uint32_t pool, size_t object_size) {
    if (object_size < sizeof(pn_list))
        return nullptr;
    auto *l = static_cast<pn_list *>(pn_collection_create(type, pool, object_size));
    if (l == nullptr)
        return nullptr;
    l->is_empty = pn_list_is_empty;
    l->size = 0;
    return l;
}

void pn_list_destroy(pn_list *l) {
    pn_collection_destroy(l);
}
