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
