// Pointer set on the inline hash table: remembers which nodes have been seen.
#pragma once

#include <cstdint>

struct ht;

/// Hash of a pointer.
[[nodiscard]] std::uint64_t lt_hash_key(const void *ptr);
/// Slot where probing for ptr starts.
[[nodiscard]] std::uint64_t lt_start_pos(const ht *table, const void *ptr);
/// Slot holding ptr, or the empty slot where it would go.
[[nodiscard]] std::uint64_t lt_final_pos(const ht *table, const void *ptr);
/// The word stored for ptr, or 0 when absent (or ptr null).
[[nodiscard]] std::uint64_t lt_get(const ht *table, const void *ptr);
/// Stores value for a non-null ptr (growing first at 75 % load); false (logged) on out of
/// memory or a null ptr.
[[nodiscard]] bool lt_put(ht *table, const void *ptr, std::uint64_t value);
