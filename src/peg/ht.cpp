// Open-addressing hash table with inline entries: the memo table and the pointer set.
#include "peg/ht.hpp"

#include <cstddef>

#include "peg/memory.hpp"
#include "peg/peg_log.hpp"

namespace {

std::uint64_t round_up_pow2(std::uint64_t n) {
    std::uint64_t c = 8;
    while (c < n && c < (std::uint64_t{1} << 62))
        c <<= 1;
    return c;
}

// Both uses hash their keys the same way, so re-placing during growth needs no callback.
std::uint64_t entry_hash(const ht_entry &e) {
    std::uint64_t h = e.key0 * 0x9E3779B97F4A7C15ULL ^ (e.key1 + 0x632BE59BD9B4E019ULL);
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ULL;
    h ^= h >> 32;
    return h;
}

} // namespace

std::uint64_t ht_hash_words(std::uint64_t key0, std::uint64_t key1) {
    ht_entry e{};
    e.key0 = key0;
    e.key1 = key1;
    return entry_hash(e);
}

bool ht_init(ht *table, std::uint64_t capacity) {
    table->count = 0;
    table->capacity = round_up_pow2(capacity);
    table->slots = static_cast<ht_entry *>(
        peg_calloc(static_cast<std::size_t>(table->capacity), sizeof(ht_entry)));
    if (!table->slots) {
        table->capacity = 0;
        peg_log_oom("hash table");
        return false;
    }
    return true;
}

ht *ht_new(std::uint64_t capacity) {
    auto *table = static_cast<ht *>(peg_malloc(sizeof(ht)));
    if (!table) {
        peg_log_oom("hash table");
        return nullptr;
    }
    if (!ht_init(table, capacity)) {
        peg_free(table);
        return nullptr;
    }
    return table;
}

void ht_clear(ht *table) {
    if (!table)
        return;
    peg_free(table->slots);
    table->slots = nullptr;
    table->capacity = 0;
    table->count = 0;
}

void ht_delete(ht *table) {
    ht_clear(table);
    peg_free(table);
}

bool ht_needs_growth(const ht *table) {
    return static_cast<float>(table->count) >= static_cast<float>(table->capacity) * 0.75f;
}

bool ht_grow(ht *table) {
    std::uint64_t grown = table->capacity ? table->capacity * 2 : 8;
    auto *slots =
        static_cast<ht_entry *>(peg_calloc(static_cast<std::size_t>(grown), sizeof(ht_entry)));
    if (!slots) {
        peg_log_oom("hash table growth");
        return false;
    }
    std::uint64_t mask = grown - 1;
    for (std::uint64_t i = 0; i < table->capacity; ++i) {
        const ht_entry &e = table->slots[i];
        if (!e.key0)
            continue;
        std::uint64_t slot = entry_hash(e) & mask;
        while (slots[slot].key0)
            slot = (slot + 1) & mask;
        slots[slot] = e;
    }
    peg_free(table->slots);
    table->slots = slots;
    table->capacity = grown;
    return true;
}

std::uint64_t ht_find_slot(const ht *table, std::uint64_t key0, std::uint64_t key1) {
    std::uint64_t mask = table->capacity - 1;
    std::uint64_t slot = ht_hash_words(key0, key1) & mask;
    // Load stays below 75 %, so an empty slot always ends the search.
    for (;;) {
        const ht_entry &e = table->slots[slot];
        if (!e.key0 || (e.key0 == key0 && e.key1 == key1))
            return slot;
        slot = (slot + 1) & mask;
    }
}
