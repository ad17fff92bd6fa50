// The compact tables a generated grammar is stored as, and the automaton records made from them
// at its first use.
#pragma once

#include <cstdint>

#include "peg/edge.hpp"

struct fa;

/// A generated grammar as index tables: no addresses in them, so the program's image holds
/// nothing the loader must write at every start.
struct peg_grammar_tables {
    const std::uint64_t (*automata)[4]; ///< per automaton: mode, node type, first state, states
    std::uint64_t automaton_count;
    const std::uint32_t (*states)[3]; ///< per state: first edge, edges, accepting (0 or 1)
    std::uint64_t state_count;
    const edge *edges; ///< the edges; a class edge's data is the index of its class
    std::uint64_t edge_count;
    const std::uint32_t (*classes)[4]; ///< per class: first single, singles, first range, ranges
    std::uint64_t class_count;
    const char *class_bytes; ///< singles, then the range lower bounds, then the upper bounds
    std::uint64_t class_byte_count;
};

/// The automaton records the tables describe, made in one block at the first call for `*made`
/// and kept there for the life of the process (a grammar's records are read-only data that
/// every parser shares, as static data would be); later calls return the same records. Null
/// when memory runs out (logged), and the next call tries again. Safe to call from any thread.
[[nodiscard]] fa *peg_grammar_records(const peg_grammar_tables &tables, fa **made);
