// Map objects: zero-filled creation and release shared by the map kinds.
#include "base/map.hpp"

bool pn_map_is_empty(pn_collection *c) {
    return static_cast<pn_map *>(c)->size == 0;
}

pn_map *pn_map_create(uint32_t type, uint32_t pool, size_t object_size) {
    const pn_pool_ops_t *mem = pn_pool_ops(pool);
    if (mem == nullptr || pn_data_ops(type) == nullptr || object_size < sizeof(pn_map)) {
        return nullptr;
    }
    auto *m = static_cast<pn_map *>(mem->allocate_zeroed(1, object_size));
    if (m == nullptr)
        return nullptr;
    if (!pn_collection_init(m, type, pool)) {
        mem->release(m);
        return nullptr;
    }
    m->is_empty = pn_map_is_empty;
    m->size = 0;
    return m;
}

void pn_map_destroy(pn_map *m) {
    pn_collection_destroy(m);
}
