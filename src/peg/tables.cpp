// Automaton records made from a generated grammar's tables.
#include "peg/tables.hpp"

#include "peg/fa.hpp"
#include "peg/peg_log.hpp"
#include "peg/set.hpp"
#include "peg/state.hpp"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex making;

constexpr std::size_t rounded(std::size_t bytes) {
    return (bytes + 15) & ~std::size_t{15};
}

fa *make(const peg_grammar_tables &t) {
    // One block: automata, states, edges, classes, then the class bytes.
    const std::size_t fa_bytes = rounded(t.automaton_count * sizeof(fa));
    const std::size_t state_bytes = rounded(t.state_count * sizeof(state));
    const std::size_t edge_bytes = rounded(t.edge_count * sizeof(edge));
    const std::size_t set_bytes = rounded(t.class_count * sizeof(set));
    auto *block = static_cast<char *>(
        std::malloc(fa_bytes + state_bytes + edge_bytes + set_bytes + t.class_byte_count + 1));
    if (block == nullptr) {
        peg_log_oom("grammar records");
        return nullptr;
    }
    auto *automata = reinterpret_cast<fa *>(block);
    auto *states = reinterpret_cast<state *>(block + fa_bytes);
    auto *edges = reinterpret_cast<edge *>(block + fa_bytes + state_bytes);
    auto *sets = reinterpret_cast<set *>(block + fa_bytes + state_bytes + edge_bytes);
    char *bytes = block + fa_bytes + state_bytes + edge_bytes + set_bytes;
    if (t.class_byte_count != 0) {
        std::memcpy(bytes, t.class_bytes, t.class_byte_count);
    }
    for (std::uint64_t c = 0; c < t.class_count; ++c) {
        const std::uint32_t *k = t.classes[c];
        set_init(&sets[c], k[1] != 0 ? bytes + k[0] : nullptr, k[1],
                 k[3] != 0 ? bytes + k[2] : nullptr, k[3] != 0 ? bytes + k[2] + k[3] : nullptr,
                 k[3]);
    }
    for (std::uint64_t e = 0; e < t.edge_count; ++e) {
        edges[e] = t.edges[e];
        if (edges[e].trans.kind == TRANS_CLASS) {
            edges[e].trans.data = reinterpret_cast<std::uintptr_t>(&sets[edges[e].trans.data]);
        }
    }
    for (std::uint64_t s = 0; s < t.state_count; ++s) {
        const std::uint32_t *k = t.states[s];
        state_init(&states[s], k[1] != 0 ? &edges[k[0]] : nullptr, k[1], static_cast<int>(k[2]));
    }
    for (std::uint64_t a = 0; a < t.automaton_count; ++a) {
        const std::uint64_t *k = t.automata[a];
        fa_init(&automata[a], static_cast<std::int32_t>(k[0]), k[1], &states[k[2]], k[3]);
    }
    return automata;
}

} // namespace

fa *peg_grammar_records(const peg_grammar_tables &tables, fa **made) {
    const std::lock_guard<std::mutex> hold(making);
    if (*made == nullptr) {
        *made = make(tables);
    }
    return *made;
}
