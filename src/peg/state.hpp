// States of a grammar automaton: ordered edges and an accepting flag.
#pragma once

#include <cstdint>

struct edge;

/// One automaton state.
struct state {
    edge *edges;              ///< owned array (made with the hooks), in priority order
    std::uint64_t edge_count; ///< may be 0
    bool match;               ///< the state is accepting
};

/// Stores the fields, match normalised to 0 or 1; s takes over the edge array.
void state_init(state *s, edge *edges, std::uint64_t edge_count, int match);
/// Allocated state; null (logged) when memory runs out; release with state_delete.
[[nodiscard]] state *state_new(edge *edges, std::uint64_t edge_count, int match);
/// edge_clear on every edge, releases the edge array, nulls the pointer; accepts null/zeroed.
void state_clear(state *s);
/// state_clear, then releases the record; accepts null.
void state_delete(state *s);
