// Memo entries of the matcher: the result of one automaton at one start position.
#include "peg/cache.hpp"

#include "peg/ht.hpp"
#include "peg/memory.hpp"
#include "peg/peg_log.hpp"

void cache_value_init(cache_value *v, ast *result, std::uint64_t end, std::uint64_t line,
                      std::uint64_t column, bool last_cr) {
    *v = cache_value{result, end, line, column, last_cr};
}

cache_value *cache_value_new(ast *result, std::uint64_t end, std::uint64_t line,
                             std::uint64_t column, bool last_cr) {
    auto *v = static_cast<cache_value *>(peg_malloc(sizeof(cache_value)));
    if (!v) {
        peg_log_oom("memo value");
        return nullptr;
    }
    cache_value_init(v, result, end, line, column, last_cr);
    return v;
}

void cache_value_delete(cache_value *v) {
    peg_free(v);
}

std::uint64_t cache_hash_key(cache_key key) {
    return ht_hash_words(key.automaton + 1, key.pos);
}

std::uint64_t cache_start_pos(const ht *table, cache_key key) {
    return cache_hash_key(key) & (table->capacity - 1);
}

std::uint64_t cache_final_pos(const ht *table, cache_key key) {
    return ht_find_slot(table, key.automaton + 1, key.pos);
}

cache_value *cache_get(const ht *table, cache_key key) {
    ht_entry &e = table->slots[cache_final_pos(table, key)];
    return e.key0 ? &e.value : nullptr;
}

cache_value *cache_put(ht *table, cache_key key, cache_value value) {
    if (ht_needs_growth(table) && !ht_grow(table))
        return nullptr;
    ht_entry &e = table->slots[cache_final_pos(table, key)];
    if (!e.key0) {
        e.key0 = key.automaton + 1;
        e.key1 = key.pos;
        ++table->count;
    }
    e.value = value;
    return &e.value;
}
