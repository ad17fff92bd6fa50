// The grammar analysis behind the matcher's shortcuts (memo choice, byte steps, chains) and
// the ownership of parse results that carry their node blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "alloc_count.hpp"
#include "hand_grammar.hpp"
#include "peg/ast.hpp"
#include "peg/fa.hpp"
#include "peg/grammar_analysis.hpp"
#include "peg/input.hpp"
#include "peg/memory.hpp"
#include "peg/parser.hpp"
#include "peg/state.hpp"
#include "peg/trans.hpp"
#include "peg/vector.hpp"
#include "support/tree_text.hpp"

namespace {

// Tree, error record (with its type) and end position of one parse, as one string.
std::string outcome(const parser *p, const std::string &text) {
    input in;
    input_init(&in, text.data(), text.size());
    ast *r = parse(p, &in);
    const char *const names[] = {"t0", "t1", "t2", "t3", "t4", "t5", "t6", "t7"};
    std::string out = tree_text(r, names, 8, text);
    if (const ast_error *e = ast_as_error(r))
        out += " type=" + std::to_string(e->type);
    ast_recursive_delete(r);
    return out + " @" + std::to_string(in.pos);
}

// The types expected at every position of the text (parse_expected), sorted per position,
// as one string: "pos:t,t;" for each position where something was expected.
std::string expected_everywhere(const parser *p, const std::string &text) {
    std::string out;
    for (std::uint64_t at = 0; at <= text.size(); ++at) {
        input in;
        input_init(&in, text.data(), text.size());
        std::uint64_t types[64];
        const std::uint64_t n = parse_expected(p, &in, at, types, 64);
        std::sort(types, types + n);
        if (n == 0)
            continue;
        out += std::to_string(at) + ":";
        for (std::uint64_t i = 0; i < n; ++i)
            out += (i ? "," : "") + std::to_string(types[i]);
        out += ";";
    }
    return out;
}

// The same parse with the parser's tables and without them (every rule memoised, no early
// failure, no shortcut), which must not differ, nor what either expects anywhere.
void expect_same_with_and_without_tables(const hand_grammar &g,
                                         const std::vector<std::string> &texts) {
    parser *p = g.build();
    ASSERT_NE(nullptr, p->memo);
    ASSERT_NE(nullptr, p->starts);
    for (const std::string &t : texts) {
        SCOPED_TRACE(t);
        const std::string fast = outcome(p, t) + " " + expected_everywhere(p, t);
        const std::uint8_t *memo = p->memo;
        const std::uint64_t *starts = p->starts;
        p->memo = nullptr;
        p->starts = nullptr;
        const std::string plain = outcome(p, t) + " " + expected_everywhere(p, t);
        p->memo = memo;
        p->starts = starts;
        EXPECT_EQ(plain, fast);
    }
    parser_delete(p);
}

std::uint64_t leaf_flags(const parser *p, std::uint64_t a) {
    return p->starts[a * peg_start_words + 5];
}

// WS <- B* (voiding), B <- [ \n] (voiding): a byte automaton and a run over it.
struct blanks {
    std::uint64_t ws, b;
};

blanks add_blanks(hand_grammar &g) {
    blanks r{g.add(MODE_VOID, 6, 1), g.add(MODE_VOID, 7, 2)};
    g.call(r.ws, 0, r.b, 0);
    g.accept(r.ws, 0);
    g.cls(r.b, 0, " \n", 1);
    g.accept(r.b, 1);
    return r;
}

} // namespace

TEST(GrammarAnalysis, MemoisesOneRuleOfEveryCycle) {
    struct row {
        const char *name;
        std::vector<std::vector<std::uint64_t>> calls; // callees of each automaton
        std::vector<std::uint8_t> memo;
    };
    const row rows[] = {
        // A single cycle needs one memoised rule: the one called from the fewest places.
        {"ring", {{1}, {2}, {0}, {0}}, {0, 1, 0, 0}},
        {"self call", {{0, 1}, {}}, {1, 0}},
        {"no cycle", {{1, 2}, {2}, {}}, {0, 0, 0}},
        // Two cycles through a hub: the hub alone is not the cheapest; both get cut.
        {"two loops", {{1, 2}, {0}, {0}}, {0, 1, 1}},
        // A call of a missing automaton keeps the safe path.
        {"missing callee", {{9}}, {1}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        hand_grammar g;
        for (std::size_t i = 0; i < r.calls.size(); ++i)
            g.add(MODE_TREE, i, 2);
        for (std::size_t i = 0; i < r.calls.size(); ++i) {
            for (std::uint64_t callee : r.calls[i])
                g.call(i, 0, callee, 1);
            g.ch(i, 0, 'x', 1);
            g.accept(i, 1);
        }
        parser *p = g.build();
        ASSERT_NE(nullptr, p->memo);
        EXPECT_EQ(r.memo, std::vector<std::uint8_t>(p->memo, p->memo + r.calls.size()));
        parser_delete(p);
    }
}

TEST(GrammarAnalysis, FindsByteStepsAndChains) {
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 2);
    blanks w = add_blanks(g);
    auto id = g.add(MODE_TREE, 2, 2);   // [a-z] [a-z0-9]* with voided bytes: a chain
    auto kw = g.add(MODE_VOID, 3, 5);   // 'if' !ID WS: a chain with a predicate step
    auto nid = g.add(MODE_NOT, 0, 2);   // !id
    auto kept = g.add(MODE_TREE, 4, 2); // [a-z]+ keeping its bytes: no chain
    auto alt = g.add(MODE_VOID, 5, 2);  // 'a' / 'b': two edges, a backtracking point
    g.call(s, 0, kw, 1);
    g.call(s, 0, id, 1);
    g.call(s, 0, kept, 1);
    g.call(s, 0, alt, 1);
    g.accept(s, 1);
    g.cls(id, 0, "a-z", 1, true);
    g.cls(id, 1, "a-z0-9", 1, true);
    g.accept(id, 1);
    g.ch(kw, 0, 'i', 1);
    g.ch(kw, 1, 'f', 2);
    g.call(kw, 2, nid, 3);
    g.call(kw, 3, w.ws, 4);
    g.accept(kw, 4);
    g.call(nid, 0, id, 1);
    g.accept(nid, 1);
    g.cls(kept, 0, "a-z", 1);
    g.cls(kept, 1, "a-z", 1);
    g.accept(kept, 1);
    g.ch(alt, 0, 'a', 1);
    g.ch(alt, 0, 'b', 1);
    g.accept(alt, 1);
    parser *p = g.build();
    ASSERT_NE(nullptr, p->starts);
    struct row {
        std::uint64_t automaton;
        std::uint64_t flags;
    };
    const row rows[] = {
        {w.b, peg_leaf_start | peg_leaf_byte | peg_leaf_chain},
        {w.ws, peg_leaf_chain | peg_leaf_skip},
        {id, peg_leaf_start | peg_leaf_chain},
        {kw, peg_leaf_start | peg_leaf_chain},
        {kept, peg_leaf_start},
        {alt, peg_leaf_start},
        {s, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.automaton);
        EXPECT_EQ(r.flags, leaf_flags(p, r.automaton));
    }
    // WS may match empty, so its calls never fail early; the keyword starts only with 'i'.
    EXPECT_EQ(1u, p->starts[w.ws * peg_start_words + 4]);
    EXPECT_EQ(0u, p->starts[kw * peg_start_words + 4]);
    EXPECT_EQ(std::uint64_t{1} << ('i' - 64), p->starts[kw * peg_start_words + 1]);
    parser_delete(p);
}

TEST(MatcherShortcuts, ChainsGiveTheirFullRunsResult) {
    // S <- (K / I / P)* (tree) with K <- 'if' !I WS (voiding), I <- :[a-z] :[a-z0-9]* WS
    // (pruning over T <- :[a-z] :[a-z0-9]* (tree)), P <- WS ';' WS 'x'? (voiding).
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 2);
    auto k = g.add(MODE_VOID, 1, 5);
    auto i = g.add(MODE_PRUNE, 2, 3);
    auto t = g.add(MODE_TREE, 3, 2);
    auto ni = g.add(MODE_NOT, 0, 2);
    auto pt = g.add(MODE_VOID, 4, 5);
    blanks w = add_blanks(g);
    g.call(s, 0, k, 0);
    g.call(s, 0, i, 0);
    g.call(s, 0, pt, 0);
    g.accept(s, 0);
    g.ch(k, 0, 'i', 1);
    g.ch(k, 1, 'f', 2);
    g.call(k, 2, ni, 3);
    g.call(k, 3, w.ws, 4);
    g.accept(k, 4);
    g.call(ni, 0, i, 1);
    g.accept(ni, 1);
    g.call(i, 0, t, 1);
    g.call(i, 1, w.ws, 2);
    g.accept(i, 2);
    g.cls(t, 0, "a-z", 1, true);
    g.cls(t, 1, "a-z0-9", 1, true);
    g.accept(t, 1);
    g.call(pt, 0, w.ws, 1);
    g.ch(pt, 1, ';', 2);
    g.call(pt, 2, w.ws, 3);
    g.accept(pt, 3);
    g.ch(pt, 3, 'x', 4);
    g.accept(pt, 4);
    {
        parser *p = g.build();
        ASSERT_TRUE(leaf_flags(p, k) & peg_leaf_chain);
        ASSERT_TRUE(leaf_flags(p, i) & peg_leaf_chain);
        ASSERT_TRUE(leaf_flags(p, pt) & peg_leaf_chain);
        EXPECT_EQ("(t0 (t3 \"ab\") (t3 \"iff\")) @11", outcome(p, "if ab ;xiff"));
        parser_delete(p);
    }
    expect_same_with_and_without_tables(g, {"", "if", "if ", "ifx", "if ab ;x iff", "if ab ;xiff",
                                            "ab  \n cd ;  x;", " ;", "a;y", "if1 ;;x", "i", "  \n",
                                            "ab\n;\nx\n if\n", "9", "if;"});
}

TEST(MatcherShortcuts, FailuresCarryTheTypesOfTheFullRun) {
    // S <- 'a' B 'c' / 'a' B B (tree), B <- [b] (voiding): the failure inside B carries B's
    // type, as the call would.
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 5);
    auto b = g.add(MODE_VOID, 5, 2);
    g.ch(s, 0, 'a', 1);
    g.call(s, 1, b, 2);
    g.ch(s, 2, 'c', 4);
    g.ch(s, 0, 'a', 3);
    g.call(s, 3, b, 2);
    g.call(s, 2, b, 4);
    g.accept(s, 4);
    g.cls(b, 0, "b", 1);
    g.accept(b, 1);
    expect_same_with_and_without_tables(g, {"abc", "abb", "ab", "a", "ax", "abx", ""});
    parser *p = g.build();
    EXPECT_EQ("(error t5 line=1 col=1 pos=1) type=5 @0", outcome(p, "ax"));
    parser_delete(p);

    // R <- C 'd'? (tree), C <- 'a' !N 'c'? (voiding), N <- 'b': a predicate that fails inside
    // a chain fails on behalf of the chain.
    hand_grammar h;
    auto r = h.add(MODE_TREE, 0, 3);
    auto c = h.add(MODE_VOID, 4, 4);
    auto n = h.add(MODE_NOT, 0, 2);
    h.call(r, 0, c, 1);
    h.accept(r, 1);
    h.ch(r, 1, 'd', 2);
    h.accept(r, 2);
    h.ch(c, 0, 'a', 1);
    h.call(c, 1, n, 2);
    h.accept(c, 2);
    h.ch(c, 2, 'c', 3);
    h.accept(c, 3);
    h.ch(n, 0, 'b', 1);
    h.accept(n, 1);
    expect_same_with_and_without_tables(h, {"ab", "ac", "acd", "a", "ad", "b", "", "acx"});
    parser *q = h.build();
    ASSERT_TRUE(leaf_flags(q, c) & peg_leaf_chain);
    EXPECT_EQ("(error t4 line=1 col=1 pos=1) type=4 @0", outcome(q, "ab"));
    parser_delete(q);
}

// What one parse expects at position at, sorted.
std::vector<std::uint64_t> expected_at(const parser *p, const std::string &text,
                                       std::uint64_t at) {
    input in;
    input_init(&in, text.data(), text.size());
    std::uint64_t types[64];
    const std::uint64_t n = parse_expected(p, &in, at, types, 64);
    std::vector<std::uint64_t> out(types, types + n);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(MatcherShortcuts, ExpectedSetsDoNotDependOnShortcutsOrMemoising) {
    // S <- N ';' (tree), N <- (':' ':')? I (tree), I <- [a-z] [a-z]* (tree; taken in one
    // pass): after '::' only I tested a byte, so N is not expected there, whether I runs in
    // full or in one pass.
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 3);
    auto n = g.add(MODE_TREE, 1, 4);
    auto i = g.add(MODE_TREE, 2, 2);
    g.call(s, 0, n, 1);
    g.ch(s, 1, ';', 2);
    g.accept(s, 2);
    g.ch(n, 0, ':', 1);
    g.ch(n, 1, ':', 2);
    g.call(n, 2, i, 3);
    g.call(n, 0, i, 3);
    g.accept(n, 3);
    g.cls(i, 0, "a-z", 1, true);
    g.cls(i, 1, "a-z", 1, true);
    g.accept(i, 1);
    {
        parser *p = g.build();
        ASSERT_TRUE(leaf_flags(p, i) & peg_leaf_chain);
        EXPECT_EQ(std::vector<std::uint64_t>{2}, expected_at(p, "::\\a;", 2));
        EXPECT_EQ((std::vector<std::uint64_t>{1}), expected_at(p, ":a;", 1)); // the second ':'
        parser_delete(p);
    }
    expect_same_with_and_without_tables(g, {"::\\a;", "::a;", "a;", ":a;", "::", ":", "", "ab",
                                            "::ab;x", ";"});

    // S <- A / B (tree), A <- 'x' !Y 'q' (tree), B <- 'x' !Y 'r' (tree), Y <- 'y': the
    // predicate fails for each caller at 1, also when its result is memoised.
    hand_grammar h;
    auto hs = h.add(MODE_TREE, 0, 2);
    auto a = h.add(MODE_TREE, 1, 4);
    auto b = h.add(MODE_TREE, 2, 4);
    auto y = h.add(MODE_NOT, 0, 2);
    h.call(hs, 0, a, 1);
    h.call(hs, 0, b, 1);
    h.accept(hs, 1);
    for (const auto &[rule, last] : {std::pair{a, 'q'}, std::pair{b, 'r'}}) {
        h.ch(rule, 0, 'x', 1);
        h.call(rule, 1, y, 2);
        h.ch(rule, 2, last, 3);
        h.accept(rule, 3);
    }
    h.ch(y, 0, 'y', 1);
    h.accept(y, 1);
    {
        parser *p = h.build();
        EXPECT_EQ((std::vector<std::uint64_t>{1, 2}), expected_at(p, "xy", 1));
        const std::uint8_t *memo = p->memo;
        const std::uint64_t *starts = p->starts;
        p->memo = nullptr; // every rule memoised: the second call of !Y is a memo hit
        p->starts = nullptr;
        EXPECT_EQ((std::vector<std::uint64_t>{1, 2}), expected_at(p, "xy", 1));
        p->memo = memo;
        p->starts = starts;
        parser_delete(p);
    }
    expect_same_with_and_without_tables(h, {"xy", "xq", "xr", "x", "xz", "", "y"});
}

TEST(ParseResult, EveryReleasePathFreesTheBlocksOnce) {
    // S <- A A (tree), A <- 'x' (tree): the result owns its node blocks; each way of
    // releasing the root gives every block back exactly once.
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 3);
    auto a = g.add(MODE_TREE, 1, 2);
    g.call(s, 0, a, 1);
    g.call(s, 1, a, 2);
    g.accept(s, 2);
    g.ch(a, 0, 'x', 1);
    g.accept(a, 1);
    const std::string text = "xx";
    using release_fn = void (*)(ast *);
    const release_fn ways[] = {
        [](ast *r) { ast_recursive_delete(r); },
        [](ast *r) { ast_delete(r); },
        [](ast *r) {
            ast_recursive_clear(r);
            ast_delete(r);
        },
        [](ast *r) {
            ast_tree_recursive_delete(ast_as_tree(r));
            ast_delete(r);
        },
        [](ast *r) {
            ast_tree_clear(ast_as_tree(r));
            ast_clear(r);
            ast_delete(r);
        },
        [](ast *r) {
            // Below a node built by hand, the result goes as a whole with it.
            vector *kids = vector_new(1);
            ASSERT_TRUE(vector_add(kids, r));
            ast_recursive_delete(
                ast_new(AST_TREE, reinterpret_cast<std::uint64_t>(ast_tree_new(9, kids, 0, 2))));
        },
    };
    for (std::size_t i = 0; i < sizeof ways / sizeof ways[0]; ++i) {
        SCOPED_TRACE(i);
        alloc_count count;
        parser *p = g.build();
        const std::int64_t grammar = count.live();
        input in;
        input_init(&in, text.data(), text.size());
        ast *r = parse(p, &in);
        ASSERT_EQ(AST_TREE, r->kind);
        ASSERT_EQ(2u, ast_as_tree(r)->children->count);
        ways[i](r);
        EXPECT_EQ(grammar, count.live());
        parser_delete(p);
        EXPECT_EQ(0, count.live());
    }
}
