// Open-addressing hash table with inline entries: the memo table and the pointer set.
#pragma once

#include <cstdint>

#include "peg/cache.hpp"

/// One slot; key0 == 0 marks an empty slot.
struct ht_entry {
    std::uint64_t key0; ///< memo: automaton + 1; pointer set: the pointer
    std::uint64_t key1; ///< memo: start position; pointer set: 0
    cache_value value;  ///< memo: the value; pointer set: the stored word is value.end
};

/// Table of capacity inline slots (a power of two), count of them occupied.
struct ht {
    ht_entry *slots;        ///< zero-filled slot array made with the hooks
    std::uint64_t capacity; ///< number of slots
    std::uint64_t count;    ///< occupied slots
};

/// Zero-filled table of capacity slots rounded up to a power of two (at least 8); false
/// (logged) on out of memory.
[[nodiscard]] bool ht_init(ht *table, std::uint64_t capacity);
/// Allocated table; null (logged) on out of memory; release with ht_delete.
[[nodiscard]] ht *ht_new(std::uint64_t capacity);
/// Releases the slot array and zeroes the record (stored nodes untouched); accepts zeroed.
void ht_clear(ht *table);
/// ht_clear, then releases the record; accepts null.
void ht_delete(ht *table);
/// True when a put must first grow: count >= capacity * 0.75.
[[nodiscard]] bool ht_needs_growth(const ht *table);
/// Hash of a two-word key, shared by the memo table and the pointer set.
[[nodiscard]] std::uint64_t ht_hash_words(std::uint64_t key0, std::uint64_t key1);
/// Slot holding the key (key0 non-zero), or the empty slot where it would go.
[[nodiscard]] std::uint64_t ht_find_slot(const ht *table, std::uint64_t key0, std::uint64_t key1);
/// Doubles the capacity and re-places every entry; false (logged) on out of memory, and then
/// the table is unchanged.
[[nodiscard]] bool ht_grow(ht *table);
