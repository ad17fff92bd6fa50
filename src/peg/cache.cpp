// Memo entries of the matcher: the result of one automaton at one start position.
#include "peg/cache.hpp"

#include <cstring>

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

//=== the matcher's memo table ===//

namespace {

constexpr std::uint64_t memo_first_slots = 16;
constexpr std::uint64_t memo_most_first_slots = std::uint64_t{1} << 22;
constexpr std::uint64_t memo_first_entries = 8;
constexpr std::uint64_t memo_max_entries = 0xFFFFFFFEu; // entry number + 1 fits 32 bits

std::uint64_t memo_hash(std::uint64_t automaton, std::uint64_t pos) {
    std::uint64_t h = pos * 0x9E3779B97F4A7C15ULL ^ (automaton + 1) * 0xC2B2AE3D27D4EB4FULL;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    return h ^ (h >> 32);
}

std::uint64_t memo_probe(const std::uint32_t *index, std::uint64_t slots, const memo_entry *entries,
                         std::uint64_t automaton, std::uint64_t pos, std::uint64_t *found) {
    const std::uint64_t mask = slots - 1;
    std::uint64_t slot = memo_hash(automaton, pos) & mask;
    for (;;) {
        const std::uint32_t k = index[slot];
        if (k == 0) {
            *found = memo_none;
            return slot;
        }
        const memo_entry &e = entries[k - 1];
        if (e.pos == pos && e.automaton == automaton) {
            *found = k - 1;
            return slot;
        }
        slot = (slot + 1) & mask;
    }
}

// Doubles the index and places every entry again; false on out of memory (table unchanged).
bool memo_grow_index(memo_table *t) {
    const std::uint64_t slots = t->slots * 2;
    auto *index = static_cast<std::uint32_t *>(peg_calloc(slots, sizeof(std::uint32_t)));
    if (!index)
        return false;
    for (std::uint64_t i = 0; i < t->count; ++i) {
        std::uint64_t found = 0;
        const std::uint64_t slot = memo_probe(index, slots, t->entries, t->entries[i].automaton,
                                              t->entries[i].pos, &found);
        index[slot] = static_cast<std::uint32_t>(i + 1);
    }
    peg_free(t->index);
    t->index = index;
    t->slots = slots;
    return true;
}

// Index slots for a parse of text_bytes bytes: sized for the text, so that a long parse seldom
// places its entries again: one slot per 32 bytes keeps the index below half full for grammars
// that memoise a rule about every 64 bytes, and costs an eighth of the text's size.
std::uint64_t memo_slots_for(std::uint64_t text_bytes) {
    std::uint64_t slots = memo_first_slots;
    while (slots < text_bytes / 32 && slots < memo_most_first_slots)
        slots *= 2;
    return slots;
}

} // namespace

bool memo_table_init(memo_table *t, std::uint64_t text_bytes) {
    *t = memo_table{};
    const std::uint64_t slots = memo_slots_for(text_bytes);
    t->index = static_cast<std::uint32_t *>(peg_calloc(slots, sizeof(std::uint32_t)));
    t->entries = static_cast<memo_entry *>(peg_malloc(memo_first_entries * sizeof(memo_entry)));
    if (!t->index || !t->entries) {
        memo_table_clear(t);
        peg_log_oom("memo table");
        return false;
    }
    t->slots = slots;
    t->entry_capacity = memo_first_entries;
    return true;
}

bool memo_table_reset(memo_table *t, std::uint64_t text_bytes) {
    const std::uint64_t slots = memo_slots_for(text_bytes);
    if (slots == t->slots) {
        std::memset(t->index, 0, slots * sizeof(std::uint32_t));
    } else {
        peg_free(t->index);
        t->index = static_cast<std::uint32_t *>(peg_calloc(slots, sizeof(std::uint32_t)));
        t->slots = t->index ? slots : 0;
    }
    t->count = 0;
    if (!t->index || !t->entries) {
        memo_table_clear(t);
        peg_log_oom("memo table");
        return false;
    }
    return true;
}

void memo_table_clear(memo_table *t) {
    if (!t)
        return;
    peg_free(t->index);
    peg_free(t->entries);
    *t = memo_table{};
}

std::uint64_t memo_table_find(const memo_table *t, std::uint64_t automaton, std::uint64_t pos,
                              std::uint64_t *slot) {
    std::uint64_t found = memo_none;
    *slot = memo_probe(t->index, t->slots, t->entries, automaton, pos, &found);
    return found;
}

std::uint64_t memo_table_add(memo_table *t, std::uint64_t slot, std::uint64_t automaton,
                             std::uint64_t pos) {
    if (t->count >= memo_max_entries || automaton > 0xFFFFFFFFu) {
        peg_log_oom("memo table");
        return memo_none;
    }
    if (t->count == t->entry_capacity) {
        const std::uint64_t grown = t->entry_capacity * 2;
        auto *entries =
            static_cast<memo_entry *>(peg_realloc(t->entries, grown * sizeof(memo_entry)));
        if (!entries) {
            peg_log_oom("memo table");
            return memo_none;
        }
        t->entries = entries;
        t->entry_capacity = grown;
    }
    const std::uint64_t k = t->count++;
    t->index[slot] = static_cast<std::uint32_t>(k + 1);
    t->entries[k] = memo_entry{pos, nullptr, 0, 0, 0, static_cast<std::uint32_t>(automaton), 0};
    // Keep the index at most half full, so that probing stays short; the slot handed out
    // above is placed again by the growth.
    if (t->count * 2 > t->slots && !memo_grow_index(t)) {
        --t->count;
        t->index[slot] = 0;
        peg_log_oom("memo table");
        return memo_none;
    }
    return k;
}
