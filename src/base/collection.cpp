// Collection header: creation from the element-type and pool registries.
#include "base/collection.hpp"

#include <cstring>

bool pn_collection_init(pn_collection *c, uint32_t type, uint32_t pool) {
    const pn_data_ops_t *data = pn_data_ops(type);
    const pn_pool_ops_t *mem = pn_pool_ops(pool);
    if (c == nullptr || data == nullptr || mem == nullptr)
        return false;
    c->type = type;
    c->hash = data->hash;
    c->equals = data->equals;
    c->compare = data->compare;
    c->pool = pool;
    c->allocate = mem->allocate;
    c->release = mem->release;
    c->allocate_zeroed = mem->allocate_zeroed;
    c->resize = mem->resize;
    c->is_empty = nullptr;
    return true;
}

pn_collection *pn_collection_create(uint32_t type, uint32_t pool, size_t object_size) {
    const pn_pool_ops_t *mem = pn_pool_ops(pool);
    if (mem == nullptr || pn_data_ops(type) == nullptr || object_size < sizeof(pn_collection)) {
        return nullptr;
    }
    void *raw = mem->allocate(object_size);
    if (raw == nullptr)
        return nullptr;
    // Zero-fill so that every slot the concrete kind does not set reads as null or 0.
    std::memset(raw, 0, object_size);
    auto *c = static_cast<pn_collection *>(raw);
    if (!pn_collection_init(c, type, pool)) {
        mem->release(raw);
        return nullptr;
    }
    return c;
}

void pn_collection_destroy(pn_collection *c) {
    if (c == nullptr)
        return;
    c->release(c);
}
