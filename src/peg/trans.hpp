// Transitions: what one edge of a grammar automaton consumes.
#pragma once

#include <cstdint>

/// Transition kinds; any other value never matches.
enum trans_kind : std::int32_t {
    TRANS_WILD = 0,      ///< any one character; fails only at end of input
    TRANS_CHAR = 1,      ///< the character in the low byte of data
    TRANS_CLASS = 2,     ///< one character of the `set` whose pointer is data
    TRANS_AUTOMATON = 3, ///< a whole match of the automaton whose index is data
};

/// One transition: kind and its datum (character, `set` pointer, or automaton index).
struct trans {
    std::int32_t kind;  ///< a trans_kind value
    std::uint64_t data; ///< meaning depends on kind; 0 for TRANS_WILD
};

/// Stores kind and data into t.
void trans_init(trans *t, std::int32_t kind, std::uint64_t data);
/// Allocated transition; null (logged) when memory runs out; release with trans_delete.
[[nodiscard]] trans *trans_new(std::int32_t kind, std::uint64_t data);
/// For TRANS_CLASS deletes the owned set and zeroes data; otherwise nothing; accepts null.
void trans_clear(trans *t);
/// trans_clear, then releases the record; accepts null.
void trans_delete(trans *t);
