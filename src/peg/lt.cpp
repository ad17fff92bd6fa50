// Pointer set on the inline hash table: remembers which nodes have been seen.
#include "peg/lt.hpp"

#include "peg/ht.hpp"
#include "peg/peg_log.hpp"

namespace {

std::uint64_t word(const void *ptr) {
    return reinterpret_cast<std::uint64_t>(ptr);
}

} // namespace

std::uint64_t lt_hash_key(const void *ptr) {
    return ht_hash_words(word(ptr), 0);
}

std::uint64_t lt_start_pos(const ht *table, const void *ptr) {
    return lt_hash_key(ptr) & (table->capacity - 1);
}

std::uint64_t lt_final_pos(const ht *table, const void *ptr) {
    return ht_find_slot(table, word(ptr), 0);
}

std::uint64_t lt_get(const ht *table, const void *ptr) {
    if (!ptr)
        return 0;
    const ht_entry &e = table->slots[lt_final_pos(table, ptr)];
    return e.key0 ? e.value.end : 0;
}

bool lt_put(ht *table, const void *ptr, std::uint64_t value) {
    if (!ptr) {
        peg_log_error("pointer set: null key");
        return false;
    }
    if (ht_needs_growth(table) && !ht_grow(table))
        return false;
    ht_entry &e = table->slots[lt_final_pos(table, ptr)];
    if (!e.key0) {
        e.key0 = word(ptr);
        e.key1 = 0;
        ++table->count;
    }
    e.value.end = value;
    return true;
}
