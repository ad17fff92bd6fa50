// Grammar objects and the memoising matcher that runs them over an input.
//
// The matcher interprets the automata with two explicit heap stacks instead of native
// recursion: one activation per automaton being matched and one frame per edge taken on the
// current path. Nesting depth and input length therefore cost heap memory, never native
// stack. Nodes made during a parse live in per-parse blocks; the result is copied out into
// caller-owned nodes at the end and the blocks are dropped whole.
#include "peg/parser.hpp"

#include <cinttypes>
#include <cstddef>
#include <cstring>

#include "peg/ast.hpp"
#include "peg/cache.hpp"
#include "peg/edge.hpp"
#include "peg/fa.hpp"
#include "peg/input.hpp"
#include "peg/memory.hpp"
#include "peg/peg_detail.hpp"
#include "peg/peg_log.hpp"
#include "peg/set.hpp"
#include "peg/state.hpp"
#include "peg/vector.hpp"

//=== grammar objects ===//

namespace {

// Per node of a graph in compressed rows (the successors of node i are
// calls[first[i]..first[i+1])), 1 when it lies on a cycle, else 0: strongly connected
// components by an iterative Tarjan walk, linear in the graph's size. Null on out of memory.
std::uint8_t *cycle_flags_new(const std::uint64_t *first, const std::uint64_t *calls,
                              std::uint64_t n) {
    auto *flags = static_cast<std::uint8_t *>(peg_calloc(static_cast<std::size_t>(n), 1));
    // Walk records: discovery index (0 = unvisited), low link, next successor, Tarjan stack.
    auto *index = static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(n), 8));
    auto *low = static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(n), 8));
    auto *cursor = static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(n), 8));
    auto *on_stack = static_cast<std::uint8_t *>(peg_calloc(static_cast<std::size_t>(n), 1));
    auto *scc = static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(n), 8));
    auto *path = static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(n), 8));
    bool ok = flags && index && low && cursor && on_stack && scc && path;
    std::uint64_t counter = 0, scc_top = 0;
    for (std::uint64_t root = 0; ok && root < n; ++root) {
        if (index[root])
            continue;
        std::uint64_t depth = 0;
        path[depth++] = root;
        index[root] = low[root] = ++counter;
        cursor[root] = first[root];
        scc[scc_top++] = root;
        on_stack[root] = 1;
        while (depth) {
            std::uint64_t v = path[depth - 1];
            if (cursor[v] < first[v + 1]) {
                std::uint64_t w = calls[cursor[v]++];
                if (w == v) {
                    flags[v] = 1; // its own successor
                } else if (!index[w]) {
                    index[w] = low[w] = ++counter;
                    cursor[w] = first[w];
                    scc[scc_top++] = w;
                    on_stack[w] = 1;
                    path[depth++] = w;
                } else if (on_stack[w] && index[w] < low[v]) {
                    low[v] = index[w];
                }
                continue;
            }
            --depth;
            if (depth && low[v] < low[path[depth - 1]])
                low[path[depth - 1]] = low[v];
            if (low[v] != index[v])
                continue;
            // v roots a component: pop it; two or more members form a cycle.
            std::uint64_t begin = scc_top;
            while (scc[begin - 1] != v)
                --begin;
            --begin;
            for (std::uint64_t j = begin; j < scc_top; ++j) {
                on_stack[scc[j]] = 0;
                if (scc_top - begin > 1)
                    flags[scc[j]] = 1;
            }
            scc_top = begin;
        }
    }
    peg_free(path);
    peg_free(scc);
    peg_free(on_stack);
    peg_free(cursor);
    peg_free(low);
    peg_free(index);
    if (!ok) {
        peg_free(flags);
        return nullptr;
    }
    return flags;
}

// Per automaton, 1 when it lies on a cycle of calls (it can be entered again while it is
// being matched, so its memo entry is what detects left recursion and bounds the work) or
// calls a missing automaton; 0 otherwise. Null on out of memory.
std::uint8_t *memo_table_new(const fa *automata, std::uint64_t n) {
    if (!automata || n == 0 || n > (SIZE_MAX / 8) / 8)
        return nullptr;
    // Call graph in compressed rows: the callees of automaton i are calls[first[i]..first[i+1]).
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t s = 0; automata[i].states && s < automata[i].state_count; ++s)
            for (std::uint64_t e = 0; e < automata[i].states[s].edge_count; ++e)
                total += automata[i].states[s].edges[e].trans.kind == TRANS_AUTOMATON;
    auto *bad = static_cast<std::uint8_t *>(peg_calloc(static_cast<std::size_t>(n), 1));
    auto *first = static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(n + 1), 8));
    auto *calls = static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(total + 1), 8));
    std::uint8_t *memo = nullptr;
    if (bad && first && calls) {
        std::uint64_t k = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            first[i] = k;
            for (std::uint64_t s = 0; automata[i].states && s < automata[i].state_count; ++s)
                for (std::uint64_t e = 0; e < automata[i].states[s].edge_count; ++e) {
                    const trans &t = automata[i].states[s].edges[e].trans;
                    if (t.kind != TRANS_AUTOMATON)
                        continue;
                    if (t.data >= n)
                        bad[i] = 1; // the parse fails on it anyway; keep the safe path
                    else
                        calls[k++] = t.data;
                }
        }
        first[n] = k;
        memo = cycle_flags_new(first, calls, n);
        for (std::uint64_t i = 0; memo && i < n; ++i)
            memo[i] |= bad[i];
    }
    peg_free(calls);
    peg_free(first);
    peg_free(bad);
    return memo;
}

constexpr std::uint64_t start_words = 6; // 256 bits of first bytes, "any", "leaf start"

// One pass over automaton i with the current estimates: its first bytes (into out, 4
// words), whether it may match empty (nullable) and whether it must never fail early (any:
// it may match empty, looks ahead, takes any byte first, is malformed, loops in place, or
// calls such an automaton before consuming). left[] collects the automata it calls before
// consuming anything (count in *left_count). False on out of memory.
bool start_pass(const fa *automata, std::uint64_t n, std::uint64_t i, const std::uint64_t *starts,
                const std::uint8_t *nullable, std::uint64_t *out, bool *is_nullable, bool *is_any,
                std::uint64_t *left, std::uint64_t *left_count, std::uint8_t *color,
                std::uint64_t *todo) {
    const fa &a = automata[i];
    *is_nullable = false;
    *is_any = false;
    *left_count = 0;
    for (std::uint64_t k = 0; k < 4; ++k)
        out[k] = 0;
    if (a.mode < MODE_VOID || a.mode > MODE_NOT || a.mode == MODE_AND || a.mode == MODE_NOT ||
        !a.states || a.state_count == 0) {
        *is_any = true;
        return true;
    }
    // Depth-first walk over the states reached without consuming; a state met again while
    // still open is a loop in place.
    for (std::uint64_t s = 0; s < a.state_count; ++s)
        color[s] = 0;
    std::uint64_t depth = 0;
    todo[depth * 2] = 0;
    todo[depth * 2 + 1] = 0;
    ++depth;
    color[0] = 1;
    while (depth) {
        std::uint64_t s = todo[(depth - 1) * 2];
        std::uint64_t &next_edge = todo[(depth - 1) * 2 + 1];
        const state &st = a.states[s];
        if (next_edge == 0 && st.match)
            *is_nullable = true;
        if (next_edge >= st.edge_count) {
            color[s] = 2;
            --depth;
            continue;
        }
        const edge &e = st.edges[next_edge++];
        const trans &t = e.trans;
        bool through = false; // the edge can be taken without consuming
        if (t.kind == TRANS_CHAR) {
            const unsigned c = static_cast<unsigned>(t.data & 0xFF);
            out[c >> 6] |= std::uint64_t{1} << (c & 63);
        } else if (t.kind == TRANS_CLASS) {
            const auto *cls = reinterpret_cast<const set *>(t.data);
            if (!cls) {
                *is_any = true;
                continue;
            }
            if (cls->has_bits) {
                for (std::uint64_t k = 0; k < 4; ++k)
                    out[k] |= cls->bits[k];
            } else {
                for (unsigned c = 0; c < 256; ++c)
                    if (set_within_set(cls,
                                       static_cast<signed char>(static_cast<unsigned char>(c))))
                        out[c >> 6] |= std::uint64_t{1} << (c & 63);
            }
        } else if (t.kind == TRANS_WILD) {
            *is_any = true;
        } else if (t.kind == TRANS_AUTOMATON) {
            if (t.data >= n) {
                *is_any = true;
                continue;
            }
            left[(*left_count)++] = t.data;
            const std::uint64_t *callee = starts + t.data * start_words;
            for (std::uint64_t k = 0; k < 4; ++k)
                out[k] |= callee[k];
            if (callee[4])
                *is_any = true;
            through = nullable[t.data] != 0;
        }
        if (!through)
            continue;
        if (e.target >= a.state_count) {
            *is_any = true;
            continue;
        }
        if (color[e.target] == 1) {
            *is_any = true; // a loop that consumes nothing
            continue;
        }
        if (color[e.target] == 0) {
            color[e.target] = 1;
            todo[depth * 2] = e.target;
            todo[depth * 2 + 1] = 0;
            ++depth;
        }
    }
    if (*is_nullable)
        *is_any = true;
    return true;
}

// The start table (start_words per automaton), or null on out of memory or a grammar too
// irregular to settle; both leave every call to run in full.
std::uint64_t *starts_table_new(const fa *automata, std::uint64_t n) {
    if (!automata || n == 0 || n > (SIZE_MAX / 8) / (8 * start_words))
        return nullptr;
    std::uint64_t max_states = 1, max_calls = 1;
    for (std::uint64_t i = 0; i < n; ++i) {
        if (automata[i].states && automata[i].state_count > max_states)
            max_states = automata[i].state_count;
        std::uint64_t calls = 0;
        for (std::uint64_t s = 0; automata[i].states && s < automata[i].state_count; ++s)
            calls += automata[i].states[s].edge_count;
        if (calls > max_calls)
            max_calls = calls;
    }
    if (max_states > (SIZE_MAX / 16) / 2 || max_calls > SIZE_MAX / 16)
        return nullptr;
    auto *starts =
        static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(n * start_words), 8));
    auto *nullable = static_cast<std::uint8_t *>(peg_calloc(static_cast<std::size_t>(n), 1));
    auto *forced = static_cast<std::uint8_t *>(peg_calloc(static_cast<std::size_t>(n), 1));
    auto *left = static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(max_calls), 8));
    auto *color = static_cast<std::uint8_t *>(peg_calloc(static_cast<std::size_t>(max_states), 1));
    auto *todo =
        static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(max_states * 2), 8));
    // Left-call graph in rows (callees met before consuming), for the left-recursion check.
    auto *first = static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(n + 1), 8));
    std::uint64_t *calls = nullptr;
    bool ok = starts && nullable && forced && left && color && todo && first;
    // Estimates only grow; settle them, mark the automata on a left-call cycle (left
    // recursion: their run is what reports it) and settle again so that callers inherit it.
    for (int round = 0; ok && round < 2; ++round) {
        bool changed = true;
        std::uint64_t passes = 0;
        while (ok && changed) {
            changed = false;
            if (++passes > 4 * n + 16) {
                ok = false;
                break;
            }
            for (std::uint64_t i = 0; i < n; ++i) {
                std::uint64_t words[4];
                bool is_nullable = false, is_any = false;
                std::uint64_t left_count = 0;
                ok = start_pass(automata, n, i, starts, nullable, words, &is_nullable, &is_any,
                                left, &left_count, color, todo);
                if (!ok)
                    break;
                std::uint64_t *row = starts + i * start_words;
                const std::uint64_t any = (is_any || forced[i]) ? 1 : 0;
                for (std::uint64_t k = 0; k < 4; ++k)
                    if ((row[k] | words[k]) != row[k]) {
                        row[k] |= words[k];
                        changed = true;
                    }
                if (any && !row[4]) {
                    row[4] = 1;
                    changed = true;
                }
                if (is_nullable && !nullable[i]) {
                    nullable[i] = 1;
                    changed = true;
                }
            }
        }
        if (!ok || round == 1)
            break;
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; ok && i < n; ++i) {
            std::uint64_t words[4];
            bool is_nullable = false, is_any = false;
            std::uint64_t left_count = 0;
            ok = start_pass(automata, n, i, starts, nullable, words, &is_nullable, &is_any, left,
                            &left_count, color, todo);
            total += left_count;
        }
        calls =
            ok ? static_cast<std::uint64_t *>(peg_calloc(static_cast<std::size_t>(total + 1), 8))
               : nullptr;
        ok = ok && calls;
        std::uint64_t k = 0;
        for (std::uint64_t i = 0; ok && i < n; ++i) {
            std::uint64_t words[4];
            bool is_nullable = false, is_any = false;
            std::uint64_t left_count = 0;
            first[i] = k;
            ok = start_pass(automata, n, i, starts, nullable, words, &is_nullable, &is_any, left,
                            &left_count, color, todo);
            for (std::uint64_t j = 0; ok && j < left_count && k < total; ++j)
                calls[k++] = left[j];
        }
        first[n] = k;
        std::uint8_t *cyclic = ok ? cycle_flags_new(first, calls, n) : nullptr;
        ok = ok && cyclic;
        for (std::uint64_t i = 0; ok && i < n; ++i)
            forced[i] = cyclic[i];
        peg_free(cyclic);
    }
    peg_free(calls);
    peg_free(first);
    peg_free(todo);
    peg_free(color);
    peg_free(left);
    peg_free(forced);
    peg_free(nullable);
    if (!ok) {
        peg_free(starts);
        return nullptr;
    }
    // Leaf start: the start state only consumes single bytes (no call, not accepting) and the
    // mode builds a node, so a run that cannot start fails on its first edge and records
    // exactly one failure, of its own type, where it stands.
    for (std::uint64_t i = 0; i < n; ++i) {
        const fa &a = automata[i];
        if (a.mode < MODE_VOID || a.mode > MODE_TREE || !a.states || a.state_count == 0)
            continue;
        const state &s0 = a.states[0];
        bool leaf = !s0.match && s0.edge_count > 0 && s0.edges;
        for (std::uint64_t e = 0; leaf && e < s0.edge_count; ++e) {
            const trans &t = s0.edges[e].trans;
            leaf = t.kind == TRANS_CHAR || (t.kind == TRANS_CLASS && t.data != 0);
        }
        starts[i * start_words + 5] = leaf && !starts[i * start_words + 4] ? 1 : 0;
    }
    return starts;
}

} // namespace

void parser_init(parser *p, std::uint64_t start, fa *automata, std::uint64_t automaton_count,
                 bool eof_check) {
    p->start = start;
    p->automata = automata;
    p->automaton_count = automaton_count;
    p->eof_check = eof_check;
    p->memo = memo_table_new(automata, automaton_count);
    p->starts = starts_table_new(automata, automaton_count);
}

parser *parser_new(std::uint64_t start, fa *automata, std::uint64_t automaton_count,
                   bool eof_check) {
    auto *p = static_cast<parser *>(peg_malloc(sizeof(parser)));
    if (!p) {
        peg_log_oom("parser");
        // The automata were handed over; release them so a failed build leaks nothing.
        parser tmp{};
        parser_init(&tmp, start, automata, automaton_count, eof_check);
        parser_clear(&tmp);
        return nullptr;
    }
    parser_init(p, start, automata, automaton_count, eof_check);
    return p;
}

void parser_clear(parser *p) {
    if (!p)
        return;
    if (p->automata)
        for (std::uint64_t i = 0; i < p->automaton_count; ++i)
            fa_clear(&p->automata[i]);
    peg_free(p->automata);
    p->automata = nullptr;
    p->automaton_count = 0;
    peg_free(p->memo);
    p->memo = nullptr;
    peg_free(p->starts);
    p->starts = nullptr;
}

void parser_delete(parser *p) {
    parser_clear(p);
    peg_free(p);
}

namespace {

//=== per-parse blocks ===//

struct block {
    block *next;
    std::size_t size;
};

struct arena {
    block *head;
    char *cur;
    char *end;
    std::size_t next_size;
};

constexpr std::size_t first_block = 4096;
constexpr std::size_t max_block = std::size_t{1} << 20;

void *arena_alloc(arena *a, std::size_t size) {
    size = (size + 7) & ~std::size_t{7};
    if (static_cast<std::size_t>(a->end - a->cur) < size) {
        std::size_t want = a->next_size ? a->next_size : first_block;
        if (want < max_block)
            a->next_size = want * 2;
        if (want < size + sizeof(block))
            want = size + sizeof(block);
        auto *b = static_cast<block *>(peg_malloc(want));
        if (!b)
            return nullptr;
        b->next = a->head;
        b->size = want;
        a->head = b;
        a->cur = reinterpret_cast<char *>(b) + sizeof(block);
        a->end = reinterpret_cast<char *>(b) + want;
    }
    void *p = a->cur;
    a->cur += size;
    return p;
}

void arena_release(arena *a) {
    block *b = a->head;
    while (b) {
        block *next = b->next;
        peg_free(b);
        b = next;
    }
    *a = arena{};
}

//=== explicit stacks ===//

template <class T> struct pod_stack {
    T *items;
    std::uint64_t count;
    std::uint64_t capacity;
};

template <class T> bool stack_push(pod_stack<T> *s, const T &v) {
    if (s->count == s->capacity) {
        std::uint64_t grown = s->capacity ? s->capacity * 2 : 64;
        if (grown > SIZE_MAX / sizeof(T))
            return false;
        auto *items = static_cast<T *>(peg_realloc(s->items, grown * sizeof(T)));
        if (!items)
            return false;
        s->items = items;
        s->capacity = grown;
    }
    s->items[s->count++] = v;
    return true;
}

template <class T> void stack_release(pod_stack<T> *s) {
    peg_free(s->items);
    *s = pod_stack<T>{};
}

// One automaton being matched.
struct activation {
    std::uint64_t automaton;
    std::uint64_t start_pos;
    std::uint64_t start_line;
    std::uint64_t start_column;
    std::uint64_t frame_base; // first frame of this activation's path
    std::uint64_t memo_slot;  // slot of its in-progress memo entry
    std::uint64_t memo_gen;   // table generation the slot belongs to
    bool start_cr;
};

// One edge taken on the current path: what is needed to undo it and, on success, to find
// the child it contributes. A call frame holds the callee's result node. A character frame
// stands for a run of consecutive takes of the same edge on one line (a repetition such as
// [a-z]*): take k of the run started at pos + k, column + k, with last_cr clear for k > 0
// (a carriage return ends the line, so it ends the run too). Long repetitions thus cost one
// frame per line instead of one per byte.
constexpr std::uint32_t cr_bit = 0x80000000u;

struct frame {
    std::uint64_t pos;
    std::uint64_t line;
    std::uint64_t column;
    std::uint64_t payload; // call: the result node; character edge: the run length
    std::uint32_t state;
    std::uint32_t edge_cr; // edge index, with cr_bit holding last_cr before the first take
};

ast *frame_node(const frame &f) {
    return reinterpret_cast<ast *>(f.payload);
}

//=== shared constant nodes ===//

// Character and empty nodes never change, so every parse shares one of each; they stay
// inside the parse (results are copied out).
struct constant_nodes {
    ast chars[256];
    ast empty;
    ast in_progress; // memo marker of an automaton still being matched
    constexpr constant_nodes() : chars{}, empty{AST_EMPTY, 0}, in_progress{AST_EMPTY, 0} {
        for (int i = 0; i < 256; ++i)
            chars[i] = ast{AST_CHAR, static_cast<std::uint64_t>(i)};
    }
};

constant_nodes g_nodes{};

ast *char_node(unsigned char c) {
    return &g_nodes.chars[c];
}

} // namespace

struct inner_parser_work {
    const std::uint8_t *memo;    // the parser's memo table (null: memoise every automaton)
    const std::uint64_t *starts; // the parser's start table (null: every call runs in full)
    arena nodes;
    pod_stack<activation> acts;
    pod_stack<frame> frames;
    std::uint64_t memo_gen;
    bool loop_logged;
};

namespace {

constexpr std::uint64_t initial_memo_slots = 8;

// Memo slot of an activation whose automaton is not memoised.
constexpr std::uint64_t no_memo = ~std::uint64_t{0};

void fail_hard(inner_parser *ip) {
    ip->failed_hard = true;
}

void fail_oom(inner_parser *ip, const char *what) {
    if (!ip->failed_hard)
        peg_log_oom(what);
    fail_hard(ip);
}

void fail_grammar(inner_parser *ip, const char *what, std::uint64_t automaton,
                  std::uint64_t where) {
    if (!ip->failed_hard)
        peg_log_error("malformed grammar: %s (automaton %" PRIu64 ", %" PRIu64 ")", what, automaton,
                      where);
    fail_hard(ip);
}

void advance(inner_parser *ip, unsigned char c) {
    ++ip->in->pos;
    if (c == '\r') {
        ++ip->line;
        ip->column = 0;
        ip->last_cr = true;
    } else if (c == '\n') {
        if (!ip->last_cr) {
            ++ip->line;
            ip->column = 0;
        }
        ip->last_cr = false;
    } else {
        ++ip->column;
        ip->last_cr = false;
    }
}

void record_failure(inner_parser *ip, bool has_type, std::uint64_t type) {
    if (ip->in->pos > ip->error_pos) {
        ip->error_pos = ip->in->pos;
        ip->error_line = ip->line;
        ip->error_column = ip->column;
        if (has_type)
            ip->error_type = type;
    }
}

// Fails the failure on behalf of the automaton on top of the activation stack (if any).
void record_failure_top(inner_parser *ip) {
    inner_parser_work *w = ip->work;
    if (w->acts.count)
        record_failure(ip, true, ip->automata[w->acts.items[w->acts.count - 1].automaton].type);
    else
        record_failure(ip, false, 0);
}

const edge *frame_edge(const inner_parser *ip, const activation &act, const frame &f) {
    const state &s = ip->automata[act.automaton].states[f.state];
    return &s.edges[f.edge_cr & ~cr_bit];
}

// Calls fn on every child the path frames from frame_base contribute, in input order.
template <class Fn> void for_each_child(const inner_parser *ip, const activation &act, Fn fn) {
    const inner_parser_work *w = ip->work;
    for (std::uint64_t i = act.frame_base; i < w->frames.count; ++i) {
        const frame &f = w->frames.items[i];
        const edge *e = frame_edge(ip, act, f);
        if (e->voided)
            continue;
        if (e->trans.kind == TRANS_AUTOMATON) {
            ast *node = frame_node(f);
            if (node && node->kind != AST_EMPTY)
                fn(node);
            continue;
        }
        for (std::uint64_t k = 0; k < f.payload; ++k)
            fn(char_node(static_cast<unsigned char>(ip->in->data[f.pos + k])));
    }
}

// Tree node in the parse's blocks holding the path's children in input order.
ast *build_tree(inner_parser *ip, const activation &act, std::uint64_t kept) {
    inner_parser_work *w = ip->work;
    std::size_t bytes = sizeof(ast) + sizeof(ast_tree) + sizeof(vector) + kept * sizeof(void *);
    char *mem = static_cast<char *>(arena_alloc(&w->nodes, bytes));
    if (!mem) {
        fail_oom(ip, "parse-tree node");
        return nullptr;
    }
    auto *node = reinterpret_cast<ast *>(mem);
    auto *tree = reinterpret_cast<ast_tree *>(mem + sizeof(ast));
    auto *kids = reinterpret_cast<vector *>(mem + sizeof(ast) + sizeof(ast_tree));
    auto **items = reinterpret_cast<void **>(mem + sizeof(ast) + sizeof(ast_tree) + sizeof(vector));
    std::uint64_t n = 0;
    for_each_child(ip, act, [&](ast *child) { items[n++] = child; });
    *kids = vector{items, kept, kept};
    *tree = ast_tree{ip->automata[act.automaton].type, kids, act.start_pos, ip->in->pos};
    *node = ast{AST_TREE, reinterpret_cast<std::uint64_t>(tree)};
    return node;
}

// Result of the top activation, whose path (frames from frame_base) has matched.
ast *finish_success(inner_parser *ip, const activation &act) {
    std::int32_t mode = ip->automata[act.automaton].mode;
    switch (mode) {
    case MODE_VOID:
        return &g_nodes.empty;
    case MODE_AND:
        restore_pos(ip, act.start_pos, act.start_line, act.start_column, act.start_cr);
        return &g_nodes.empty;
    case MODE_PRUNE:
    case MODE_TREE: {
        std::uint64_t kept = 0;
        ast *only = nullptr;
        for_each_child(ip, act, [&](ast *child) {
            ++kept;
            only = child;
        });
        if (mode == MODE_PRUNE && kept == 0)
            return &g_nodes.empty;
        if (mode == MODE_PRUNE && kept == 1)
            return only;
        return build_tree(ip, act, kept);
    }
    default:
        return nullptr;
    }
}

// Writes the memo entry of a finished activation.
void memo_store(inner_parser *ip, const activation &act, ast *result) {
    std::uint64_t slot = act.memo_slot;
    if (slot == no_memo)
        return;
    if (act.memo_gen != ip->work->memo_gen)
        slot = cache_final_pos(&ip->cache, cache_key{act.automaton, act.start_pos});
    ip->cache.slots[slot].value =
        cache_value{result, ip->in->pos, ip->line, ip->column, ip->last_cr};
}

// True when entering state target at the current position would repeat a state of the
// current path without consuming anything (an endless loop over an empty match).
bool repeats_without_progress(const inner_parser *ip, const activation &act, std::uint64_t target) {
    const inner_parser_work *w = ip->work;
    for (std::uint64_t i = w->frames.count; i > act.frame_base; --i) {
        const frame &f = w->frames.items[i - 1];
        if (f.pos != ip->in->pos)
            return false;
        if (f.state == target)
            return true;
    }
    return false;
}

// Pushes a new activation, written in place (entering is the matcher's most frequent step);
// false on out of memory.
bool push_activation(inner_parser_work *w, std::uint64_t automaton, std::uint64_t pos,
                     std::uint64_t line, std::uint64_t column, std::uint64_t slot, bool cr) {
    pod_stack<activation> &acts = w->acts;
    if (acts.count == acts.capacity) {
        std::uint64_t grown = acts.capacity ? acts.capacity * 2 : 64;
        if (grown > SIZE_MAX / sizeof(activation))
            return false;
        auto *items =
            static_cast<activation *>(peg_realloc(acts.items, grown * sizeof(activation)));
        if (!items)
            return false;
        acts.items = items;
        acts.capacity = grown;
    }
    activation &act = acts.items[acts.count++];
    act.automaton = automaton;
    act.start_pos = pos;
    act.start_line = line;
    act.start_column = column;
    act.frame_base = w->frames.count;
    act.memo_slot = slot;
    act.memo_gen = w->memo_gen;
    act.start_cr = cr;
    return true;
}

enum class step { enter, try_edges, backtrack, succeed, fail, deliver };

} // namespace

//=== matcher ===//

void restore_pos(inner_parser *ip, std::uint64_t pos, std::uint64_t line, std::uint64_t column,
                 bool last_cr) {
    ip->in->pos = pos;
    ip->line = line;
    ip->column = column;
    ip->last_cr = last_cr;
}

ast *update_error(inner_parser *ip, std::uint64_t type) {
    record_failure(ip, true, type);
    return nullptr;
}

ast *match_automaton(inner_parser *ip, std::uint64_t index) {
    if (ip->failed_hard || !ip->work)
        return nullptr;
    inner_parser_work *w = ip->work;
    const std::uint64_t outer = w->acts.count;
    const fa *automata = ip->automata;
    input *in = ip->in;

    std::uint64_t a = index; // automaton to enter
    std::uint64_t s = 0;     // state being tried
    std::uint64_t e = 0;     // next edge to try in that state
    ast *r = nullptr;        // result being delivered
    step next = step::enter;

    for (;;) {
        switch (next) {
        case step::enter: {
            if (a >= ip->automaton_count) {
                fail_grammar(ip, "call of a missing automaton", a, in->pos);
                return nullptr;
            }
            if (ip->cache.count * 4 >= ip->cache.capacity * 3) { // the table's 75 % load
                if (!ht_grow(&ip->cache)) {
                    fail_hard(ip);
                    return nullptr;
                }
                ++w->memo_gen;
            }
            if (w->starts && w->acts.count != outer && in->pos <= ip->error_pos) {
                // A call that cannot start at this byte would fail here, recording nothing
                // new (a failure lies at least this far already): fail it at once.
                const std::uint64_t *row = w->starts + a * start_words;
                bool may_start = row[4] != 0;
                if (!may_start && in->pos < in->size) {
                    const auto c = static_cast<unsigned char>(in->data[in->pos]);
                    may_start = (row[c >> 6] >> (c & 63)) & 1;
                }
                if (!may_start) {
                    r = nullptr;
                    next = step::deliver;
                    break;
                }
            }
            if (w->memo && !w->memo[a] && w->acts.count != outer) {
                // Not memoised (the automaton a caller asked for always is): it cannot call
                // itself, unless the grammar changed after its table was made, so a look at
                // the activations at this position suffices.
                for (std::uint64_t i = w->acts.count; i > 0; --i) {
                    const activation &up = w->acts.items[i - 1];
                    if (up.start_pos != in->pos)
                        break;
                    if (up.automaton == a) {
                        fail_grammar(ip, "left recursion", a, in->pos);
                        return nullptr;
                    }
                }
                if (!push_activation(w, a, in->pos, ip->line, ip->column, no_memo, ip->last_cr)) {
                    fail_oom(ip, "matcher stack");
                    return nullptr;
                }
                s = 0;
                e = 0;
                next = step::try_edges;
                break;
            }
            cache_key key{a, in->pos};
            std::uint64_t slot = cache_final_pos(&ip->cache, key);
            ht_entry &hit = ip->cache.slots[slot];
            if (hit.key0) {
                if (hit.value.result == &g_nodes.in_progress) {
                    // The automaton calls itself at the same position: it could never end.
                    fail_grammar(ip, "left recursion", a, in->pos);
                    return nullptr;
                }
                restore_pos(ip, hit.value.end, hit.value.line, hit.value.column, hit.value.last_cr);
                r = hit.value.result;
                next = step::deliver;
                break;
            }
            hit.key0 = a + 1;
            hit.key1 = in->pos;
            hit.value.result = &g_nodes.in_progress;
            ++ip->cache.count;
            if (!push_activation(w, a, in->pos, ip->line, ip->column, slot, ip->last_cr)) {
                fail_oom(ip, "matcher stack");
                return nullptr;
            }
            s = 0;
            e = 0;
            next = step::try_edges;
            break;
        }
        case step::try_edges: {
            const activation &act = w->acts.items[w->acts.count - 1];
            const fa &automaton = automata[act.automaton];
            if (s >= automaton.state_count || !automaton.states) {
                fail_grammar(ip, "missing state", act.automaton, s);
                return nullptr;
            }
            const state &st = automaton.states[s];
            if (st.edge_count > cr_bit || s > 0xFFFFFFFFu) {
                fail_grammar(ip, "too many states or edges", act.automaton, s);
                return nullptr;
            }
            next = st.match ? step::succeed : step::backtrack;
            for (; e < st.edge_count; ++e) {
                const edge &ed = st.edges[e];
                std::int32_t kind = ed.trans.kind;
                bool call = kind == TRANS_AUTOMATON;
                if (call && w->starts && ed.trans.data < ip->automaton_count) {
                    // The same early failure entering would take, without the frame: behind
                    // the farthest failure it records nothing; a leaf start records its one.
                    const std::uint64_t *row = w->starts + ed.trans.data * start_words;
                    const bool behind = in->pos <= ip->error_pos;
                    bool may_start = row[4] != 0 || (!behind && !row[5]);
                    if (!may_start && in->pos < in->size) {
                        const auto c = static_cast<unsigned char>(in->data[in->pos]);
                        may_start = (row[c >> 6] >> (c & 63)) & 1;
                    }
                    if (!may_start) {
                        if (!behind)
                            record_failure(ip, true, automata[ed.trans.data].type);
                        continue;
                    }
                }
                if (!call) {
                    bool ok;
                    if (in->pos >= in->size) {
                        ok = false;
                    } else {
                        char c = in->data[in->pos];
                        if (kind == TRANS_CHAR) {
                            ok = c == static_cast<char>(ed.trans.data & 0xFF);
                        } else if (kind == TRANS_CLASS) {
                            const auto *cls = reinterpret_cast<const set *>(ed.trans.data);
                            if (!cls) {
                                fail_grammar(ip, "class edge without class", act.automaton, s);
                                return nullptr;
                            }
                            const auto b = static_cast<unsigned char>(c);
                            ok = cls->has_bits ? ((cls->bits[b >> 6] >> (b & 63)) & 1) != 0
                                               : set_within_set(cls, static_cast<signed char>(c));
                        } else if (kind == TRANS_WILD) {
                            ok = true;
                        } else {
                            continue; // unknown kinds never match and record nothing
                        }
                    }
                    if (!ok) {
                        record_failure(ip, true, automaton.type);
                        continue;
                    }
                }
                frame *top = w->frames.count > act.frame_base
                                 ? &w->frames.items[w->frames.count - 1]
                                 : nullptr;
                if (!call && top && top->state == s && (top->edge_cr & ~cr_bit) == e &&
                    top->pos + top->payload == in->pos && top->line == ip->line &&
                    top->column + top->payload == ip->column) {
                    ++top->payload; // one more take of the same edge on the same line
                } else {
                    frame f{in->pos,
                            ip->line,
                            ip->column,
                            call ? 0u : 1u,
                            static_cast<std::uint32_t>(s),
                            static_cast<std::uint32_t>(e) | (ip->last_cr ? cr_bit : 0u)};
                    if (!stack_push(&w->frames, f)) {
                        fail_oom(ip, "matcher stack");
                        return nullptr;
                    }
                }
                if (call) {
                    a = ed.trans.data;
                    next = step::enter;
                } else {
                    advance(ip, static_cast<unsigned char>(in->data[in->pos]));
                    s = ed.target;
                    e = 0;
                    next = step::try_edges;
                }
                break;
            }
            break;
        }
        case step::backtrack: {
            const activation &act = w->acts.items[w->acts.count - 1];
            if (w->frames.count > act.frame_base) {
                frame &f = w->frames.items[w->frames.count - 1];
                // A call frame is undone whole; a character run gives back its last take.
                bool is_call = frame_edge(ip, act, f)->trans.kind == TRANS_AUTOMATON;
                std::uint64_t k = is_call ? 0 : f.payload - 1;
                restore_pos(ip, f.pos + k, f.line, f.column + k,
                            k == 0 && (f.edge_cr & cr_bit) != 0);
                s = f.state;
                e = (f.edge_cr & ~cr_bit) + 1;
                if (k == 0)
                    --w->frames.count;
                else
                    f.payload = k;
                next = step::try_edges;
            } else {
                next = step::fail;
            }
            break;
        }
        case step::succeed: {
            activation act = w->acts.items[w->acts.count - 1];
            r = finish_success(ip, act);
            if (ip->failed_hard)
                return nullptr;
            w->frames.count = act.frame_base;
            --w->acts.count;
            if (automata[act.automaton].mode == MODE_NOT) {
                // The inner match succeeded, so the predicate fails where it started.
                restore_pos(ip, act.start_pos, act.start_line, act.start_column, act.start_cr);
                record_failure_top(ip);
                r = nullptr;
            }
            memo_store(ip, act, r);
            next = step::deliver;
            break;
        }
        case step::fail: {
            activation act = w->acts.items[w->acts.count - 1];
            --w->acts.count;
            std::int32_t mode = automata[act.automaton].mode;
            if (mode == MODE_NOT) {
                restore_pos(ip, act.start_pos, act.start_line, act.start_column, act.start_cr);
                r = &g_nodes.empty;
            } else {
                if (mode >= MODE_VOID && mode <= MODE_AND)
                    record_failure_top(ip);
                r = nullptr;
            }
            memo_store(ip, act, r);
            next = step::deliver;
            break;
        }
        case step::deliver: {
            if (w->acts.count == outer)
                return r;
            const activation &act = w->acts.items[w->acts.count - 1];
            frame &f = w->frames.items[w->frames.count - 1];
            const edge *ed = frame_edge(ip, act, f);
            if (r && ed->target < automata[act.automaton].state_count && in->pos == f.pos &&
                repeats_without_progress(ip, act, ed->target)) {
                if (!w->loop_logged)
                    peg_log_error("grammar loops without progress (automaton %" PRIu64
                                  ", state %" PRIu64 "); the repetition stops there",
                                  act.automaton, ed->target);
                w->loop_logged = true;
                r = nullptr;
            }
            if (!r) {
                --w->frames.count;
                restore_pos(ip, f.pos, f.line, f.column, (f.edge_cr & cr_bit) != 0);
                s = f.state;
                e = (f.edge_cr & ~cr_bit) + 1;
            } else {
                f.payload = reinterpret_cast<std::uint64_t>(r);
                s = ed->target;
                e = 0;
            }
            next = step::try_edges;
            break;
        }
        }
    }
}

//=== result copy ===//

namespace {

struct copy_item {
    const ast *from;
    void **to;
};

// Caller-owned copy of a node made inside the parse, or null (logged) on out of memory.
// Iterative, so any depth copies; every tree gets its own vector sized to its children.
ast *copy_out(inner_parser *ip, const ast *root) {
    pod_stack<copy_item> work{};
    ast *result = nullptr;
    bool ok = stack_push(&work, copy_item{root, reinterpret_cast<void **>(&result)});
    while (ok && work.count) {
        copy_item it = work.items[--work.count];
        ast *node = nullptr;
        if (it.from->kind == AST_TREE) {
            const ast_tree *t = ast_as_tree(it.from);
            std::uint64_t n = t->children ? t->children->count : 0;
            node = ast_new(AST_TREE, 0);
            vector *kids = node ? vector_new(n ? n : 1) : nullptr;
            ast_tree *tree = kids ? ast_tree_new(t->type, kids, t->start, t->end) : nullptr;
            if (!tree) {
                vector_delete(kids);
                ast_delete(node);
                ok = false;
                break;
            }
            node->data = reinterpret_cast<std::uint64_t>(tree);
            kids->count = n;
            *it.to = node;
            for (std::uint64_t i = n; ok && i > 0; --i)
                ok =
                    stack_push(&work, copy_item{static_cast<const ast *>(t->children->items[i - 1]),
                                                &kids->items[i - 1]});
            continue;
        }
        node = ast_new(it.from->kind, it.from->kind == AST_CHAR ? it.from->data : 0);
        if (!node) {
            ok = false;
            break;
        }
        *it.to = node;
    }
    stack_release(&work);
    if (!ok) {
        // Slots not yet filled are null, which the release walk skips.
        ast_recursive_delete(result);
        fail_oom(ip, "parse result");
        return nullptr;
    }
    return result;
}

} // namespace

//=== working record ===//

bool inner_parser_init(inner_parser *ip, const parser *p, input *in) {
    *ip = inner_parser{};
    ip->start = p->start;
    ip->automata = p->automata;
    ip->automaton_count = p->automaton_count;
    ip->eof_check = p->eof_check;
    ip->in = in;
    ip->line = 1;
    ip->error_line = 1;
    ip->error_type = p->automata && p->start < p->automaton_count ? p->automata[p->start].type : 0;
    ip->work = static_cast<inner_parser_work *>(peg_calloc(1, sizeof(inner_parser_work)));
    if (!ip->work || !ht_init(&ip->cache, initial_memo_slots)) {
        if (!ip->work)
            peg_log_oom("parse working record");
        ip->failed_hard = true;
        return false;
    }
    ip->work->memo = p->memo;
    ip->work->starts = p->starts;
    return true;
}

inner_parser *inner_parser_new(const parser *p, input *in) {
    auto *ip = static_cast<inner_parser *>(peg_malloc(sizeof(inner_parser)));
    if (!ip) {
        peg_log_oom("parse working record");
        return nullptr;
    }
    if (!inner_parser_init(ip, p, in)) {
        inner_parser_delete(ip);
        return nullptr;
    }
    return ip;
}

void inner_parser_clear(inner_parser *ip) {
    if (!ip)
        return;
    ht_clear(&ip->cache);
    if (ip->work) {
        arena_release(&ip->work->nodes);
        stack_release(&ip->work->acts);
        stack_release(&ip->work->frames);
        peg_free(ip->work);
        ip->work = nullptr;
    }
}

void inner_parser_delete(inner_parser *ip) {
    inner_parser_clear(ip);
    peg_free(ip);
}

ast *create_parse_error(const inner_parser *ip) {
    ast_error *e = ast_error_new(ip->error_pos, ip->error_line, ip->error_column, ip->error_type);
    if (!e)
        return nullptr;
    ast *node = ast_new(AST_ERROR, reinterpret_cast<std::uint64_t>(e));
    if (!node) {
        peg_free(e);
        return nullptr;
    }
    return node;
}

ast *inner_parser_parse(inner_parser *ip) {
    const std::uint64_t begin = ip->in->pos;
    ast *r = nullptr;
    if (!ip->failed_hard) {
        if (!ip->automata || ip->start >= ip->automaton_count)
            fail_grammar(ip, "missing start automaton", ip->start, 0);
        else
            r = match_automaton(ip, ip->start);
    }
    if (ip->failed_hard) {
        ip->in->pos = begin;
        r = nullptr;
    }
    ast *out = nullptr;
    if (r && !(ip->eof_check && ip->in->pos < ip->in->size))
        out = copy_out(ip, r);
    if (!out) {
        out = create_parse_error(ip);
        if (!out)
            out = peg_fallback_error_node();
    }
    return out;
}

ast *parse(const parser *p, input *in) {
    if (!p || !in) {
        peg_log_error("parse: %s is missing", p ? "the input" : "the grammar");
        return peg_fallback_error_node();
    }
    inner_parser ip;
    // A failed init leaves ip marked failed; inner_parser_parse then makes the error node.
    (void)inner_parser_init(&ip, p, in);
    ast *r = inner_parser_parse(&ip);
    inner_parser_clear(&ip);
    return r;
}
