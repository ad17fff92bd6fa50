// Grammar automata: one per rule, with the mode that shapes the node it leaves.
#pragma once

#include <cstdint>

struct state;

/// Automaton modes; any other value makes every match of the automaton fail.
enum fa_mode : std::int32_t {
    MODE_VOID = 0,  ///< success leaves an empty node
    MODE_PRUNE = 1, ///< nothing, the single child, or a tree node for two or more children
    MODE_TREE = 2,  ///< always a tree node of the automaton's type
    MODE_AND = 3,   ///< positive predicate; position restored
    MODE_NOT = 4,   ///< negative predicate; succeeds exactly when the inner match fails
};

/// One automaton; state 0 is the start state.
struct fa {
    std::int32_t mode;         ///< a fa_mode value
    std::uint64_t type;        ///< node type of the tree node it builds
    state *states;             ///< owned array (made with the hooks)
    std::uint64_t state_count; ///< number of states
};

/// Stores the fields; a takes over the state array.
void fa_init(fa *a, std::int32_t mode, std::uint64_t type, state *states,
             std::uint64_t state_count);
/// Allocated automaton; null (logged) when memory runs out; release with fa_delete.
[[nodiscard]] fa *fa_new(std::int32_t mode, std::uint64_t type, state *states,
                         std::uint64_t state_count);
/// state_clear on every state, releases the state array, nulls it; accepts null/zeroed.
void fa_clear(fa *a);
/// fa_clear, then releases the record; accepts null.
void fa_delete(fa *a);
