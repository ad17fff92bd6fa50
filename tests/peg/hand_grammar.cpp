// Builds small grammars by hand through the engine's construction functions, for tests.
#include "hand_grammar.hpp"

#include <cstring>

#include "peg/ast.hpp"
#include "peg/edge.hpp"
#include "peg/fa.hpp"
#include "peg/input.hpp"
#include "peg/memory.hpp"
#include "peg/parser.hpp"
#include "peg/set.hpp"
#include "peg/state.hpp"
#include "peg/trans.hpp"
#include "support/tree_text.hpp"

std::uint64_t hand_grammar::add(std::int32_t mode, std::uint64_t type, std::size_t n) {
    automata.push_back({mode, type, std::vector<hand_state>(n)});
    return automata.size() - 1;
}

void hand_grammar::ch(std::uint64_t a, std::uint64_t from, char c, std::uint64_t to, bool voided) {
    automata[a].states[from].edges.push_back(
        {TRANS_CHAR, static_cast<unsigned char>(c), {}, to, voided});
}

void hand_grammar::cls(std::uint64_t a, std::uint64_t from, const std::string &c, std::uint64_t to,
                       bool voided) {
    automata[a].states[from].edges.push_back({TRANS_CLASS, 0, c, to, voided});
}

void hand_grammar::any(std::uint64_t a, std::uint64_t from, std::uint64_t to, bool voided) {
    automata[a].states[from].edges.push_back({TRANS_WILD, 0, {}, to, voided});
}

void hand_grammar::call(std::uint64_t a, std::uint64_t from, std::uint64_t callee, std::uint64_t to,
                        bool voided) {
    automata[a].states[from].edges.push_back({TRANS_AUTOMATON, callee, {}, to, voided});
}

void hand_grammar::accept(std::uint64_t a, std::uint64_t st) {
    automata[a].states[st].match = true;
}

std::uint64_t hand_grammar::text(std::uint64_t a, std::uint64_t from, const std::string &t,
                                 bool voided) {
    for (char c : t) {
        ch(a, from, c, from + 1, voided);
        ++from;
    }
    return from;
}

namespace {

set *make_class(const std::string &spec) {
    std::string singles, mins, maxs;
    for (std::size_t i = 0; i < spec.size(); ++i) {
        if (i + 2 < spec.size() && spec[i + 1] == '-') {
            mins += spec[i];
            maxs += spec[i + 2];
            i += 2;
        } else {
            singles += spec[i];
        }
    }
    auto *s = static_cast<char *>(peg_calloc(singles.size(), 1));
    auto *lo = static_cast<char *>(peg_calloc(mins.size(), 1));
    auto *hi = static_cast<char *>(peg_calloc(maxs.size(), 1));
    std::memcpy(s, singles.data(), singles.size());
    std::memcpy(lo, mins.data(), mins.size());
    std::memcpy(hi, maxs.data(), maxs.size());
    return set_new(s, singles.size(), lo, hi, mins.size());
}

} // namespace

parser *hand_grammar::build() const {
    auto *fas = static_cast<fa *>(peg_calloc(automata.size(), sizeof(fa)));
    for (std::size_t i = 0; i < automata.size(); ++i) {
        const hand_fa &h = automata[i];
        auto *states = static_cast<state *>(peg_calloc(h.states.size(), sizeof(state)));
        for (std::size_t j = 0; j < h.states.size(); ++j) {
            const hand_state &hs = h.states[j];
            auto *edges = static_cast<edge *>(peg_calloc(hs.edges.size(), sizeof(edge)));
            for (std::size_t k = 0; k < hs.edges.size(); ++k) {
                const hand_edge &he = hs.edges[k];
                trans t;
                std::uint64_t data = he.data;
                if (he.kind == TRANS_CLASS)
                    data = reinterpret_cast<std::uint64_t>(make_class(he.cls));
                trans_init(&t, he.kind, data);
                edge_init(&edges[k], t, he.target, he.voided);
            }
            state_init(&states[j], edges, hs.edges.size(), hs.match ? 1 : 0);
        }
        fa_init(&fas[i], h.mode, h.type, states, h.states.size());
    }
    return parser_new(0, fas, automata.size(), eof_check);
}

run_result run(const hand_grammar &g, const std::string &text,
               const std::vector<std::string> &names) {
    std::vector<std::string> own = names;
    for (std::size_t i = own.size(); i < g.automata.size() + 8; ++i) {
        std::string name(1, 't');
        name += std::to_string(i);
        own.push_back(name);
    }
    std::vector<const char *> table;
    for (const std::string &n : own)
        table.push_back(n.c_str());
    parser *p = g.build();
    input in;
    input_init(&in, text.data(), text.size());
    ast *r = parse(p, &in);
    run_result out{r->kind != AST_ERROR, tree_text(r, table.data(), table.size(), text), in.pos};
    ast_recursive_delete(r);
    parser_delete(p);
    return out;
}
