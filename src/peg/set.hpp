// Character classes: single bytes and inclusive ranges compared as signed 8-bit values.
#pragma once

#include <cstdint>

/// A character class; all three arrays are owned and made with the hooks.
struct set {
    char *singles;              ///< single bytes, tested after the ranges
    std::uint64_t single_count; ///< number of singles
    char *mins;                 ///< range lower bounds
    char *maxs;                 ///< range upper bounds; mins[i]..maxs[i] is range i
    std::uint64_t range_count;  ///< number of ranges
    std::uint64_t bits[4];      ///< membership of every byte (bit c of bits[c >> 6])
    bool has_bits;              ///< bits is filled (by set_init); otherwise the arrays decide
};

/// Stores the fields and fills the membership bits; s takes over the three arrays.
void set_init(set *s, char *singles, std::uint64_t single_count, char *mins, char *maxs,
              std::uint64_t range_count);
/// Allocated set taking over the arrays; null (logged) when memory runs out, and then the
/// arrays have been released too; release the set with set_delete.
[[nodiscard]] set *set_new(char *singles, std::uint64_t single_count, char *mins, char *maxs,
                           std::uint64_t range_count);
/// Releases the three arrays, nulls the pointers and empties the bits; accepts null/zeroed.
void set_clear(set *s);
/// set_clear, then releases the record; accepts null.
void set_delete(set *s);
/// True when c lies in a range (signed comparison) or equals a single; false for null s.
[[nodiscard]] bool set_within_set(const set *s, signed char c);
