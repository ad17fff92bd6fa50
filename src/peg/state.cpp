// States of a grammar automaton: ordered edges and an accepting flag.
#include "peg/state.hpp"

#include "peg/edge.hpp"
#include "peg/memory.hpp"
#include "peg/peg_log.hpp"

void state_init(state *s, edge *edges, std::uint64_t edge_count, int match) {
    s->edges = edges;
    s->edge_count = edge_count;
    s->match = match != 0;
}

state *state_new(edge *edges, std::uint64_t edge_count, int match) {
    auto *s = static_cast<state *>(peg_malloc(sizeof(state)));
    if (!s) {
        peg_log_oom("state");
        return nullptr;
    }
    state_init(s, edges, edge_count, match);
    return s;
}

void state_clear(state *s) {
    if (!s)
        return;
    if (s->edges)
        for (std::uint64_t i = 0; i < s->edge_count; ++i)
            edge_clear(&s->edges[i]);
    peg_free(s->edges);
    s->edges = nullptr;
    s->edge_count = 0;
}

void state_delete(state *s) {
    state_clear(s);
    peg_free(s);
}
