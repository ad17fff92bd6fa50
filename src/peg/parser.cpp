// Grammar objects and the memoising matcher that runs them over an input.
//
// The matcher interprets the automata with two explicit heap stacks instead of native
// recursion: one activation per automaton being matched and one frame per edge taken on the
// current path. Nesting depth and input length therefore cost heap memory, never native
// stack. Nodes made during a parse live in per-parse blocks; a tree result takes those
// blocks with it, so nothing is copied or released node by node.
#include "peg/parser.hpp"

#include <cinttypes>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "base/arch.hpp"
#include "peg/ast.hpp"
#include "peg/edge.hpp"
#include "peg/fa.hpp"
#include "peg/grammar_analysis.hpp"
#include "peg/input.hpp"
#include "peg/memory.hpp"
#include "peg/peg_detail.hpp"
#include "peg/peg_log.hpp"
#include "peg/set.hpp"
#include "peg/state.hpp"
#include "peg/vector.hpp"

//=== grammar objects ===//

namespace {

// The analysis' view of the engine's records; missing arrays read as empty.
struct fa_view {
    const fa *automata;
    std::uint64_t n;

    std::uint64_t count() const { return n; }
    std::int32_t mode(std::uint64_t a) const { return automata[a].mode; }
    std::uint64_t state_count(std::uint64_t a) const {
        return automata[a].states ? automata[a].state_count : 0;
    }
    const state &st(std::uint64_t a, std::uint64_t s) const { return automata[a].states[s]; }
    bool accepting(std::uint64_t a, std::uint64_t s) const { return st(a, s).match; }
    std::uint64_t edge_count(std::uint64_t a, std::uint64_t s) const {
        return st(a, s).edges ? st(a, s).edge_count : 0;
    }
    const edge &ed(std::uint64_t a, std::uint64_t s, std::uint64_t e) const {
        return st(a, s).edges[e];
    }
    std::int32_t kind(std::uint64_t a, std::uint64_t s, std::uint64_t e) const {
        return ed(a, s, e).trans.kind;
    }
    std::uint64_t datum(std::uint64_t a, std::uint64_t s, std::uint64_t e) const {
        return ed(a, s, e).trans.data;
    }
    std::uint64_t target(std::uint64_t a, std::uint64_t s, std::uint64_t e) const {
        return ed(a, s, e).target;
    }
    bool voided(std::uint64_t a, std::uint64_t s, std::uint64_t e) const {
        return ed(a, s, e).voided;
    }
    bool class_bits(std::uint64_t a, std::uint64_t s, std::uint64_t e, std::uint64_t *out) const {
        const auto *cls = reinterpret_cast<const set *>(ed(a, s, e).trans.data);
        if (!cls)
            return false;
        if (cls->has_bits) {
            for (int k = 0; k < 4; ++k)
                out[k] = cls->bits[k];
            return true;
        }
        for (int k = 0; k < 4; ++k)
            out[k] = 0;
        for (unsigned c = 0; c < 256; ++c)
            if (set_within_set(cls, static_cast<signed char>(static_cast<unsigned char>(c))))
                out[c >> 6] |= std::uint64_t{1} << (c & 63);
        return true;
    }
};

void *analysis_alloc(std::size_t bytes) {
    return peg_calloc(bytes, 1);
}

void analysis_release(void *p) {
    peg_free(p);
}

} // namespace

namespace {

// Most edges and states the matcher's frames can name.
constexpr std::uint64_t most_edges = 0x1FFFFFFFu;
constexpr std::uint64_t most_states = 0xFFFFFFFFu;

// True when every automaton has states, every edge's target is a state of its automaton, and
// the counts fit the matcher's frames: the matcher then needs no check at each step.
bool grammar_well_formed(const fa *automata, std::uint64_t count) {
    if (!automata)
        return false;
    for (std::uint64_t a = 0; a < count; ++a) {
        const fa &f = automata[a];
        if (!f.states || f.state_count == 0 || f.state_count > most_states)
            return false;
        for (std::uint64_t s = 0; s < f.state_count; ++s) {
            const state &st = f.states[s];
            if (st.edge_count > most_edges || (st.edge_count && !st.edges))
                return false;
            for (std::uint64_t e = 0; e < st.edge_count; ++e)
                if (st.edges[e].target >= f.state_count)
                    return false;
        }
    }
    return true;
}

} // namespace

std::uint8_t *parser_memo_flags_new(const fa *automata, std::uint64_t count) {
    if (!automata)
        return nullptr;
    fa_view view{automata, count};
    auto alloc = analysis_alloc;
    auto release = analysis_release;
    return peg_analysis::memo_flags_new(view, alloc, release);
}

std::uint64_t *parser_start_table_new(const fa *automata, std::uint64_t count) {
    if (!automata)
        return nullptr;
    fa_view view{automata, count};
    auto alloc = analysis_alloc;
    auto release = analysis_release;
    return peg_analysis::start_table_new(view, alloc, release);
}

void parser_init(parser *p, std::uint64_t start, fa *automata, std::uint64_t automaton_count,
                 bool eof_check) {
    p->start = start;
    p->automata = automata;
    p->automaton_count = automaton_count;
    p->eof_check = eof_check;
    p->static_records = false;
    p->well_formed = grammar_well_formed(automata, automaton_count);
    p->memo = parser_memo_flags_new(automata, automaton_count);
    p->starts = parser_start_table_new(automata, automaton_count);
}

parser *parser_new(std::uint64_t start, fa *automata, std::uint64_t automaton_count,
                   bool eof_check) {
    auto *p = static_cast<parser *>(peg_malloc(sizeof(parser)));
    if (!p) {
        peg_log_oom("parser");
        // The automata were handed over; release them so a failed build leaks nothing.
        parser tmp{};
        tmp.automata = automata;
        tmp.automaton_count = automaton_count;
        parser_clear(&tmp);
        return nullptr;
    }
    parser_init(p, start, automata, automaton_count, eof_check);
    return p;
}

parser *parser_new_static(std::uint64_t start, fa *automata, std::uint64_t automaton_count,
                          bool eof_check, const std::uint8_t *memo, const std::uint64_t *starts) {
    auto *p = static_cast<parser *>(peg_malloc(sizeof(parser)));
    if (!p) {
        peg_log_oom("parser");
        return nullptr;
    }
    *p = parser{start,
                automata,
                automaton_count,
                eof_check,
                memo,
                starts,
                true,
                grammar_well_formed(automata, automaton_count)};
    return p;
}

void parser_clear(parser *p) {
    if (!p)
        return;
    if (!p->static_records) {
        if (p->automata)
            for (std::uint64_t i = 0; i < p->automaton_count; ++i)
                fa_clear(&p->automata[i]);
        peg_free(p->automata);
        peg_free(const_cast<std::uint8_t *>(p->memo));
        peg_free(const_cast<std::uint64_t *>(p->starts));
    }
    p->automata = nullptr;
    p->automaton_count = 0;
    p->memo = nullptr;
    p->starts = nullptr;
    p->static_records = false;
    p->well_formed = false;
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

// Blocks grow from small (a one-line parse touches a few hundred bytes) to 32 MB, so that a
// large parse result lives in a few blocks: released in a few calls rather than one per MB
// (each return of pages to the system interrupts every core), and filled mostly through
// huge pages.
struct arena {
    block *head;
    char *cur;
    char *end;
    std::size_t next_size;
    block *spare; // blocks of earlier parts, filled again before any new one is made
};

constexpr std::size_t first_block = 1024;
constexpr std::size_t max_block = std::size_t{32} << 20;
constexpr std::size_t huge_block = std::size_t{4} << 20;

// A spare block of at least bytes bytes, unlinked; null when none is that large.
block *take_spare(arena *a, std::size_t bytes) {
    for (block **at = &a->spare; *at; at = &(*at)->next) {
        block *b = *at;
        if (b->size >= bytes) {
            *at = b->next;
            return b;
        }
    }
    return nullptr;
}

void *arena_alloc(arena *a, std::size_t size) {
    size = (size + 7) & ~std::size_t{7};
    if (static_cast<std::size_t>(a->end - a->cur) < size) {
        if (size > SIZE_MAX - sizeof(block))
            return nullptr;
        block *b = take_spare(a, size + sizeof(block));
        if (!b) {
            std::size_t want = a->next_size ? a->next_size : first_block;
            if (want < max_block)
                a->next_size = want * 2;
            if (want < size + sizeof(block))
                want = size + sizeof(block);
            b = static_cast<block *>(peg_malloc(want));
            if (!b)
                return nullptr;
            if (want >= huge_block)
                arch_hint_huge_pages(b, want);
            b->size = want;
        }
        b->next = a->head;
        a->head = b;
        a->cur = reinterpret_cast<char *>(b) + sizeof(block);
        a->end = reinterpret_cast<char *>(b) + b->size;
    }
    void *p = a->cur;
    a->cur += size;
    return p;
}

void blocks_release(block *b) {
    while (b) {
        block *next = b->next;
        peg_free(b);
        b = next;
    }
}

// An empty arena whose first block suits a parse of text_bytes bytes: a long text makes a
// tree several times its size, so its first block is already large (pages of it that are
// never written cost nothing); a short one starts small.
arena arena_for_text(std::uint64_t text_bytes) {
    std::size_t first = first_block;
    while (first < max_block && first / 8 < text_bytes)
        first *= 2;
    return arena{nullptr, nullptr, nullptr, first, nullptr};
}

void arena_release(arena *a) {
    blocks_release(a->head);
    blocks_release(a->spare);
    *a = arena{};
}

// Makes the arena empty again for a parse that has given back every node: its blocks are kept
// as spares and filled again before any new block is made, so that a run of parts touches the
// same memory over and over instead of fresh pages.
void arena_reuse(arena *a) {
    while (a->head) {
        block *b = a->head;
        a->head = b->next;
        b->next = a->spare;
        a->spare = b;
    }
    a->cur = nullptr;
    a->end = nullptr;
}

// Gives back everything allocated since the arena stood at mark (a cur value), when that lies
// in the current block; a mark in an older block leaves the arena as it is.
void arena_rewind(arena *a, char *mark) {
    if (a->head && mark >= reinterpret_cast<char *>(a->head) + sizeof(block) && mark <= a->cur)
        a->cur = mark;
}

//=== explicit stacks ===//

template <class T> struct pod_stack {
    T *items;
    std::uint64_t count;
    std::uint64_t capacity;
};

template <class T> bool stack_push(pod_stack<T> *s, const T &v) {
    if (s->count == s->capacity) {
        std::uint64_t grown = s->capacity ? s->capacity * 2 : 16;
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
    std::uint64_t memo_entry; // its in-progress memo entry, or memo_none
    // Where the node blocks and the memo table stood on entry: when the match leaves nothing
    // and no memo entry was made meanwhile, nothing can refer to the nodes made since, and
    // they are given back (a rule tried and abandoned leaves no garbage behind).
    char *arena_mark;
    std::uint64_t memo_mark;
    bool start_cr;
};

// One edge taken on the current path: what is needed to undo it and, on success, to find
// the child it contributes. A call frame holds the callee's result node. A character frame
// stands for a run of consecutive takes of the same edge on one line (a repetition such as
// [a-z]*): take k of the run started at pos + k, column + k, with last_cr clear for k > 0
// (a carriage return ends the line, so it ends the run too). Long repetitions thus cost one
// frame per line instead of one per byte. The frame also says whether it is a call and
// whether its edge keeps what it matched, so that building a node never looks at the edges.
constexpr std::uint32_t cr_bit = 0x80000000u;
constexpr std::uint32_t call_bit = 0x40000000u;
constexpr std::uint32_t kept_bit = 0x20000000u;
constexpr std::uint32_t edge_mask = 0x1FFFFFFFu;
static_assert(edge_mask == most_edges, "the well-formed check uses the frames' limit");

struct frame {
    std::uint64_t pos;
    std::uint64_t line;
    std::uint64_t column;
    std::uint64_t payload; // call: the result node; character edge: the run length
    std::uint32_t state;
    std::uint32_t edge_cr; // edge index, cr_bit (last_cr before the first take), call_bit,
                           // kept_bit
};

ast *frame_node(const frame &f) {
    return reinterpret_cast<ast *>(f.payload);
}

//=== shared constant nodes ===//

// Character and empty nodes never change, so every parse shares one of each, and a tree
// without children shares one empty children vector; result trees point at them too (they
// are read-only and released as a whole).
struct constant_nodes {
    ast chars[256];
    ast empty;
    ast in_progress; // memo marker of an automaton still being matched
    vector no_children;
    constexpr constant_nodes()
        : chars{}, empty{AST_EMPTY, 0}, in_progress{AST_EMPTY, 0}, no_children{nullptr, 0, 0} {
        for (int i = 0; i < 256; ++i)
            chars[i] = ast{AST_CHAR, static_cast<std::uint64_t>(i)};
    }
};

constant_nodes g_nodes{};

ast *char_node(unsigned char c) {
    return &g_nodes.chars[c];
}

//=== result ownership ===//

// A tree result is one block holding its node, tree record and children vector, this record
// and the children slots; the vector's capacity carries result_tag, which no real vector
// reaches (2^62 slots), so the release functions can tell a result root from a node built
// by hand.
struct result_owner {
    block *blocks; // the parse's node blocks; null once released
};

constexpr std::uint64_t result_tag = std::uint64_t{1} << 62;

result_owner *owner_of(const ast_tree *t) {
    return reinterpret_cast<result_owner *>(reinterpret_cast<char *>(t->children) + sizeof(vector));
}

} // namespace

bool peg_result_tree(const ast_tree *t) {
    return t && t->children && (t->children->capacity & result_tag) != 0;
}

void peg_result_release_nodes(ast_tree *t) {
    if (!peg_result_tree(t))
        return;
    result_owner *owner = owner_of(t);
    blocks_release(owner->blocks);
    owner->blocks = nullptr;
    t->children->count = 0;
}

struct inner_parser_work {
    const std::uint8_t *memo;    // the parser's memo table (null: memoise every automaton)
    const std::uint64_t *starts; // the parser's start table (null: every call runs in full)
    bool well_formed;            // the parser's grammar needs no checks while matching
    arena nodes;
    pod_stack<activation> acts;
    pod_stack<frame> frames;
    bool loop_logged;
};

namespace {

constexpr std::uint64_t start_words = peg_start_words;

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

// Adds type to the collected set, once.
void collect_expected(inner_parser *ip, std::uint64_t type) {
    for (std::uint64_t i = 0; i < ip->expected_count; ++i)
        if (ip->expected[i] == type)
            return;
    if (ip->expected_count < ip->expected_capacity)
        ip->expected[ip->expected_count++] = type;
}

// Records a failure at the current position; collect says whether its type joins the
// expected set when the position is the collected one.
void record_failure(inner_parser *ip, bool has_type, std::uint64_t type, bool collect = true) {
    if (ip->in->pos > ip->error_pos) {
        ip->error_pos = ip->in->pos;
        ip->error_line = ip->line;
        ip->error_column = ip->column;
        if (has_type)
            ip->error_type = type;
    }
    if (collect && ip->in->pos == ip->collect_pos && has_type)
        collect_expected(ip, type);
}

// Records a failure on behalf of the automaton on top of the activation stack (if any).
void record_failure_top(inner_parser *ip, bool collect = true) {
    inner_parser_work *w = ip->work;
    if (w->acts.count)
        record_failure(ip, true, ip->automata[w->acts.items[w->acts.count - 1].automaton].type,
                       collect);
    else
        record_failure(ip, false, 0, collect);
}

const edge *frame_edge(const inner_parser *ip, const activation &act, const frame &f) {
    const state &s = ip->automata[act.automaton].states[f.state];
    return &s.edges[f.edge_cr & edge_mask];
}

// Calls fn on every child the path frames from frame_base contribute, in input order.
template <class Fn> void for_each_child(const inner_parser *ip, const activation &act, Fn fn) {
    const inner_parser_work *w = ip->work;
    for (std::uint64_t i = act.frame_base; i < w->frames.count; ++i) {
        const frame &f = w->frames.items[i];
        if (!(f.edge_cr & kept_bit))
            continue;
        if (f.edge_cr & call_bit) {
            ast *node = frame_node(f);
            if (node && node->kind != AST_EMPTY)
                fn(node);
            continue;
        }
        for (std::uint64_t k = 0; k < f.payload; ++k)
            fn(char_node(static_cast<unsigned char>(ip->in->data[f.pos + k])));
    }
}

// Tree node of automaton a's type in the parse's blocks, from start to the current position,
// with kept children that fill(items) writes in input order; a tree without children shares
// the one empty vector.
template <class Fill>
ast *tree_node(inner_parser *ip, std::uint64_t a, std::uint64_t start, std::uint64_t kept,
               Fill fill) {
    std::size_t bytes = sizeof(ast) + sizeof(ast_tree);
    if (kept)
        bytes += sizeof(vector) + kept * sizeof(void *);
    char *mem = static_cast<char *>(arena_alloc(&ip->work->nodes, bytes));
    if (!mem) {
        fail_oom(ip, "parse-tree node");
        return nullptr;
    }
    auto *node = reinterpret_cast<ast *>(mem);
    auto *tree = reinterpret_cast<ast_tree *>(mem + sizeof(ast));
    vector *kids = &g_nodes.no_children;
    if (kept) {
        kids = reinterpret_cast<vector *>(mem + sizeof(ast) + sizeof(ast_tree));
        auto **items =
            reinterpret_cast<void **>(mem + sizeof(ast) + sizeof(ast_tree) + sizeof(vector));
        fill(items);
        *kids = vector{items, kept, kept};
    }
    *tree = ast_tree{ip->automata[a].type, kids, start, ip->in->pos};
    *node = ast{AST_TREE, reinterpret_cast<std::uint64_t>(tree)};
    return node;
}

// Tree node holding the path's children in input order.
ast *build_tree(inner_parser *ip, const activation &act, std::uint64_t kept) {
    return tree_node(ip, act.automaton, act.start_pos, kept, [&](void **items) {
        std::uint64_t n = 0;
        for_each_child(ip, act, [&](ast *child) { items[n++] = child; });
    });
}

// True when the byte step ed (a character or class edge, or a call of a byte automaton)
// takes byte c.
bool step_takes(const inner_parser_work *w, const edge &ed, unsigned char c) {
    switch (ed.trans.kind) {
    case TRANS_CHAR:
        return c == static_cast<unsigned char>(ed.trans.data & 0xFF);
    case TRANS_CLASS: {
        const auto *cls = reinterpret_cast<const set *>(ed.trans.data);
        return cls->has_bits ? ((cls->bits[c >> 6] >> (c & 63)) & 1) != 0
                             : set_within_set(cls, static_cast<signed char>(c));
    }
    default: {
        const std::uint64_t *row = w->starts + ed.trans.data * start_words;
        return ((row[c >> 6] >> (c & 63)) & 1) != 0;
    }
    }
}

// Node type a failed byte step of automaton a records: a called byte automaton's own.
std::uint64_t step_type(const inner_parser *ip, std::uint64_t a, const edge &ed) {
    return ip->automata[ed.trans.kind == TRANS_AUTOMATON ? ed.trans.data : a].type;
}

// Takes the bytes of the byte step ed while they come, as advance would one by one; the
// position, line and column stay in registers meanwhile (a run of blanks, of letters).
void take_run(inner_parser *ip, const edge &ed) {
    const inner_parser_work *w = ip->work;
    std::uint64_t one[4] = {0, 0, 0, 0};
    const std::uint64_t *bits = one;
    if (ed.trans.kind == TRANS_CHAR) {
        const auto c = static_cast<unsigned char>(ed.trans.data & 0xFF);
        one[c >> 6] = std::uint64_t{1} << (c & 63);
    } else if (ed.trans.kind == TRANS_CLASS) {
        const auto *cls = reinterpret_cast<const set *>(ed.trans.data);
        if (!cls->has_bits) {
            input *in = ip->in;
            while (in->pos < in->size &&
                   step_takes(w, ed, static_cast<unsigned char>(in->data[in->pos])))
                advance(ip, static_cast<unsigned char>(in->data[in->pos]));
            return;
        }
        bits = cls->bits;
    } else {
        bits = w->starts + ed.trans.data * start_words;
    }
    const auto *data = reinterpret_cast<const unsigned char *>(ip->in->data);
    const std::uint64_t size = ip->in->size;
    std::uint64_t pos = ip->in->pos;
    std::uint64_t line = ip->line;
    std::uint64_t column = ip->column;
    bool last_cr = ip->last_cr;
    for (; pos < size; ++pos) {
        const unsigned char c = data[pos];
        if (!((bits[c >> 6] >> (c & 63)) & 1))
            break;
        if (c == '\r') {
            ++line;
            column = 0;
            last_cr = true;
        } else if (c == '\n') {
            if (!last_cr) {
                ++line;
                column = 0;
            }
            last_cr = false;
        } else {
            ++column;
            last_cr = false;
        }
    }
    ip->in->pos = pos;
    ip->line = line;
    ip->column = column;
    ip->last_cr = last_cr;
}

// A call of a skip (peg_leaf_skip) taken as run_chain takes it: the bytes of its loop while
// they come, the loop step's failure where they end; it always matches, leaving nothing.
ast *run_skip(inner_parser *ip, std::uint64_t a) {
    const edge &ed = ip->automata[a].states[0].edges[0];
    take_run(ip, ed);
    record_failure(ip, true, step_type(ip, a, ed));
    return &g_nodes.empty;
}

// A call of a chain automaton (peg_leaf_chain) taken in one pass: the same bytes, failures
// and result its full run gives. Its callees are chains, byte automata and predicates over
// them, so the native recursion is bounded by the grammar, not by the input. Null for a
// failed match (position, line and column then as before).
ast *run_chain(inner_parser *ip, std::uint64_t a) {
    const inner_parser_work *w = ip->work;
    const fa &f = ip->automata[a];
    input *in = ip->in;
    struct point {
        std::uint64_t pos, line, column;
        bool last_cr;
        ast *kept;
    };
    const point start{in->pos, ip->line, ip->column, ip->last_cr, nullptr};
    // A chain makes no memo entry: on failure the nodes it made are nobody's.
    char *const mark = ip->work->nodes.cur;
    point ok = start; // the last accepting state passed: where a failure falls back to
    bool have_ok = false;
    ast *kept = nullptr;
    // One step at the current position: byte steps and chain calls consume, a predicate
    // does not; false when it does not match (failures recorded as its full run would).
    auto take = [&](std::uint64_t owner, const edge &ed, bool *ok_step) -> ast * {
        const bool byte = ed.trans.kind != TRANS_AUTOMATON ||
                          (w->starts[ed.trans.data * start_words + 5] & peg_leaf_byte) != 0;
        if (byte) {
            *ok_step = in->pos < in->size &&
                       step_takes(w, ed, static_cast<unsigned char>(in->data[in->pos]));
            if (*ok_step)
                advance(ip, static_cast<unsigned char>(in->data[in->pos]));
            else
                record_failure(ip, true, step_type(ip, owner, ed));
            return nullptr;
        }
        const std::uint64_t flags = w->starts[ed.trans.data * start_words + 5];
        ast *r =
            (flags & peg_leaf_skip) ? run_skip(ip, ed.trans.data) : run_chain(ip, ed.trans.data);
        *ok_step = r != nullptr;
        return r;
    };
    for (std::uint64_t s = 0;;) {
        const state &st = f.states[s];
        if (st.match) {
            ok = point{in->pos, ip->line, ip->column, ip->last_cr, kept};
            have_ok = true;
        }
        if (st.edge_count == 0)
            break;
        const edge &ed = st.edges[0];
        if (ed.target == s) {
            // The closing run of an accepting state: as many bytes as match.
            take_run(ip, ed);
            record_failure(ip, true, step_type(ip, a, ed));
            break;
        }
        bool taken = false;
        if (ed.trans.kind == TRANS_AUTOMATON && ip->automata[ed.trans.data].mode == MODE_NOT) {
            // !x: x at this position, which is kept; the predicate fails where x matches,
            // on behalf of this automaton.
            const std::uint64_t p = ed.trans.data;
            const point here{in->pos, ip->line, ip->column, ip->last_cr, nullptr};
            bool inner = false;
            static_cast<void>(take(p, ip->automata[p].states[0].edges[0], &inner));
            if (ip->failed_hard)
                return nullptr;
            restore_pos(ip, here.pos, here.line, here.column, here.last_cr);
            if (inner)
                record_failure(ip, true, f.type);
            taken = !inner;
        } else {
            ast *r = take(a, ed, &taken);
            if (ip->failed_hard)
                return nullptr;
            if (r && r->kind != AST_EMPTY && !ed.voided && f.mode != MODE_VOID)
                kept = r;
        }
        if (!taken) {
            if (!have_ok) {
                restore_pos(ip, start.pos, start.line, start.column, start.last_cr);
                arena_rewind(&ip->work->nodes, mark);
                return nullptr;
            }
            restore_pos(ip, ok.pos, ok.line, ok.column, ok.last_cr);
            kept = ok.kept;
            break;
        }
        s = ed.target;
    }
    if (f.mode == MODE_VOID)
        return &g_nodes.empty;
    if (f.mode == MODE_PRUNE)
        return kept ? kept : &g_nodes.empty;
    auto *mem = static_cast<char *>(arena_alloc(&ip->work->nodes, sizeof(ast) + sizeof(ast_tree)));
    if (!mem) {
        fail_oom(ip, "parse-tree node");
        return nullptr;
    }
    auto *node = reinterpret_cast<ast *>(mem);
    auto *tree = reinterpret_cast<ast_tree *>(mem + sizeof(ast));
    *tree = ast_tree{f.type, &g_nodes.no_children, start.pos, in->pos};
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
    if (act.memo_entry == memo_none)
        return;
    memo_entry &m = ip->cache.entries[act.memo_entry];
    m.result = result;
    m.end = ip->in->pos;
    m.line = ip->line;
    m.column = ip->column;
    m.last_cr = ip->last_cr ? 1 : 0;
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
                     std::uint64_t line, std::uint64_t column, std::uint64_t entry, bool cr,
                     std::uint64_t memo_count) {
    pod_stack<activation> &acts = w->acts;
    if (acts.count == acts.capacity) {
        std::uint64_t grown = acts.capacity ? acts.capacity * 2 : 16;
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
    act.memo_entry = entry;
    act.arena_mark = w->nodes.cur;
    act.memo_mark = memo_count;
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
            if (w->starts && w->acts.count != outer && in->pos <= ip->error_pos &&
                in->pos != ip->collect_pos) {
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
                // Not memoised (the automaton a caller asked for always is). The memo flags
                // cover every cycle of calls, so a rule that calls itself at one position
                // passes a memoised rule twice there, whose in-progress entry reports it.
                if (!push_activation(w, a, in->pos, ip->line, ip->column, memo_none, ip->last_cr,
                                     ip->cache.count)) {
                    fail_oom(ip, "matcher stack");
                    return nullptr;
                }
                s = 0;
                e = 0;
                next = step::try_edges;
                break;
            }
            std::uint64_t slot = 0;
            const std::uint64_t found = memo_table_find(&ip->cache, a, in->pos, &slot);
            if (found != memo_none) {
                const memo_entry &hit = ip->cache.entries[found];
                if (hit.result == &g_nodes.in_progress) {
                    // The automaton calls itself at the same position: it could never end.
                    fail_grammar(ip, "left recursion", a, in->pos);
                    return nullptr;
                }
                restore_pos(ip, hit.end, hit.line, hit.column, hit.last_cr != 0);
                r = hit.result;
                const std::int32_t hit_mode = automata[a].mode;
                if (!r && (hit_mode == MODE_AND || hit_mode == MODE_NOT)) {
                    // A failed predicate is expected afresh for each caller, as every run
                    // of it records (its first run recorded here, so the error record
                    // stays as it is).
                    record_failure_top(ip);
                }
                next = step::deliver;
                break;
            }
            const std::uint64_t made = memo_table_add(&ip->cache, slot, a, in->pos);
            if (made == memo_none) {
                fail_hard(ip);
                return nullptr;
            }
            ip->cache.entries[made].result = &g_nodes.in_progress;
            if (!push_activation(w, a, in->pos, ip->line, ip->column, made, ip->last_cr,
                                 ip->cache.count)) {
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
            if (!w->well_formed) {
                if (s >= automaton.state_count || !automaton.states) {
                    fail_grammar(ip, "missing state", act.automaton, s);
                    return nullptr;
                }
                if (automaton.states[s].edge_count > edge_mask || s > most_states) {
                    fail_grammar(ip, "too many states or edges", act.automaton, s);
                    return nullptr;
                }
            }
            const state &st = automaton.states[s];
            next = st.match ? step::succeed : step::backtrack;
            for (; e < st.edge_count; ++e) {
                const edge &ed = st.edges[e];
                std::int32_t kind = ed.trans.kind;
                bool call = kind == TRANS_AUTOMATON;
                bool chain = false; // the callee is taken in one pass
                if (call && w->starts && ed.trans.data < ip->automaton_count) {
                    const std::uint64_t *row = w->starts + ed.trans.data * start_words;
                    const bool at_end = in->pos >= in->size;
                    bool may_start = false;
                    if (!at_end) {
                        const auto c = static_cast<unsigned char>(in->data[in->pos]);
                        may_start = (row[c >> 6] >> (c & 63)) & 1;
                    }
                    if (row[5] & peg_leaf_byte) {
                        // The call is one byte test: taken in place as a character edge.
                        if (!may_start) {
                            record_failure(ip, true, automata[ed.trans.data].type);
                            continue;
                        }
                        call = false;
                    } else if (!may_start && !row[4]) {
                        // The same early failure entering would take, without the frame:
                        // behind the farthest failure it records nothing; a leaf start
                        // records its one.
                        const bool behind = in->pos <= ip->error_pos && in->pos != ip->collect_pos;
                        if (behind || (row[5] & peg_leaf_start)) {
                            if (!behind)
                                record_failure(ip, true, automata[ed.trans.data].type);
                            continue;
                        }
                    }
                    chain = call && w->memo && !w->memo[ed.trans.data] &&
                            (row[5] & peg_leaf_chain) != 0;
                }
                if (kind != TRANS_AUTOMATON) {
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
                if (!call && top && top->state == s && (top->edge_cr & edge_mask) == e &&
                    top->pos + top->payload == in->pos && top->line == ip->line &&
                    top->column + top->payload == ip->column) {
                    ++top->payload; // one more take of the same edge on the same line
                } else {
                    // A byte call keeps nothing; a call keeps its result unless voided.
                    const bool keeps = !ed.voided && (call || kind != TRANS_AUTOMATON);
                    frame f{in->pos,
                            ip->line,
                            ip->column,
                            call ? 0u : 1u,
                            static_cast<std::uint32_t>(s),
                            static_cast<std::uint32_t>(e) | (ip->last_cr ? cr_bit : 0u) |
                                (call ? call_bit : 0u) | (keeps ? kept_bit : 0u)};
                    if (!stack_push(&w->frames, f)) {
                        fail_oom(ip, "matcher stack");
                        return nullptr;
                    }
                }
                if (chain) {
                    r = run_chain(ip, ed.trans.data);
                    if (ip->failed_hard)
                        return nullptr;
                    next = step::deliver;
                } else if (call) {
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
                const bool is_call = (f.edge_cr & call_bit) != 0;
                std::uint64_t k = is_call ? 0 : f.payload - 1;
                restore_pos(ip, f.pos + k, f.line, f.column + k,
                            k == 0 && (f.edge_cr & cr_bit) != 0);
                s = f.state;
                e = (f.edge_cr & edge_mask) + 1;
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
            // Nothing is pushed before the record is read for the last time below.
            const activation &act = w->acts.items[w->acts.count - 1];
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
            if ((!r || r == &g_nodes.empty) && ip->cache.count == act.memo_mark)
                arena_rewind(&w->nodes, act.arena_mark);
            memo_store(ip, act, r);
            next = step::deliver;
            break;
        }
        case step::fail: {
            const activation &act = w->acts.items[w->acts.count - 1];
            --w->acts.count;
            std::int32_t mode = automata[act.automaton].mode;
            if (mode == MODE_NOT) {
                restore_pos(ip, act.start_pos, act.start_line, act.start_column, act.start_cr);
                r = &g_nodes.empty;
            } else {
                // A failed rule records its failure for the caller, as the error record
                // wants. Only a failed predicate counts as something expected there: a
                // failed rule has already recorded the byte tests that failed inside it,
                // and its caller tested nothing at that place. (The caller's type depends
                // on who called, which a memo hit or a call taken in one pass would not
                // repeat.)
                if (mode >= MODE_VOID && mode <= MODE_AND)
                    record_failure_top(ip, mode == MODE_AND);
                r = nullptr;
            }
            if (ip->cache.count == act.memo_mark)
                arena_rewind(&w->nodes, act.arena_mark);
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
            if (r && in->pos == f.pos && ed->target < automata[act.automaton].state_count &&
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
                e = (f.edge_cr & edge_mask) + 1;
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

//=== result ===//

namespace {

// The caller-owned result for the start automaton's node r: a tree takes the parse's node
// blocks along (its root is moved into a block of its own that holds the owner record); a
// character or empty node is a fresh node. Null (logged) on out of memory.
ast *export_result(inner_parser *ip, const ast *r) {
    if (r->kind != AST_TREE)
        return ast_new(r->kind, r->kind == AST_CHAR ? r->data : 0);
    const ast_tree *t = ast_as_tree(r);
    const std::uint64_t n = t->children->count;
    if (n > (SIZE_MAX - 256) / sizeof(void *)) {
        fail_oom(ip, "parse result");
        return nullptr;
    }
    const std::size_t bytes = sizeof(ast) + sizeof(ast_tree) + sizeof(vector) +
                              sizeof(result_owner) + static_cast<std::size_t>(n) * sizeof(void *);
    char *mem = static_cast<char *>(peg_malloc(bytes));
    if (!mem) {
        fail_oom(ip, "parse result");
        return nullptr;
    }
    auto *node = reinterpret_cast<ast *>(mem);
    auto *tree = reinterpret_cast<ast_tree *>(mem + sizeof(ast));
    auto *kids = reinterpret_cast<vector *>(mem + sizeof(ast) + sizeof(ast_tree));
    auto *owner =
        reinterpret_cast<result_owner *>(mem + sizeof(ast) + sizeof(ast_tree) + sizeof(vector));
    auto **items = reinterpret_cast<void **>(mem + sizeof(ast) + sizeof(ast_tree) + sizeof(vector) +
                                             sizeof(result_owner));
    for (std::uint64_t i = 0; i < n; ++i)
        items[i] = t->children->items[i];
    *kids = vector{items, result_tag | n, n};
    *tree = ast_tree{t->type, kids, t->start, t->end};
    *node = ast{AST_TREE, reinterpret_cast<std::uint64_t>(tree)};
    // The blocks go with the result; what else the parse made in them is released with it.
    owner->blocks = ip->work->nodes.head;
    ip->work->nodes = arena{nullptr, nullptr, nullptr, 0, ip->work->nodes.spare};
    return node;
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
    ip->collect_pos = ~std::uint64_t{0};
    ip->error_type = p->automata && p->start < p->automaton_count ? p->automata[p->start].type : 0;
    ip->work = static_cast<inner_parser_work *>(peg_calloc(1, sizeof(inner_parser_work)));
    if (!ip->work || !memo_table_init(&ip->cache, in->size > in->pos ? in->size - in->pos : 0)) {
        if (!ip->work)
            peg_log_oom("parse working record");
        ip->failed_hard = true;
        return false;
    }
    ip->work->nodes = arena_for_text(in->size > in->pos ? in->size - in->pos : 0);
    ip->work->memo = p->memo;
    ip->work->starts = p->starts;
    ip->work->well_formed = p->well_formed;
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
    memo_table_clear(&ip->cache);
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
        out = export_result(ip, r);
    if (!out && ip->failed_hard) {
        // A parse that could not run to its end has no failure in the text to report, and
        // has logged why: its error node is made without a second record.
        auto *e = static_cast<ast_error *>(peg_malloc(sizeof(ast_error)));
        out = e ? static_cast<ast *>(peg_malloc(sizeof(ast))) : nullptr;
        if (out) {
            *e = ast_error{ip->error_pos, ip->error_line, ip->error_column, AST_ERROR_ABORTED};
            *out = ast{AST_ERROR, reinterpret_cast<std::uint64_t>(e)};
        } else {
            peg_free(e);
        }
    } else if (!out) {
        out = create_parse_error(ip);
    }
    return out ? out : peg_fallback_error_node();
}

std::uint64_t parse_expected(const parser *p, input *in, std::uint64_t at, std::uint64_t *types,
                             std::uint64_t capacity) {
    if (!p || !in) {
        peg_log_error("parse: %s is missing", p ? "the input" : "the grammar");
        return 0;
    }
    const std::uint64_t begin = in->pos;
    inner_parser ip;
    const bool ready = inner_parser_init(&ip, p, in);
    ip.collect_pos = at;
    ip.expected = types;
    ip.expected_capacity = types ? capacity : 0;
    // The error record starts as a failure of the start automaton at position 0; it stands
    // when nothing fails farther on, so that type is expected there too.
    if (ready && at == ip.error_pos)
        collect_expected(&ip, ip.error_type);
    std::uint64_t found = 0;
    if (ready) {
        ast *r = inner_parser_parse(&ip);
        found = ip.failed_hard ? 0 : ip.expected_count;
        ast_recursive_delete(r);
    }
    inner_parser_clear(&ip);
    in->pos = begin;
    return found;
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

//=== parts ===//

namespace {

// A call to a rule matched whole (not a byte test, which the matcher takes in place).
bool whole_call(const parser *p, const edge &ed) {
    return ed.trans.kind == TRANS_AUTOMATON && ed.trans.data < p->automaton_count &&
           !(p->starts && (p->starts[ed.trans.data * start_words + 5] & peg_leaf_byte));
}

// The head and item automata of a start rule `A B*` (tree): state 0 calls A into state 1,
// which accepts and calls B into itself; each call taken as a full match (no byte test in its
// place). False for any other shape.
bool parts_shape(const parser *p, std::uint64_t *head, std::uint64_t *item) {
    if (!p->well_formed || !p->automata || p->start >= p->automaton_count)
        return false;
    const fa &f = p->automata[p->start];
    if (f.mode != MODE_TREE || f.state_count != 2 || f.states[0].match || !f.states[1].match ||
        f.states[0].edge_count != 1 || f.states[1].edge_count != 1)
        return false;
    const edge &a = f.states[0].edges[0];
    const edge &b = f.states[1].edges[0];
    if (!whole_call(p, a) || !whole_call(p, b) || a.target != 1 || b.target != 1 || a.voided ||
        b.voided)
        return false;
    *head = a.trans.data;
    *item = b.trans.data;
    return true;
}

// Gives back the nodes and memo entries of the part just handed over (bytes long); false
// (logged) on out of memory.
bool release_part(inner_parser *ip, std::uint64_t bytes) {
    arena_reuse(&ip->work->nodes);
    if (!memo_table_reset(&ip->cache, bytes)) {
        ip->failed_hard = true;
        return false;
    }
    return true;
}

// An item rule whose first alternative is a container (see parse_parts_nested): the container
// C, the state of C that calls the item over and over, and T, the item's call after its
// alternatives.
struct nest_shape {
    std::uint64_t container;
    std::uint64_t body;
    std::uint64_t tail;
};

// The container of item rule `item`, when the grammar has that shape.
bool find_nest(const parser *p, std::uint64_t item, nest_shape *out) {
    const fa &i = p->automata[item];
    if (i.mode != MODE_PRUNE || i.state_count != 3 || i.states[0].match || i.states[1].match ||
        !i.states[2].match || i.states[0].edge_count == 0 || i.states[1].edge_count != 1 ||
        i.states[2].edge_count != 0)
        return false;
    const edge &first = i.states[0].edges[0];
    const edge &tail = i.states[1].edges[0];
    if (!whole_call(p, first) || first.voided || first.target != 1 || !whole_call(p, tail) ||
        tail.target != 2 || (!tail.voided && p->automata[tail.trans.data].mode != MODE_VOID))
        return false;
    const fa &c = p->automata[first.trans.data];
    if (c.mode != MODE_TREE || c.state_count < 2)
        return false;
    std::uint64_t body = c.state_count;
    for (std::uint64_t s = 0; s < c.state_count; ++s) {
        const state &st = c.states[s];
        const bool last = s + 1 == c.state_count;
        if (st.match != last || (last && st.edge_count != 0))
            return false;
        if (last)
            break;
        if (st.edge_count < 1 || st.edge_count > 2)
            return false;
        for (std::uint64_t e = 0; e < st.edge_count; ++e) {
            const edge &ed = st.edges[e];
            const bool loop = e + 1 < st.edge_count;
            if (!whole_call(p, ed) || ed.target != (loop ? s : s + 1))
                return false;
            if (loop && ed.trans.data == item) {
                if (body != c.state_count || ed.voided)
                    return false;
                body = s;
            }
        }
    }
    if (body == c.state_count)
        return false;
    *out = nest_shape{first.trans.data, body, tail.trans.data};
    return true;
}

// Tree node of automaton a's type, from start, whose children are kids.
ast *tree_of(inner_parser *ip, std::uint64_t a, const pod_stack<ast *> &kids, std::uint64_t start) {
    return tree_node(ip, a, start, kids.count, [&](void **items) {
        for (std::uint64_t k = 0; k < kids.count; ++k)
            items[k] = kids.items[k];
    });
}

// Matches the states from..to - 1 of container c as the matcher would along its first way:
// each state's repeated call while it matches and moves on, then its call to the next state.
// The results kept go to kids. False when a call fails (or a repetition matches nothing): the
// matcher might then find another way, so the caller gives up this one.
bool match_states(inner_parser *ip, const fa &c, std::uint64_t from, std::uint64_t to,
                  pod_stack<ast *> *kids) {
    auto keep = [&](const edge &ed, ast *r) {
        return ed.voided || r->kind == AST_EMPTY || stack_push(kids, r);
    };
    for (std::uint64_t s = from; s < to; ++s) {
        const state &st = c.states[s];
        if (st.edge_count == 2) {
            const edge &loop = st.edges[0];
            for (;;) {
                const std::uint64_t at = ip->in->pos;
                ast *r = match_automaton(ip, loop.trans.data);
                if (!r)
                    break;
                if (ip->in->pos == at || !keep(loop, r))
                    return false;
            }
        }
        const edge &next = st.edges[st.edge_count - 1];
        ast *r = match_automaton(ip, next.trans.data);
        if (!r || !keep(next, r))
            return false;
    }
    return !ip->failed_hard;
}

// False when automaton a cannot match at the current position, as its first bytes tell.
bool may_start(const inner_parser *ip, std::uint64_t a) {
    const std::uint64_t *starts = ip->work->starts;
    if (!starts)
        return true;
    const std::uint64_t *row = starts + a * start_words;
    if (row[4] != 0)
        return true;
    if (ip->in->pos >= ip->in->size)
        return false;
    const auto c = static_cast<unsigned char>(ip->in->data[ip->in->pos]);
    return ((row[c >> 6] >> (c & 63)) & 1) != 0;
}

// The walk of parse_parts and parse_parts_nested (nest: take containers apart).
bool walk_parts(const parser *p, input *in, bool nest, parse_nested_func event, void *context) {
    std::uint64_t head = 0;
    std::uint64_t item = 0;
    if (!p || !in || !event || !parts_shape(p, &head, &item))
        return false;
    nest_shape shape{};
    nest = nest && find_nest(p, item, &shape);
    const std::uint64_t begin = in->pos;
    inner_parser ip;
    bool ok = inner_parser_init(&ip, p, in);
    if (ok) {
        // One part's nodes at a time: the blocks start small, whatever the input's length.
        ip.work->nodes = arena_for_text(0);
        ok = release_part(&ip, 0);
    }
    pod_stack<std::uint64_t> open{}; // where each open container began
    pod_stack<ast *> kids{};
    const fa &c = p->automata[shape.container];
    std::uint64_t at = in->pos;
    const ast *r = ok ? match_automaton(&ip, head) : nullptr;
    ok = r != nullptr;
    if (ok && r->kind != AST_EMPTY)
        event(PART_ITEM, r, context);
    while (ok) {
        if (!release_part(&ip, in->pos - at))
            break;
        at = in->pos;
        const std::uint64_t line = ip.line;
        const std::uint64_t column = ip.column;
        const bool last_cr = ip.last_cr;
        kids.count = 0;
        if (nest && may_start(&ip, shape.container) && match_states(&ip, c, 0, shape.body, &kids)) {
            const ast *node = tree_of(&ip, shape.container, kids, at);
            ok = node != nullptr && stack_push(&open, at);
            if (ok)
                event(PART_OPEN, node, context);
            continue;
        }
        if (ip.failed_hard)
            break;
        // Not a container's head: its nodes stay for the item's match, which meets them again.
        restore_pos(&ip, at, line, column, last_cr);
        r = match_automaton(&ip, item);
        if (r && in->pos != at) {
            if (r->kind != AST_EMPTY)
                event(PART_ITEM, r, context);
            continue;
        }
        // A failed item ends the run; one that matched nothing would repeat for ever, which
        // parse reports.
        if (!r && !ip.failed_hard && open.count == 0) {
            ok = !(ip.eof_check && in->pos < in->size);
            break;
        }
        if (r || ip.failed_hard)
            ok = false;
        else {
            // The innermost container's items end here: its remaining calls, then the item's.
            kids.count = 0;
            ok = match_states(&ip, c, shape.body, c.state_count - 1, &kids);
            const ast *node = ok ? tree_of(&ip, shape.container, kids, open.items[--open.count])
                                 : nullptr;
            ok = node != nullptr;
            if (ok)
                event(PART_CLOSE, node, context);
            ok = ok && match_automaton(&ip, shape.tail) != nullptr;
        }
    }
    ok = ok && !ip.failed_hard;
    stack_release(&open);
    stack_release(&kids);
    inner_parser_clear(&ip);
    if (!ok)
        in->pos = begin;
    return ok;
}

struct part_adapter {
    parse_part_func part;
    void *context;
};

void adapt_part(parse_part_event, const ast *node, void *context) {
    auto *a = static_cast<part_adapter *>(context);
    a->part(node, a->context);
}

} // namespace

bool parse_parts(const parser *p, input *in, parse_part_func part, void *context) {
    part_adapter a{part, context};
    return part != nullptr && walk_parts(p, in, false, adapt_part, &a);
}

bool parse_parts_nested(const parser *p, input *in, parse_nested_func event, void *context) {
    return walk_parts(p, in, true, event, context);
}
