// Memo entries of the matcher: the result of one automaton at one start position.
#pragma once

#include <cstdint>

struct ast;
struct ht;

/// Memo key: automaton index and start position.
struct cache_key {
    std::uint64_t automaton; ///< automaton index
    std::uint64_t pos;       ///< start position
};

/// Memo value: the match result and the position, line and column after it.
struct cache_value {
    ast *result;          ///< the node (borrowed from the parse), null for a failed match
    std::uint64_t end;    ///< position after the match
    std::uint64_t line;   ///< line after the match
    std::uint64_t column; ///< column after the match
    bool last_cr;         ///< last_cr after the match
};

/// Stores the fields.
void cache_value_init(cache_value *v, ast *result, std::uint64_t end, std::uint64_t line,
                      std::uint64_t column, bool last_cr);
/// Allocated value; null (logged) on out of memory; release with cache_value_delete.
[[nodiscard]] cache_value *cache_value_new(ast *result, std::uint64_t end, std::uint64_t line,
                                           std::uint64_t column, bool last_cr);
/// Releases the value (not its node); accepts null.
void cache_value_delete(cache_value *v);

/// Hash of a memo key.
[[nodiscard]] std::uint64_t cache_hash_key(cache_key key);
/// Slot where probing for key starts.
[[nodiscard]] std::uint64_t cache_start_pos(const ht *table, cache_key key);
/// Slot holding key, or the empty slot where it would go.
[[nodiscard]] std::uint64_t cache_final_pos(const ht *table, cache_key key);
/// The stored value (inside the table, valid until the next put), or null when absent.
[[nodiscard]] cache_value *cache_get(const ht *table, cache_key key);
/// Stores value under key (growing first at 75 % load); the stored copy, or null (logged)
/// on out of memory.
[[nodiscard]] cache_value *cache_put(ht *table, cache_key key, cache_value value);

//=== the matcher's memo table ===//

/// One memo entry: automaton and start position, and the value of its match there.
struct memo_entry {
    std::uint64_t pos;       ///< start position
    ast *result;             ///< the node (borrowed from the parse), null for a failed match
    std::uint64_t end;       ///< position after the match
    std::uint64_t line;      ///< line after the match
    std::uint64_t column;    ///< column after the match
    std::uint32_t automaton; ///< automaton index
    std::uint32_t last_cr;   ///< last_cr after the match (0 or 1)
};

/// Memo table of one parse: entries in creation order, found through an open-addressing
/// index of entry numbers, so that an entry never moves once made.
struct memo_table {
    std::uint32_t *index;         ///< entry number + 1 per slot, 0 for an empty slot
    std::uint64_t slots;          ///< index size, a power of two (0 before init)
    memo_entry *entries;          ///< entries 0 to count - 1
    std::uint64_t count;          ///< entries made
    std::uint64_t entry_capacity; ///< entries room
};

/// Entry number meaning "none".
inline constexpr std::uint64_t memo_none = ~std::uint64_t{0};

/// Empty table sized for a parse of text_bytes bytes (a few entries for a short text); false
/// (logged) on out of memory.
[[nodiscard]] bool memo_table_init(memo_table *t, std::uint64_t text_bytes);
/// Releases both arrays (not the nodes) and zeroes the record; accepts zeroed.
void memo_table_clear(memo_table *t);
/// Forgets every entry, keeping the entry room, with an empty index sized as memo_table_init
/// sizes it for text_bytes; false (logged) on out of memory, and then the table is cleared.
[[nodiscard]] bool memo_table_reset(memo_table *t, std::uint64_t text_bytes);
/// The entry number for (automaton, pos), or memo_none; *slot receives the index slot where
/// a new entry for the key would go (valid until the next memo_table_add).
[[nodiscard]] std::uint64_t memo_table_find(const memo_table *t, std::uint64_t automaton,
                                            std::uint64_t pos, std::uint64_t *slot);
/// Makes entry for a key that memo_table_find did not find (slot from that call), with a
/// null result; its number, or memo_none (logged) on out of memory or a full table.
[[nodiscard]] std::uint64_t memo_table_add(memo_table *t, std::uint64_t slot,
                                           std::uint64_t automaton, std::uint64_t pos);
