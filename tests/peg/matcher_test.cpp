// Matcher behaviour: tree shapes, backtracking, predicates, memo, errors, positions, limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alloc_count.hpp"
#include "base/glog.hpp"
#include "hand_grammar.hpp"
#include "peg/ast.hpp"
#include "peg/fa.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "peg/trans.hpp"
#include "peg/vector.hpp"
#include "support/log_capture.hpp"

namespace {

// S <- 'a'* 'a' (tree): the repetition must give back one 'a' for the tail.
hand_grammar star_then_a() {
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 2);
    g.ch(s, 0, 'a', 0);
    g.ch(s, 0, 'a', 1);
    g.accept(s, 1);
    return g;
}

struct error_info {
    bool is_error;
    std::uint64_t pos, line, column, type;
};

error_info parse_error_of(const hand_grammar &g, const std::string &text) {
    parser *p = g.build();
    input in;
    input_init(&in, text.data(), text.size());
    ast *r = parse(p, &in);
    error_info out{false, 0, 0, 0, 0};
    if (const ast_error *e = ast_as_error(r))
        out = {true, e->pos, e->line, e->column, e->type};
    ast_recursive_delete(r);
    parser_delete(p);
    return out;
}

} // namespace

TEST(Matcher, RepetitionGivesBackForTail) {
    struct row {
        const char *in;
        bool ok;
        const char *tree;
    };
    const row rows[] = {
        {"aa", true, "(t0 \"aa\")"},
        {"a", true, "(t0 \"a\")"},
        {"aaaaa", true, "(t0 \"aaaaa\")"},
        {"", false, "(error t0 line=1 col=0 pos=0)"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.in);
        run_result res = run(star_then_a(), r.in);
        EXPECT_EQ(r.ok, res.ok);
        EXPECT_EQ(r.tree, res.tree);
    }
}

TEST(Matcher, ChildOrderAndVoidedEdges) {
    // S has state 0 -a-> 1 -b-> 2 (accepting); the second edge voided in the second grammar.
    for (bool voided : {false, true}) {
        hand_grammar g;
        auto s = g.add(MODE_TREE, 0, 3);
        g.ch(s, 0, 'a', 1);
        g.ch(s, 1, 'b', 2, voided);
        g.accept(s, 2);
        parser *p = g.build();
        input in;
        input_init(&in, "ab", 2);
        ast *r = parse(p, &in);
        const ast_tree *t = ast_as_tree(r);
        ASSERT_NE(nullptr, t);
        EXPECT_EQ(0u, t->start);
        EXPECT_EQ(2u, t->end);
        ASSERT_EQ(voided ? 1u : 2u, t->children->count);
        EXPECT_EQ(static_cast<std::uint64_t>('a'),
                  static_cast<ast *>(vector_get(t->children, 0))->data);
        if (!voided) {
            EXPECT_EQ(static_cast<std::uint64_t>('b'),
                      static_cast<ast *>(vector_get(t->children, 1))->data);
        }
        ast_recursive_delete(r);
        parser_delete(p);
    }
}

TEST(Matcher, ModesShapeTheResult) {
    // S (tree) calls R three times over "xyz" (or once); R has the mode under test and keeps
    // one char; Q is R with two chars.
    struct row {
        std::int32_t mode;
        const char *in;
        bool two_chars;
        const char *tree;
    };
    const row rows[] = {
        {MODE_TREE, "x", false, "(S (R \"x\"))"},
        {MODE_PRUNE, "x", false, "(S \"x\")"},
        {MODE_PRUNE, "xy", true, "(S (R \"xy\"))"},
        {MODE_VOID, "xy", true, "(S \"xy\")"}, // childless: the text shows
        {MODE_AND, "x", false, "(S \"x\")"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.tree);
        hand_grammar g;
        auto s = g.add(MODE_TREE, 0, 2);
        auto rule = g.add(r.mode, 1, 3);
        g.call(s, 0, rule, 1);
        if (r.mode == MODE_AND)
            g.any(s, 1, 1, true); // consume what the predicate looked at, voided
        g.accept(s, 1);
        g.cls(rule, 0, "a-z", 1);
        g.accept(rule, 1);
        if (r.two_chars) {
            g.cls(rule, 1, "a-z", 2);
            g.accept(rule, 2);
        }
        run_result res = run(g, r.in, {"S", "R"});
        EXPECT_TRUE(res.ok);
        EXPECT_EQ(r.tree, res.tree);
    }
}

TEST(Matcher, PruneStartResult) {
    // Start automaton of mode prune: one child is returned itself, none gives an empty node.
    struct row {
        const char *in;
        bool voided;
        const char *tree;
    };
    const row rows[] = {
        {"x", false, "\"x\""},
        {"xyz", false, "(P \"xyz\")"},
        {"xyz", true, "<empty>"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.tree);
        hand_grammar g;
        auto p = g.add(MODE_PRUNE, 0, 1);
        g.cls(p, 0, "a-z", 0, r.voided);
        g.accept(p, 0);
        run_result res = run(g, r.in, {"P"});
        EXPECT_TRUE(res.ok);
        EXPECT_EQ(r.tree, res.tree);
    }
}

TEST(Matcher, OrderedChoiceTakesFirstSuccess) {
    // S <- A / B where A <- 'ab' (tree), B <- 'a' (tree); with eof off "ab" picks A, "ac" B.
    hand_grammar g;
    g.eof_check = false;
    auto s = g.add(MODE_TREE, 0, 2);
    auto a = g.add(MODE_TREE, 1, 3);
    auto b = g.add(MODE_TREE, 2, 2);
    g.call(s, 0, a, 1);
    g.call(s, 0, b, 1);
    g.accept(s, 1);
    g.accept(a, g.text(a, 0, "ab"));
    g.accept(b, g.text(b, 0, "a"));
    struct row {
        const char *in;
        const char *tree;
        std::uint64_t end;
    };
    const row rows[] = {{"ab", "(S (A \"ab\"))", 2}, {"ac", "(S (B \"a\"))", 1}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.in);
        run_result res = run(g, r.in, {"S", "A", "B"});
        EXPECT_EQ(r.tree, res.tree);
        EXPECT_EQ(r.end, res.end);
    }
}

TEST(Matcher, LineAndColumnCounting) {
    struct row {
        const char *in;
        std::uint64_t line, column;
        bool last_cr;
    };
    const row rows[] = {
        {"a\r\nb", 2, 1, false}, {"\r", 2, 0, true},        {"\n", 2, 0, false},
        {"\n\r", 3, 0, true},    {"ab\n\ncd", 3, 2, false}, {"", 1, 0, false},
    };
    hand_grammar g;
    auto s = g.add(MODE_VOID, 0, 1);
    g.any(s, 0, 0);
    g.accept(s, 0);
    parser *p = g.build();
    for (const row &r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::string(r.in)));
        input in;
        input_init(&in, r.in, std::char_traits<char>::length(r.in));
        inner_parser ip;
        ASSERT_TRUE(inner_parser_init(&ip, p, &in));
        EXPECT_NE(nullptr, match_automaton(&ip, 0));
        EXPECT_EQ(in.size, in.pos);
        EXPECT_EQ(r.line, ip.line);
        EXPECT_EQ(r.column, ip.column);
        EXPECT_EQ(r.last_cr, ip.last_cr);
        inner_parser_clear(&ip);
    }
    parser_delete(p);
}

TEST(Matcher, BacktrackingRestoresLineAndColumn) {
    // S <- .* '\n' (void), eof off: the repetition runs to the end, then gives bytes back
    // until the last line feed; line and column must be those of that point.
    hand_grammar g;
    g.eof_check = false;
    auto s = g.add(MODE_VOID, 0, 2);
    g.any(s, 0, 0);
    g.ch(s, 0, '\n', 1);
    g.accept(s, 1);
    parser *p = g.build();
    struct row {
        const char *in;
        std::uint64_t end, line, column;
    };
    const row rows[] = {
        {"ab\r\ncd\nef", 7, 3, 0},
        {"a\rb\nc", 4, 3, 0},
        {"x\r\n", 3, 2, 0}, // the line feed after a carriage return starts no new line
        {"\n", 1, 2, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::string(r.in)));
        input in;
        input_init(&in, r.in, std::char_traits<char>::length(r.in));
        inner_parser ip;
        ASSERT_TRUE(inner_parser_init(&ip, p, &in));
        EXPECT_NE(nullptr, match_automaton(&ip, 0));
        EXPECT_EQ(r.end, in.pos);
        EXPECT_EQ(r.line, ip.line);
        EXPECT_EQ(r.column, ip.column);
        inner_parser_clear(&ip);
    }
    parser_delete(p);
}

TEST(Matcher, FarthestFailureIsReported) {
    // S (type 0) calls L (type 7) which spells "abc"; the error comes from L's char edge.
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 2);
    auto l = g.add(MODE_TREE, 7, 4);
    g.call(s, 0, l, 1);
    g.accept(s, 1);
    g.accept(l, g.text(l, 0, "abc"));
    struct row {
        const char *in;
        std::uint64_t pos, line, column, type;
    };
    const row rows[] = {
        {"abX", 2, 1, 2, 7},
        {"a\nbX", 1, 1, 1, 7}, // "\n" is not 'b': fails at pos 1
        {"abcd", 0, 1, 0, 0},  // L matched without any failure: the check reports pos 0
        {"", 0, 1, 0, 0},      // no failure beyond position 0: the start type stays
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.in);
        error_info e = parse_error_of(g, r.in);
        ASSERT_TRUE(e.is_error);
        EXPECT_EQ(r.pos, e.pos);
        EXPECT_EQ(r.line, e.line);
        EXPECT_EQ(r.column, e.column);
        EXPECT_EQ(r.type, e.type);
    }
}

TEST(Matcher, FirstFailureAtFarthestPositionWins) {
    // S <- A / B with A <- 'abx', B <- 'aby': both fail at position 2; A's failure is kept.
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 2);
    auto a = g.add(MODE_TREE, 1, 4);
    auto b = g.add(MODE_TREE, 2, 4);
    g.call(s, 0, a, 1);
    g.call(s, 0, b, 1);
    g.accept(s, 1);
    g.accept(a, g.text(a, 0, "abx"));
    g.accept(b, g.text(b, 0, "aby"));
    error_info e = parse_error_of(g, "abz");
    ASSERT_TRUE(e.is_error);
    EXPECT_EQ(2u, e.pos);
    EXPECT_EQ(1u, e.type);
}

TEST(Matcher, PredicatesRestoreAndRecord) {
    // S <- 'a' !N . (tree) with N <- 'b'; and S <- &A 'a' . with A <- 'a'.
    hand_grammar not_g;
    auto s = not_g.add(MODE_TREE, 3, 4);
    auto n = not_g.add(MODE_NOT, 0, 2);
    not_g.ch(s, 0, 'a', 1);
    not_g.call(s, 1, n, 2);
    not_g.any(s, 2, 3);
    not_g.accept(s, 3);
    not_g.ch(n, 0, 'b', 1);
    not_g.accept(n, 1);

    EXPECT_EQ("(S \"ac\")", run(not_g, "ac", {"N", "t1", "t2", "S"}).tree);
    // The inner 'b' matched, so the predicate fails at position 1 with the enclosing type.
    error_info e = parse_error_of(not_g, "ab");
    ASSERT_TRUE(e.is_error);
    EXPECT_EQ(1u, e.pos);
    EXPECT_EQ(1u, e.column);
    EXPECT_EQ(3u, e.type);

    hand_grammar and_g;
    auto s2 = and_g.add(MODE_TREE, 0, 3);
    auto a2 = and_g.add(MODE_AND, 0, 2);
    and_g.call(s2, 0, a2, 1);
    and_g.ch(s2, 1, 'a', 2);
    and_g.any(s2, 2, 2);
    and_g.accept(s2, 2);
    and_g.ch(a2, 0, 'a', 1);
    and_g.accept(a2, 1);
    EXPECT_EQ("(S \"abc\")", run(and_g, "abc", {"S"}).tree);
    EXPECT_FALSE(run(and_g, "bbc", {"S"}).ok);
}

TEST(Matcher, MemoHitReturnsSameNodeWithoutNewFailure) {
    // A <- 'x' 'y' (tree) fails on "xz" at 1 and succeeds on "xy".
    hand_grammar g;
    auto a = g.add(MODE_TREE, 0, 3);
    g.accept(a, g.text(a, 0, "xy"));
    parser *p = g.build();
    for (const char *text : {"xy", "xz"}) {
        SCOPED_TRACE(text);
        input in;
        input_init(&in, text, 2);
        inner_parser ip;
        ASSERT_TRUE(inner_parser_init(&ip, p, &in));
        ast *first = match_automaton(&ip, 0);
        std::uint64_t end = in.pos, line = ip.line, column = ip.column;
        ip.error_pos = 0; // forget the failure so that a new one would show
        restore_pos(&ip, 0, 1, 0, false);
        ast *second = match_automaton(&ip, 0);
        EXPECT_EQ(first, second);
        EXPECT_EQ(end, in.pos);
        EXPECT_EQ(line, ip.line);
        EXPECT_EQ(column, ip.column);
        EXPECT_EQ(0u, ip.error_pos);
        inner_parser_clear(&ip);
    }
    parser_delete(p);
}

TEST(Matcher, EndOfInputCheck) {
    struct row {
        bool eof_check;
        const char *in;
        bool ok;
        std::uint64_t end;
    };
    const row rows[] = {
        {true, "aab", false, 2}, // the match ended at 2, then the check failed
        {false, "aab", true, 2}, // prefix accepted; pos shows how far it got
        {true, "aa", true, 2},
        {false, "b", false, 0}, // start automaton failed: pos back at the start
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.in);
        hand_grammar g = star_then_a();
        g.eof_check = r.eof_check;
        run_result res = run(g, r.in);
        EXPECT_EQ(r.ok, res.ok);
        EXPECT_EQ(r.end, res.end);
    }
}

TEST(Matcher, SuccessiveParsesOverOneInput) {
    // One item per parse, as the text pass does: W <- [a-z]+ / ' ' (prune), eof off.
    hand_grammar g;
    g.eof_check = false;
    auto w = g.add(MODE_PRUNE, 0, 2);
    auto id = g.add(MODE_TREE, 1, 2);
    g.call(w, 0, id, 1);
    g.ch(w, 0, ' ', 1);
    g.accept(w, 1);
    g.cls(id, 0, "a-z", 1);
    g.cls(id, 1, "a-z", 1);
    g.accept(id, 1);
    parser *p = g.build();
    const std::string text = "ab c\n?";
    input in;
    input_init(&in, text.data(), text.size());
    std::vector<std::string> got;
    const char *names[] = {"W", "id"};
    for (int i = 0; i < 6 && !input_eof(&in); ++i) {
        ast *r = parse(p, &in);
        if (const ast_tree *t = ast_as_tree(r))
            got.push_back("tree " + std::to_string(t->start) + "-" + std::to_string(t->end));
        else if (r->kind == AST_CHAR)
            got.push_back("char");
        else if (const ast_error *e = ast_as_error(r))
            got.push_back("error " + std::to_string(e->pos) + " line " + std::to_string(e->line) +
                          " col " + std::to_string(e->column) + " " + names[e->type]);
        ast_recursive_delete(r);
        if (got.back().rfind("error", 0) == 0)
            break;
    }
    parser_delete(p);
    // Positions are absolute; the failure at "\n" (pos 4) counts lines from this parse's start.
    const std::vector<std::string> want = {"tree 0-2", "char", "tree 3-4",
                                           "error 4 line 1 col 0 id"};
    EXPECT_EQ(want, got);
}

TEST(Matcher, ResultOwnsNothingSharedWithTheParse) {
    // S <- :A A where A <- 'x'? matches empty: the memo hands the same node out twice; the
    // voided copy is discarded and everything else is released exactly once.
    alloc_count count;
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 3);
    auto a = g.add(MODE_TREE, 1, 2);
    g.call(s, 0, a, 1, true);
    g.call(s, 1, a, 2);
    g.accept(s, 2);
    g.ch(a, 0, 'x', 1);
    g.accept(a, 0);
    g.accept(a, 1);
    {
        parser *p = g.build();
        std::int64_t grammar_blocks = count.live();
        run_result res = run(g, "", {"S", "A"});
        EXPECT_EQ("(S (A))", res.tree);
        EXPECT_EQ(grammar_blocks, count.live());
        parser_delete(p);
    }
    EXPECT_EQ(0, count.live());
}

TEST(Matcher, DeepNestingAndLongInput) {
    // E <- '(' E ')' / 'x' (tree) over 100,000 nested parentheses.
    hand_grammar g;
    auto e = g.add(MODE_TREE, 0, 4);
    g.ch(e, 0, '(', 1, true);
    g.call(e, 1, e, 2);
    g.ch(e, 2, ')', 3, true);
    g.ch(e, 0, 'x', 3);
    g.accept(e, 3);
    const std::size_t depth = 100000;
    std::string text(depth, '(');
    text += 'x';
    text.append(depth, ')');
    parser *p = g.build();
    input in;
    input_init(&in, text.data(), text.size());
    ast *r = parse(p, &in);
    ASSERT_EQ(AST_TREE, r->kind);
    EXPECT_EQ(text.size(), in.pos);
    std::size_t levels = 0;
    for (const ast *n = r; n->kind == AST_TREE; ++levels)
        n = static_cast<const ast *>(vector_get(ast_as_tree(n)->children, 0));
    EXPECT_EQ(depth + 1, levels);
    ast_recursive_delete(r);

    // One missing ')' gives an error at the end, not a crash.
    text.pop_back();
    input_init(&in, text.data(), text.size());
    r = parse(p, &in);
    const ast_error *err = ast_as_error(r);
    ASSERT_NE(nullptr, err);
    EXPECT_EQ(text.size(), err->pos);
    ast_recursive_delete(r);
    parser_delete(p);
}

TEST(Matcher, FiftyMegabyteRepetition) {
    // S <- :[a-z]* (tree) over 50 MB; every byte is a backtracking point of the repetition.
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 1);
    g.cls(s, 0, "a-z", 0, true);
    g.accept(s, 0);
    g.cls(s, 0, "\n", 0, true);
    std::string text(50u << 20, 'q');
    parser *p = g.build();
    for (bool lines : {false, true}) {
        SCOPED_TRACE(lines ? "80-byte lines" : "one line");
        if (lines)
            for (std::size_t i = 79; i < text.size(); i += 80)
                text[i] = '\n';
        input in;
        input_init(&in, text.data(), text.size());
        ast *r = parse(p, &in);
        const ast_tree *t = ast_as_tree(r);
        ASSERT_NE(nullptr, t);
        EXPECT_EQ(text.size(), t->end);
        EXPECT_EQ(0u, t->children->count);
        ast_recursive_delete(r);
    }
    parser_delete(p);
}

TEST(Matcher, MalformedGrammarsFailCleanly) {
    struct row {
        const char *name;
        hand_grammar g;
        const char *log;
    };
    std::vector<row> rows;
    {
        hand_grammar g; // S <- S 'a' / 'a'
        auto s = g.add(MODE_TREE, 0, 3);
        g.call(s, 0, s, 1);
        g.ch(s, 1, 'a', 2);
        g.ch(s, 0, 'a', 2);
        g.accept(s, 2);
        rows.push_back({"direct left recursion", g, "left recursion"});
    }
    {
        hand_grammar g; // S <- A, A <- S 'a'
        auto s = g.add(MODE_TREE, 0, 2);
        auto a = g.add(MODE_TREE, 1, 3);
        g.call(s, 0, a, 1);
        g.accept(s, 1);
        g.call(a, 0, s, 1);
        g.ch(a, 1, 'a', 2);
        g.accept(a, 2);
        rows.push_back({"indirect left recursion", g, "left recursion"});
    }
    {
        hand_grammar g;
        auto s = g.add(MODE_TREE, 0, 2);
        g.call(s, 0, 9, 1);
        g.accept(s, 1);
        rows.push_back({"missing automaton", g, "missing automaton"});
    }
    {
        hand_grammar g;
        auto s = g.add(MODE_TREE, 0, 1);
        g.ch(s, 0, 'a', 5);
        rows.push_back({"missing state", g, "missing state"});
    }
    for (row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        run_result res = run(r.g, "aaa");
        EXPECT_FALSE(res.ok);
        EXPECT_EQ(0u, res.end);
        EXPECT_EQ(0u, res.tree.rfind("(error #18446744073709551615 ", 0)) << res.tree;
        EXPECT_TRUE(logs.has_part(GLOG_ERROR, r.log));
        EXPECT_EQ(1u, logs.records().size());
    }
}

TEST(Matcher, EmptyRepetitionStops) {
    // S <- E* 'b' with E <- 'x'? : E matches empty, the loop must not spin forever.
    hand_grammar g;
    auto s = g.add(MODE_TREE, 0, 2);
    auto e = g.add(MODE_VOID, 1, 2);
    g.call(s, 0, e, 0);
    g.ch(s, 0, 'b', 1);
    g.accept(s, 1);
    g.ch(e, 0, 'x', 1);
    g.accept(e, 0);
    g.accept(e, 1);
    log_capture logs;
    run_result res = run(g, "xxb", {"S"});
    EXPECT_TRUE(res.ok);
    EXPECT_EQ("(S \"b\")", res.tree);
    EXPECT_TRUE(logs.has_part(GLOG_ERROR, "loops without progress"));
}

TEST(Matcher, OutOfMemoryGivesErrorNode) {
    // Fail allocations at every point of a small parse: the result is always a node (a tree
    // or an error), and nothing leaks.
    hand_grammar g;
    auto e = g.add(MODE_TREE, 0, 4);
    g.ch(e, 0, '(', 1, true);
    g.call(e, 1, e, 2);
    g.ch(e, 2, ')', 3, true);
    g.ch(e, 0, 'x', 3);
    g.accept(e, 3);
    std::string text = std::string(40, '(') + "x" + std::string(40, ')');
    for (std::int64_t n = 0; n < 200; ++n) {
        SCOPED_TRACE(n);
        log_capture logs;
        alloc_count count;
        parser *p = g.build();
        input in;
        input_init(&in, text.data(), text.size());
        alloc_count::fail_after(n);
        ast *r = parse(p, &in);
        alloc_count::fail_after(-1);
        ASSERT_NE(nullptr, r);
        if (r->kind == AST_ERROR) {
            // The text is valid: an error can only be the aborted parse, logged once.
            EXPECT_EQ(AST_ERROR_ABORTED, ast_as_error(r)->type);
            EXPECT_EQ(1u, logs.records().size());
        }
        ast_recursive_delete(r);
        parser_delete(p);
        EXPECT_EQ(0, count.live());
    }
}
