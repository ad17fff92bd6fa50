// Edges: a transition and the state of the same automaton where matching continues.
#pragma once

#include <cstdint>

#include "peg/trans.hpp"

/// One edge of a state; the order of a state's edges is their priority.
struct edge {
    struct trans trans;   ///< what the edge consumes, held by value (owns a class set)
    std::uint64_t target; ///< index of the next state within the same automaton
    bool voided;          ///< what the transition matched leaves no child node
};

/// Stores the fields; e takes over the transition's set, if any.
void edge_init(edge *e, trans t, std::uint64_t target, bool voided);
/// Allocated edge; null (logged) when memory runs out; release with edge_delete.
[[nodiscard]] edge *edge_new(trans t, std::uint64_t target, bool voided);
/// trans_clear of the edge's transition; accepts null.
void edge_clear(edge *e);
/// edge_clear, then releases the record; accepts null.
void edge_delete(edge *e);
