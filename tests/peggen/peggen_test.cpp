// Tests of the grammar generator: rejected grammars, automaton shapes, generated text, and
// small grammars built into engine parsers and run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "grammars/basic_parser.hpp"
#include "peg/ast.hpp"
#include "peg/edge.hpp"
#include "peg/fa.hpp"
#include "peg/grammar_analysis.hpp"
#include "peg/input.hpp"
#include "peg/memory.hpp"
#include "peg/parser.hpp"
#include "peg/set.hpp"
#include "peg/state.hpp"
#include "peg/trans.hpp"
#include "peggen.hpp"
#include "support/tree_text.hpp"

namespace {

struct compiled {
    bool ok;
    peggen_grammar grammar;
    std::vector<std::string> diagnostics;
};

compiled compile(const std::string &text) {
    compiled c{false, {}, {}};
    c.ok = peggen_compile(text, "t.peg", "t", &c.grammar, &c.diagnostics);
    return c;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string s;
    for (const std::string &l : lines)
        s += l + "\n";
    return s;
}

// Builds an engine parser straight from the compiled model, the way the generated constructor
// does from its tables.
parser *build(const peggen_grammar &g) {
    auto *automata = static_cast<fa *>(peg_calloc(g.automata.size(), sizeof(fa)));
    for (std::size_t a = 0; a < g.automata.size(); ++a) {
        const peggen_automaton &ga = g.automata[a];
        auto *states = static_cast<state *>(peg_calloc(ga.states.size(), sizeof(state)));
        for (std::size_t s = 0; s < ga.states.size(); ++s) {
            const peggen_state &gs = ga.states[s];
            auto *edges = static_cast<edge *>(peg_calloc(gs.edges.size() + 1, sizeof(edge)));
            for (std::size_t e = 0; e < gs.edges.size(); ++e) {
                const peggen_edge &ge = gs.edges[e];
                std::uint64_t data = ge.data;
                if (ge.kind == PEGGEN_TRANS_CLASS) {
                    const peggen_class &c = g.classes[ge.data];
                    auto copy = [](const std::vector<unsigned char> &v) {
                        auto *p = static_cast<char *>(peg_calloc(v.size() + 1, 1));
                        if (!v.empty())
                            std::memcpy(p, v.data(), v.size());
                        return p;
                    };
                    data = reinterpret_cast<std::uintptr_t>(set_new(copy(c.singles),
                                                                    c.singles.size(), copy(c.mins),
                                                                    copy(c.maxs), c.mins.size()));
                }
                trans t;
                trans_init(&t, ge.kind, data);
                edge_init(&edges[e], t, ge.target, ge.voided);
            }
            state_init(&states[s], edges, gs.edges.size(), gs.match ? 1 : 0);
        }
        fa_init(&automata[a], ga.mode, ga.type, states, ga.states.size());
    }
    return parser_new(0, automata, g.automata.size(), g.eof_check);
}

struct run_result {
    std::string tree;
    std::uint64_t end;
};

// Compiles the grammar, parses text with it and renders the result.
run_result run(const std::string &grammar, const std::string &text) {
    compiled c = compile(grammar);
    EXPECT_TRUE(c.ok) << joined(c.diagnostics);
    if (!c.ok)
        return {"<rejected>", 0};
    parser *p = build(c.grammar);
    std::vector<const char *> names;
    for (const std::string &n : c.grammar.rule_names)
        names.push_back(n.c_str());
    input in;
    input_init(&in, text.data(), text.size());
    ast *root = parse(p, &in);
    run_result r{tree_text(root, names.data(), names.size(), text), in.pos};
    ast_recursive_delete(root);
    parser_delete(p);
    return r;
}

//=== rejected grammars ===//

struct reject_row {
    const char *grammar;
    const char *message;
};

TEST(PeggenReject, ReportsLocationAndReason) {
    const reject_row rows[] = {
        {"%eof_check on\nA <- 'a' Foo (tree)\n", "t.peg:2:10: 'Foo' is not defined"},
        {"%eof_check on\nA <- 'a' (tree)\nA <- 'b' (tree)\n",
         "t.peg:3:1: 'A' is already defined at line 2"},
        {"%eof_check on\nA <- 'a'\nB <- 'b' (tree)\n",
         "t.peg:3:1: expected a mode (tree), (pruning) or (voiding) before the next rule"},
        {"%eof_check on\nA <- 'a' / (tree)\n", "t.peg:2:12: empty alternative"},
        {"%eof_check on\nA <- ('a' (tree)\n", "t.peg:2:11: expected ')' to close the group "
                                              "opened at 2:6"},
        {"%eof_check on\nA <- 'ab\n(tree)\n", "t.peg:2:9: unterminated quoted text"},
        {"%eof_check on\nA <- 'a\\q' (tree)\n", "t.peg:2:8: unknown escape '\\q'"},
        {"%eof_check on\nA <- '\\x4' (tree)\n",
         "t.peg:2:7: escape '\\x' needs two hexadecimal digits"},
        {"%eof_check on\nA <- [\\x20-\\xFF] (tree)\n",
         "t.peg:2:7: range '\\x20-\\xFF' is empty (bytes compare as signed values)"},
        {"%eof_check on\nA <- [z-a] (tree)\n",
         "t.peg:2:7: range 'z-a' is empty (bytes compare as signed values)"},
        {"%eof_check on\nA <- [] (tree)\n", "t.peg:2:6: empty character class"},
        {"%eof_check on\nA <- 'a'* * (tree)\n",
         "t.peg:2:11: a repetition or option cannot be repeated again; use a group"},
        {"%eof_check on\nA <- \"a\" (tree)\n",
         "t.peg:2:6: texts are quoted with ' (write \\x22 for a double quote)"},
        // An unknown word in parentheses is a group calling a rule, so the rule runs on.
        {"%eof_check on\nA <- 'a' (leaf)\n",
         "t.peg:3:1: rule 'A' ends without a mode (tree), (pruning) or (voiding)"},
        {"%eof_check on\nA <- 'a' ) (tree)\n", "t.peg:2:10: unexpected ')'"},
        {"%eof_check on\nA <- 'a'", "t.peg:2:9: rule 'A' ends without a mode (tree), (pruning) "
                                    "or (voiding)"},
        {"A <- 'a' (tree)\n", "t.peg:1:1: missing '%eof_check on' or '%eof_check off'"},
        {"%eof_check maybe\nA <- 'a' (tree)\n", "t.peg:1:12: '%eof_check' takes 'on' or 'off'"},
        {"%eof_check on\n", "t.peg:2:1: the grammar has no rules"},
        {"%eof_check on\ntree <- 'a' (tree)\n",
         "t.peg:2:1: 'tree' names a rule mode and cannot name a rule"},
        {"%eof_check on\nA <- voiding (tree)\nvoiding <- 'a' (tree)\n",
         "t.peg:3:1: 'voiding' names a rule mode and cannot name a rule"},
        {"%eof_check on\nfoo <- 'a' FOO (tree)\nFOO <- 'b' (tree)\n",
         "t.peg:3:1: 'FOO' and 'foo' give the same node-type name T_FOO"},
        // Left recursion: direct, indirect, through a nullable prefix, through a predicate.
        {"%eof_check on\nA <- A 'a' / 'b' (tree)\n", "t.peg:2:1: left recursion: 'A' -> 'A'"},
        {"%eof_check on\nA <- B 'x' (tree)\nB <- C / 'b' (tree)\nC <- A 'c' (tree)\n",
         "t.peg:2:1: left recursion: 'A' -> 'B' -> 'C' -> 'A'"},
        {"%eof_check on\nA <- S? 'x'* A 'a' / 'b' (tree)\nS <- ' '* (voiding)\n",
         "t.peg:2:1: left recursion: 'A' -> 'A'"},
        {"%eof_check on\nA <- 'a' B (tree)\nB <- S B 'b' / 'c' (tree)\nS <- ' '* (voiding)\n",
         "t.peg:3:1: left recursion: 'B' -> 'B'"},
        {"%eof_check on\nA <- !A 'a' (tree)\n", "t.peg:2:1: left recursion: 'A' -> 'A'"},
    };
    for (const reject_row &r : rows) {
        SCOPED_TRACE(r.grammar);
        compiled c = compile(r.grammar);
        EXPECT_FALSE(c.ok);
        ASSERT_FALSE(c.diagnostics.empty());
        EXPECT_EQ(c.diagnostics.front(), r.message) << joined(c.diagnostics);
    }
}

TEST(PeggenReject, ReportsEveryUndefinedRule) {
    compiled c = compile("%eof_check off\nA <- B C (tree)\nD <- E (tree)\n");
    EXPECT_FALSE(c.ok);
    EXPECT_EQ(joined(c.diagnostics), "t.peg:2:6: 'B' is not defined\n"
                                     "t.peg:2:8: 'C' is not defined\n"
                                     "t.peg:3:6: 'E' is not defined\n");
}

TEST(PeggenReject, DeepNestingIsRefusedNotOverflowed) {
    std::string text = "%eof_check on\nA <- " + std::string(100000, '(') + "'a'" +
                       std::string(100000, ')') + " (tree)\n";
    compiled c = compile(text);
    EXPECT_FALSE(c.ok);
    ASSERT_FALSE(c.diagnostics.empty());
    EXPECT_NE(c.diagnostics.front().find("nested too deeply"), std::string::npos);
}

TEST(PeggenWarn, RepetitionOfNullableItem) {
    const char *rows[] = {
        "%eof_check on\nA <- ('a'?)* (tree)\n",
        "%eof_check on\nA <- (S 'b'?)+ (tree)\nS <- ' '* (voiding)\n",
        "%eof_check on\nA <- (!'a')* 'b' (tree)\n",
    };
    for (const char *g : rows) {
        SCOPED_TRACE(g);
        compiled c = compile(g);
        EXPECT_TRUE(c.ok);
        ASSERT_EQ(c.diagnostics.size(), 1u) << joined(c.diagnostics);
        EXPECT_NE(c.diagnostics[0].find(": warning: the repeated item can match empty text"),
                  std::string::npos)
            << c.diagnostics[0];
    }
    compiled quiet = compile("%eof_check on\nA <- (S 'b')* (tree)\nS <- ' '* (voiding)\n");
    EXPECT_TRUE(quiet.ok);
    EXPECT_TRUE(quiet.diagnostics.empty()) << joined(quiet.diagnostics);
}

//=== automaton shapes ===//

struct shape_row {
    const char *body;
    const char *automaton;
};

TEST(PeggenShape, EpsilonFreeAutomataKeepPriorityOrder) {
    const shape_row rows[] = {
        // The line-break rule: three states, ordered voided character edges.
        {":'\\r' :'\\n' / :'\\n' / :'\\r'",
         "0: :'\\x0D'>1 :'\\x0A'>2 :'\\x0D'>2 | 1: :'\\x0A'>2 | 2*:"},
        // Into the repeated or optional item before past it; accepting where the rule may end.
        {"'a'* 'b'", "0: 'a'>0 'b'>1 | 1*:"},
        {"'a'? 'b'", "0: 'a'>1 'b'>2 | 1: 'b'>2 | 2*:"},
        {"'a'+", "0: 'a'>1 | 1*: 'a'>1"},
        {"('a' / 'b')* 'c'", "0: 'a'>0 'b'>0 'c'>1 | 1*:"},
        {"[a-z_] .", "0: [a-z_]>1 | 1: .>2 | 2*:"},
        // A body that can match empty has an accepting start state.
        {"'x'*", "0*: 'x'>0"},
        {"B? C?", "0*: @B>1 @C>2 | 1*: @C>2 | 2*:"},
        // A voided group voids every edge inside it, calls included.
        {":('a' B)* 'c'", "0: :'a'>1 'c'>2 | 1: :@B>0 | 2*:"},
        // Predicates are calls of their own automata.
        {"!B . / 'q'", "0: !3>1 'q'>2 | 1: .>2 | 2*:"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.body);
        compiled c = compile(std::string("%eof_check on\nA <- ") + r.body +
                             " (tree)\nB <- 'b' (tree)\nC <- 'c' (tree)\n");
        ASSERT_TRUE(c.ok) << joined(c.diagnostics);
        EXPECT_EQ(peggen_dump_automaton(c.grammar, 0), r.automaton);
    }
}

TEST(PeggenShape, ModesTypesAndPredicateNumbering) {
    // Predicates follow the named rules in the order the bodies use them; the loop copy of
    // x+ is numbered before its leading copy, nested predicates after the enclosing one.
    compiled c = compile("%eof_check off\n"
                         "A <- (!B .)+ (pruning)\n"
                         "B <- !(C / !'z') 'b' (voiding)\n"
                         "C <- 'c' (tree)\n");
    ASSERT_TRUE(c.ok) << joined(c.diagnostics);
    const peggen_grammar &g = c.grammar;
    EXPECT_FALSE(g.eof_check);
    ASSERT_EQ(g.automata.size(), 7u);
    EXPECT_EQ(g.rule_names, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(g.automata[0].mode, PEGGEN_MODE_PRUNE);
    EXPECT_EQ(g.automata[1].mode, PEGGEN_MODE_VOID);
    EXPECT_EQ(g.automata[2].mode, PEGGEN_MODE_TREE);
    for (std::uint64_t i = 0; i < 3; ++i)
        EXPECT_EQ(g.automata[i].type, i);
    for (std::uint64_t i = 3; i < 7; ++i) {
        EXPECT_EQ(g.automata[i].mode, PEGGEN_MODE_NOT);
        EXPECT_EQ(g.automata[i].type, 0u);
    }
    EXPECT_EQ(peggen_dump_automaton(g, 0), "0: !4>1 | 1: .>2 | 2*: !3>1");
    EXPECT_EQ(peggen_dump_automaton(g, 1), "0: !5>1 | 1: 'b'>2 | 2*:");
    EXPECT_EQ(peggen_dump_automaton(g, 5), "0: @C>1 !6>1 | 1*:");
    EXPECT_EQ(peggen_dump_automaton(g, 6), "0: 'z'>1 | 1*:");
}

//=== generated text ===//

TEST(PeggenEmit, HeaderAndSourceAreDeterministic) {
    const std::string grammar =
        "%eof_check on\nstruct_def <- 'a' [b-c] (tree)\nID <- . (voiding)\n";
    compiled a = compile(grammar);
    compiled b = compile(grammar);
    ASSERT_TRUE(a.ok && b.ok);
    a.grammar.name = b.grammar.name = "idl";
    const std::string ha = peggen_emit_header(a.grammar, "grammars/idl.peg");
    EXPECT_EQ(ha, peggen_emit_header(b.grammar, "grammars/idl.peg"));
    EXPECT_EQ(peggen_emit_source(a.grammar, "grammars/idl.peg"),
              peggen_emit_source(b.grammar, "grammars/idl.peg"));
    EXPECT_EQ(ha.rfind("// Generated by peggen from grammars/idl.peg. Do not edit.\n", 0), 0u);
    EXPECT_NE(ha.find("[[nodiscard]] parser* idl_parser_new();"), std::string::npos);
    EXPECT_NE(ha.find("IDL_STRUCT_DEF = 0,\n    IDL_ID = 1,\n"), std::string::npos);
    EXPECT_NE(ha.find("idl_type_count = 2;"), std::string::npos);
    EXPECT_EQ(peggen_enumerator("non_directive", "NonDirectives"), "NON_DIRECTIVE_NONDIRECTIVES");
}

// The constructor generated at build time from basic.peg builds exactly the automata the
// generator computed for the same text.
TEST(PeggenEmit, GeneratedConstructorMatchesModel) {
    parser *p = basic_parser_new();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->automaton_count, basic_automaton_count);
    EXPECT_TRUE(p->eof_check);
    EXPECT_STREQ(basic_type_strings[BASIC_WORD], "Word");
    EXPECT_EQ(p->automata[BASIC_LIST].mode, MODE_TREE);
    EXPECT_EQ(p->automata[BASIC_LIST].type, BASIC_LIST);
    // Every class edge points at a class with the written members.
    bool saw_class = false;
    for (std::uint64_t a = 0; a < p->automaton_count; ++a)
        for (std::uint64_t s = 0; s < p->automata[a].state_count; ++s) {
            const state &st = p->automata[a].states[s];
            for (std::uint64_t e = 0; e < st.edge_count; ++e) {
                EXPECT_LT(st.edges[e].target, p->automata[a].state_count);
                if (st.edges[e].trans.kind == TRANS_CLASS) {
                    const set *c = reinterpret_cast<const set *>(st.edges[e].trans.data);
                    saw_class = true;
                    EXPECT_TRUE(set_within_set(c, 'm'));
                    EXPECT_FALSE(set_within_set(c, ' '));
                }
            }
        }
    EXPECT_TRUE(saw_class);
    input in;
    const char *text = "ab, cd,e";
    input_init(&in, text, std::strlen(text));
    ast *root = parse(p, &in);
    EXPECT_EQ(tree_text(root, basic_type_strings, basic_type_count, text),
              "(List (Word \"ab\") (Word \"cd\") (Word \"e\"))");
    ast_recursive_delete(root);
    parser_delete(p);
}

// Allocation counter for the construction test below.
std::int64_t g_blocks = 0;

void *counting_malloc(std::size_t n) {
    ++g_blocks;
    return std::malloc(n);
}

void counting_free(void *p) {
    if (p)
        --g_blocks;
    std::free(p);
}

void *counting_calloc(std::size_t count, std::size_t size) {
    ++g_blocks;
    return std::calloc(count, size);
}

void *counting_realloc(void *p, std::size_t n) {
    if (!p)
        ++g_blocks;
    return std::realloc(p, n);
}

// The generated grammar is static data with its analysis done: a constructor call costs one
// record, and the tables it hands the engine are the ones the generator computed.
TEST(PeggenEmit, GeneratedConstructorMakesOneRecord) {
    peg_set_mem_func(counting_malloc, counting_free, counting_calloc, counting_realloc);
    g_blocks = 0;
    parser *p = basic_parser_new();
    parser *q = basic_parser_new();
    const std::int64_t made = g_blocks;
    ASSERT_NE(p, nullptr);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(p->automata, q->automata); // shared, not rebuilt
    parser_delete(p);
    parser_delete(q);
    const std::int64_t left = g_blocks;
    peg_set_mem_func(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(2, made);
    EXPECT_EQ(0, left);
}

TEST(PeggenEmit, EmittedTablesAreTheAnalysis) {
    const std::string grammar = "%eof_check on\nS <- W (',' W)* (tree)\nW <- :[a-z]+ WS (tree)\n"
                                "WS <- ' '* (voiding)\n";
    compiled c = compile(grammar);
    ASSERT_TRUE(c.ok) << joined(c.diagnostics);
    std::vector<std::uint8_t> memo;
    std::vector<std::uint64_t> starts;
    ASSERT_TRUE(peggen_analyse(c.grammar, &memo, &starts));
    ASSERT_EQ(memo.size(), c.grammar.automata.size());
    ASSERT_EQ(starts.size(), c.grammar.automata.size() * peg_start_words);
    // The engine's run-time analysis over the same automata agrees.
    parser *p = build(c.grammar);
    EXPECT_EQ(memo, std::vector<std::uint8_t>(p->memo, p->memo + memo.size()));
    EXPECT_EQ(starts, std::vector<std::uint64_t>(p->starts, p->starts + starts.size()));
    parser_delete(p);
    // And the source holds them: W starts with a lower-case letter only.
    const std::string src = peggen_emit_source(c.grammar, "t.peg");
    EXPECT_NE(src.find("const std::uint64_t start_table[]"), std::string::npos);
    EXPECT_NE(src.find("parser_new_static(0, automata, 3, true, memo_flags, start_table)"),
              std::string::npos);
    EXPECT_EQ(0x07FFFFFE00000000u, starts[1 * peg_start_words + 1]);
    EXPECT_EQ(0u, starts[1 * peg_start_words + 4]);
}

//=== small grammars run ===//

struct run_row {
    const char *text;
    const char *tree;
    std::uint64_t end;
};

void check_rows(const char *grammar, const std::vector<run_row> &rows) {
    for (const run_row &r : rows) {
        SCOPED_TRACE(r.text);
        run_result res = run(grammar, r.text);
        EXPECT_EQ(res.tree, r.tree);
        EXPECT_EQ(res.end, r.end);
    }
}

TEST(PeggenRun, RepetitionGivesBackForTheRestOfTheRule) {
    check_rows(
        "%eof_check on\nS <- 'a'* 'a' (tree)\n",
        {{"aa", "(S \"aa\")", 2}, {"a", "(S \"a\")", 1}, {"", "(error S line=1 col=0 pos=0)", 0}});
    check_rows("%eof_check on\nS <- ('a' / 'ab') 'c' (tree)\n",
               {{"ac", "(S \"ac\")", 2}, {"abc", "(S \"abc\")", 3}});
}

TEST(PeggenRun, OrderedChoiceTakesTheFirstAlternativeThatLetsTheRuleEnd) {
    check_rows("%eof_check off\nS <- W / N (pruning)\nW <- :[a-z]+ (tree)\nN <- [0-9]+ (tree)\n",
               {{"abc1", "(W \"abc\")", 3},
                {"12a", "(N \"12\")", 2},
                {"-", "(error S line=1 col=0 pos=0)", 0}});
}

TEST(PeggenRun, VoidedItemsLeaveNoChild) {
    check_rows("%eof_check on\nS <- :'(' X :(',' X)* :')' (tree)\nX <- [a-z] (tree)\n",
               {{"(a,b)", "(S (X \"a\"))", 5}, {"(a)", "(S (X \"a\"))", 3}});
    check_rows("%eof_check on\nS <- '(' X (',' X)* ')' (tree)\nX <- [a-z] (tree)\n",
               {{"(a,b)", "(S \"(\" (X \"a\") \",\" (X \"b\") \")\")", 5}});
}

TEST(PeggenRun, PredicatesConsumeNothing) {
    check_rows("%eof_check on\nS <- (!'*/' .)* '*/' (tree)\n",
               {{"ab*/", "(S \"ab*/\")", 4},
                {"*/", "(S \"*/\")", 2},
                {"a*", "(error S line=1 col=2 pos=2)", 0}});
    check_rows("%eof_check on\nS <- K !I (voiding)\nK <- 'if' (voiding)\nI <- [a-z] (voiding)\n",
               {{"if", "<empty>", 2}, {"ifx", "(error S line=1 col=2 pos=2)", 0}});
}

} // namespace
