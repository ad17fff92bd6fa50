// Macro expansion over whole texts: `#` and `##`, argument counts, multi-line invocations,
// recursion guards, scope by position and predefined macros.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/glog.hpp"
#include "base/linkedlist.hpp"
#include "pp_helper.hpp"
#include "preproc/preproc.hpp"
#include "support/log_capture.hpp"

namespace {

struct text_row {
    const char *name;
    std::string in;
    std::string out; // the whole output
};

void expect_texts(const std::vector<text_row> &rows, pn_linkedlist *predefined = nullptr) {
    for (const text_row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        pp_result res = run_pp(r.in, predefined);
        ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
        EXPECT_EQ(res.text, r.out);
        EXPECT_TRUE(logs.empty());
    }
}

// Blank line of the same length as `s` (a blanked directive).
std::string bl(const std::string &s) {
    return std::string(s.size(), ' ') + "\n";
}

TEST(ExpansionText, StringizeAndConcatenate) {
    expect_texts({
        {"concatenate with text on both sides", "#define M(a) pre_ ## a ## _post\nM(x)\n",
         bl("#define M(a) pre_ ## a ## _post") + "pre_x_post\n"},
        {"three-way concatenation", "#define C3(a, b, c) a##b##c\nC3(x, y, z)\n",
         bl("#define C3(a, b, c) a##b##c") + "xyz\n"},
        {"concatenated name is expanded again", "#define AB 5\n#define CAT(a, b) a##b\nCAT(A, B)\n",
         bl("#define AB 5") + bl("#define CAT(a, b) a##b") + "5\n"},
        {"concatenation in object-like macro", "#define N long ## _t\nN\n",
         bl("#define N long ## _t") + "long_t\n"},
        {"stringize with text around", "#define S(x) [#x]\nS(abc)\n",
         bl("#define S(x) [#x]") + "['abc']\n"},
        {"stringized macro name is not expanded", "#define A 1\n#define S(x) #x A\nS(A)\n",
         bl("#define A 1") + bl("#define S(x) #x A") + "'A' 1\n"},
        {"stringize and plain use of one parameter", "#define B(x) #x = x\n#define V 3\nB(V)\n",
         bl("#define B(x) #x = x") + bl("#define V 3") + "'V' = 3\n"},
        {"hash in object-like macro is dropped", "#define H #a\nH\n", bl("#define H #a") + "a\n"},
        {"hash before a non-parameter is dropped", "#define S(x) #y x\nS(1)\n",
         bl("#define S(x) #y x") + "y 1\n"},
    });
}

struct error_row {
    const char *name;
    std::string in;
    std::vector<std::string> log; // exact lines; empty: no message at all
};

void expect_errors(const std::vector<error_row> &rows) {
    for (const error_row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        pp_result res = run_pp(r.in);
        EXPECT_FALSE(res.ok);
        EXPECT_EQ(logs.lines(), r.log);
    }
}

TEST(ExpansionErrors, MessagesAndLevels) {
    expect_errors({
        {"concat alone",
         "#define X ##\n",
         {"E '##' cannot appear at either end of a macro expansion"}},
        {"concat at end of function-like",
         "#define F(a) a ##\n",
         {"E '##' cannot appear at either end of a macro expansion"}},
        {"concat at start of function-like",
         "#define F(a) ## a\n",
         {"E '##' cannot appear at either end of a macro expansion"}},
        {"hash alone in function-like",
         "#define F(a) #\n",
         {"E '#' is not followed by a macro parameter"}},
        {"hash alone in object-like",
         "#define O #\n",
         {"E '#' is not followed by a macro parameter"}},
        {"zero arguments for one",
         "#define F(a) a\nF()\n",
         {"E Macro 'F' requires 1 arguments, but only 0 given"}},
        {"one argument for none",
         "#define G() 1\nG(x)\n",
         {"E Macro 'G' requires 0 arguments, but only 1 given"}},
        {"two for three",
         "#define H(a, b, c) a\nH(1, 2)\n",
         {"E Macro 'H' requires 3 arguments, but only 2 given"}},
        {"four for three",
         "#define H(a, b, c) a\nH(1, 2, 3, 4)\n",
         {"E Macro 'H' requires 3 arguments, but only 4 given"}},
        {"empty arguments count",
         "#define H(a, b, c) a\nH(,)\n",
         {"E Macro 'H' requires 3 arguments, but only 2 given"}},
        {"count error inside an argument",
         "#define F(a) a\n#define G(a, b) a\nF(G(1))\n",
         {"E Macro 'G' requires 2 arguments, but only 1 given"}},
        {"count error over several lines",
         "#define G(a, b) a\nG(1,\n2,\n3)\n",
         {"E Macro 'G' requires 2 arguments, but only 3 given"}},
        {"count error in a condition",
         "#define G(a, b) a\n#if G(1)\n#endif\n",
         {"E Macro 'G' requires 2 arguments, but only 1 given"}},
        {"count error from a rescan",
         "#define G(a, b) a\n#define P G(1)\nP\n",
         {"E Macro 'G' requires 2 arguments, but only 1 given"}},
        {"duplicate parameter", "#define F(a, a) a\n", {}},
        {"duplicate parameter not adjacent", "#define F(a, b, c, b) a\nF(1, 2, 3, 4)\n", {}},
    });
}

TEST(ExpansionText, ArgumentsAndInvocations) {
    expect_texts({
        {"nested groups count as one argument", "#define F(a) <a>\nF((1, 2))\n",
         bl("#define F(a) <a>") + "<(1, 2)>\n"},
        {"deeply nested group", "#define F(a, b) b a\nF(((x, y), z), w)\n",
         bl("#define F(a, b) b a") + "w ((x, y), z)\n"},
        {"blank between name and list", "#define F(a) [a]\nF (1)\n",
         bl("#define F(a) [a]") + "[1]\n"},
        {"argument with a character literal comma", "#define F(a) [a]\nF(',')\n",
         bl("#define F(a) [a]") + "[',']\n"},
        {"argument with a literal paren", "#define F(a) [a]\nF(\")\")\n",
         bl("#define F(a) [a]") + "[\")\"]\n"},
        {"argument expanded after substitution", "#define F(a) a a\n#define N 2\nF(N)\n",
         bl("#define F(a) a a") + bl("#define N 2") + "2 2\n"},
        {"name inside group after non-macro expanded", "#define N 4\nfoo(N, (N))\n",
         bl("#define N 4") + "foo(4, (4))\n"},
        {"function-like name at end of text", "#define F(a) a\nx F", bl("#define F(a) a") + "x F"},
        {"invocation in a final line without line end", "#define F(a) [a]\nF(1)",
         bl("#define F(a) [a]") + "[1]"},
        {"two invocations on one line", "#define F(a) [a]\nF(1) F(2)\n",
         bl("#define F(a) [a]") + "[1] [2]\n"},
    });
}

TEST(ExpansionText, MultiLineInvocations) {
    expect_texts({
        {"arguments on separate lines", "#define F(a, b) a+b\nF(\n 1,\n 2\n)\nz\n",
         bl("#define F(a, b) a+b") + "1+2\nz\n"},
        {"comment inside the invocation", "#define F(a, b) a b\nF(1, /* c */\n2)\nz\n",
         bl("#define F(a, b) a b") + "1 2\nz\n"},
        {"text after the invocation keeps its own line",
         "#define F(a, b) a b\nF(1,\n2) N\n#define N 5\nN\n",
         bl("#define F(a, b) a b") + "1 2 N\n" + bl("#define N 5") + "5\n"},
        {"name and list on different lines", "#define F(a) [a]\nF\n(1)\n",
         bl("#define F(a) [a]") + "[1]\n"},
    });
}

// An argument whose text runs over a line end inside it (not only next to a comma or a
// parenthesis) is still one argument, and the line end is copied with it.
TEST(ExpansionText, LineEndInsideOneArgument) {
    expect_texts({
        {"line end inside one argument survives", "#define F(a) [a]\nF(x\ny)\nz\n",
         bl("#define F(a) [a]") + "[x\ny]\nz\n"},
        {"expression over two lines", "#define F(a) (a)\nF(1 +\n 2)\n",
         bl("#define F(a) (a)") + "(1 +\n 2)\n"},
    });
}

TEST(ExpansionText, RecursionGuards) {
    expect_texts({
        {"self twice", "#define X X X\nX\n", bl("#define X X X") + "X X\n"},
        {"guard is per expansion", "#define X X\nX X\n", bl("#define X X") + "X X\n"},
        {"three-step cycle", "#define A B\n#define B C\n#define C A\nA B C\n",
         bl("#define A B") + bl("#define B C") + bl("#define C A") + "A B C\n"},
        {"function-like cycle", "#define A(x) B(x)\n#define B(x) A(x)\nA(1)\n",
         bl("#define A(x) B(x)") + bl("#define B(x) A(x)") + "A(1)\n"},
        {"self through an argument", "#define F(x) x\n#define Y F(Y)\nY\n",
         bl("#define F(x) x") + bl("#define Y F(Y)") + "Y\n"},
        {"same macro in its own argument", "#define F(x) (x)\nF(F(F(1)))\n",
         bl("#define F(x) (x)") + "(((1)))\n"},
        {"cycle inside a condition", "#define A B\n#define B A\n#if A\nx\n#endif\n",
         bl("#define A B") + bl("#define B A") + bl("#if A") + " \n" + bl("#endif")},
        {"guarded name next to a later use", "#define X [X]\nX; X\n",
         bl("#define X [X]") + "[X]; [X]\n"},
    });
}

TEST(ExpansionText, RunawayGrowthFailsInsteadOfHanging) {
    // Each level doubles the text; the expansion is refused long before memory runs out.
    std::string in = "#define D0 x x\n";
    for (int i = 1; i <= 40; ++i) {
        in += "#define D" + std::to_string(i) + " D" + std::to_string(i - 1) + " D" +
              std::to_string(i - 1) + "\n";
    }
    in += "D40\n";
    log_capture logs;
    pp_result res = run_pp(in);
    EXPECT_FALSE(res.ok);
    // The replacement bound stops it inside the expansion of D2, which stands on line 42.
    EXPECT_EQ(logs.lines(), std::vector<std::string>{
                                "E Macro expansion of 'D2' does not end: " + res.path + ":42"});
}

TEST(ExpansionText, ScopeByPosition) {
    expect_texts({
        {"redefinition leaves earlier text", "#define N 1\nN\n#define N 2\nN\n",
         bl("#define N 1") + "1\n" + bl("#define N 2") + "2\n"},
        {"undef then define again", "#define N 1\n#undef N\nN\n#define N 3\nN\n",
         bl("#define N 1") + bl("#undef N") + "N\n" + bl("#define N 3") + "3\n"},
        {"undef ends only the newest scope", "#define N 1\n#define N 2\n#undef N\nN\n",
         bl("#define N 1") + bl("#define N 2") + bl("#undef N") + "N\n"},
        {"macro body uses the definitions at its use", "#define B A\nB\n#define A 7\nB\n",
         bl("#define B A") + "A\n" + bl("#define A 7") + "7\n"},
        {"condition sees only earlier definitions", "#if N\nx\n#endif\n#define N 1\nN\n",
         bl("#if N") + " \n" + bl("#endif") + bl("#define N 1") + "1\n"},
        {"definition inside a taken group", "#if 1\n#define N 6\n#endif\nN\n",
         bl("#if 1") + bl("#define N 6") + bl("#endif") + "6\n"},
        {"function-like redefined as object-like", "#define F(a) [a]\nF(1)\n#define F 0\nF(1)\n",
         bl("#define F(a) [a]") + "[1]\n" + bl("#define F 0") + "0(1)\n"},
    });
}

// Builds the caller's list of predefined macros: pairs of name and text (null for none).
struct predefined {
    pn_linkedlist *list = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
    predefined(std::initializer_list<std::pair<const char *, const char *>> defs) {
        for (const auto &d : defs) {
            preproc_macro *m = preproc_macro_create_object(d.first, d.second);
            if (m && !list->add(list, m)) {
                preproc_macro_destroy(m);
            }
        }
    }
    ~predefined() {
        while (list && list->size > 0) {
            preproc_macro_destroy(static_cast<preproc_macro *>(list->remove_first(list)));
        }
        pn_linkedlist_destroy(list);
    }
};

TEST(ExpansionText, PredefinedMacros) {
    predefined defs{
        {"N", "8"}, {"EMPTY", nullptr}, {"TWICE", "1"}, {"TWICE", "2"}, {"EXPR", "(N + 1)"}};
    ASSERT_NE(defs.list, nullptr);
    ASSERT_EQ(defs.list->size, 5u);
    expect_texts(
        {
            {"in force from the first line", "N\n", "8\n"},
            {"empty text removes the name", "a EMPTY b\n", "a  b\n"},
            {"last one of a name applies", "TWICE\n", "2\n"},
            {"replacement is rescanned", "EXPR\n", "(8 + 1)\n"},
            {"undef ends it below", "N\n#undef N\nN\n", "8\n" + bl("#undef N") + "N\n"},
            {"redefinition applies below", "N\n#define N 9\nN\n",
             "8\n" + bl("#define N 9") + "9\n"},
            {"seen by conditions", "#if N == 8 && defined EMPTY\ny\n#endif\n",
             bl("#if N == 8 && defined EMPTY") + "y\n" + bl("#endif")},
        },
        defs.list);
    // The state copied the records; the caller's are unchanged by the #undef above.
    auto *first = static_cast<preproc_macro *>(defs.list->head->element);
    EXPECT_EQ(first->undef_line, PREPROC_LINE_MAX);
}

TEST(ExpansionText, CreateObjectRecord) {
    preproc_macro *m = preproc_macro_create_object("NAME", "v a l");
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->name.data, "NAME");
    EXPECT_EQ(m->kind, MACRO_OBJECT);
    EXPECT_EQ(m->def_line, 1u);
    EXPECT_EQ(m->undef_line, PREPROC_LINE_MAX);
    EXPECT_EQ(m->parameters, nullptr);
    ASSERT_NE(m->replacement, nullptr);
    ASSERT_EQ(m->replacement->size, 1u);
    auto *item = static_cast<preproc_macro_item *>(m->replacement->head->element);
    EXPECT_EQ(item->kind, ITEM_TEXT);
    EXPECT_EQ(std::string(item->text.data, item->text.len), "v a l");
    preproc_macro_destroy(m);
    preproc_macro *e = preproc_macro_create_object("E", nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->replacement, nullptr);
    preproc_macro_destroy(e);
}

} // namespace

namespace {

// Groups that follow no macro name are scanned inside without parsing them whole, so deep
// nesting stays linear (100,000 levels used to take hours).
TEST(ExpansionText, DeepGroupsExpandInside) {
    const int depth = 100000;
    std::string deep = std::string(depth, '(') + "N" + std::string(depth, ')') + "\n";
    std::string deep_out = std::string(depth, '(') + "4" + std::string(depth, ')') + "\n";
    std::string unclosed, unclosed_out;
    for (int i = 0; i < 50; ++i) {
        unclosed += "( N ";
        unclosed_out += "( 4 ";
    }
    expect_texts({
        {"nested groups", "#define N 4\n" + deep, bl("#define N 4") + deep_out},
        // The cleaner drops the blank at the end of the line.
        {"unclosed groups", "#define N 4\n" + unclosed + "\n",
         bl("#define N 4") + unclosed_out.substr(0, unclosed_out.size() - 1) + "\n"},
        {"macro call inside nested groups", "#define F(x) [x]\n((F((1))))\n",
         bl("#define F(x) [x]") + "(([(1)]))\n"},
    });
}

} // namespace

namespace {

std::string repeat(const std::string &s, size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (size_t i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

// Inputs built to make a tokenizer rescan the same tail again and again: each must end, with
// the text a plain left-to-right expansion gives.
TEST(ExpansionText, HostileInputsEnd) {
    const size_t k = 64 * 1024;
    std::string nested = repeat("F(", 10000) + "1" + std::string(10000, ')') + "\n";
    std::string deep_eq = repeat("= (", k / 6) + "N" + std::string(k / 6, ')') + "\n";
    std::string deep_eq_out = repeat("= (", k / 6) + "4" + std::string(k / 6, ')') + "\n";
    expect_texts({
        // The cleaner drops the blank at the end of the line.
        {"unclosed groups around a macro", "#define N 4\n" + repeat("( N ", k / 4) + "\n",
         bl("#define N 4") + repeat("( 4 ", k / 4).substr(0, k - 1) + "\n"},
        {"unclosed invocations", "#define F(x) x\n" + repeat("F(", k / 2) + "\n",
         bl("#define F(x) x") + repeat("F(", k / 2) + "\n"},
        {"unclosed invocations with literal parentheses",
         "#define F(x) x\n" + repeat("F('(' ", k / 6) + "\n",
         bl("#define F(x) x") + repeat("F('(' ", k / 6).substr(0, 6 * (k / 6) - 1) + "\n"},
        {"invocations nested 10000 deep", "#define F(x) x\n" + nested,
         bl("#define F(x) x") + "1\n"},
        {"groups nested behind other characters", "#define N 4\n" + deep_eq,
         bl("#define N 4") + deep_eq_out},
        {"a megabyte of blanks", std::string(1 << 20, ' ') + "\n", "\n"},
        {"a line of opening parentheses", std::string(100000, '(') + "\n",
         std::string(100000, '(') + "\n"},
        {"a line of quotes", std::string(100000, '"') + "\n", std::string(100000, '"') + "\n"},
        // Every quote after the first is escaped up to the line end, so none closes and each
        // one looks as far as the line end; the names between them are expanded.
        {"escaped quotes around macros", "#define N 4\n" + repeat("\\\"N", k / 3) + "\n",
         bl("#define N 4") + repeat("\\\"4", k / 3) + "\n"},
    });
}

TEST(ExpansionErrors, RunawayNamesFileAndLine) {
    struct row {
        const char *name;
        std::string in;
        std::string macro;
        int line;
    };
    // Each level doubles an argument of 8 KB: the text would outgrow 64 times the input plus
    // 1 MB after a few levels.
    const std::string doubling = "#define D(x) x x\n\n" + repeat("D(", 20) + repeat("a ", 4096) +
                                 std::string(20, ')') + "\n";
    const std::string rescanning(
        "#define F(a,b)%%%((((\xa0" "0xtf(((a\xa0" "0xtf(((% a*\0\0\"e F(a, a##(a,b)(a a,Fb) "
        "a###b $a\nF(#muta#include \xab\xa6'ES\r\nx##ba$F\n,y)\n(b) a*'''#if\0'\0\0b) $*##b #a\n"
        "Fx,y)\n",
        147);
    const row rows[] = {
        {"argument rebuilds the invocation", "#define G(x) x(x)\nG(G)\n", "G", 2},
        {"later line", "#define G(x) x(x)\n\n\nlong a;\nG(G)\n", "G", 5},
        // After the first round the name that goes on being expanded is the argument's G.
        {"invocation over two lines", "#define G(x) x(x)\nG(\nG)\nx\n", "G", 3},
        {"in a condition", "#define G(x) x(x)\n\n#if G(G)\n#endif\n", "G", 3},
        // Each round leaves the name before a longer argument list: the slowest small input
        // the campaigns came near, stopped by the bound on replacements.
        {"invocation regrows with a doubled argument", "#define F(x) F x(x x)\nF(F)\n", "F", 2},
        {"growth past the limit", doubling, "D", 3},
        // Found by fuzzing: unclosed quotes keep the argument lists from being remembered, so
        // each of the quarter million rounds allowed rescanned the growing text (seconds).
        {"rescanning without end", rescanning, "F", 3},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        pp_result res = run_pp(r.in);
        EXPECT_FALSE(res.ok);
        EXPECT_EQ(logs.lines(), std::vector<std::string>{"E Macro expansion of '" + r.macro +
                                                         "' does not end: " + res.path + ":" +
                                                         std::to_string(r.line)});
    }
}

// What the tokenizer remembers about argument lists must follow the text as it changes. Both
// rows have the list in expanded text, where it is remembered, and ask about it again as an
// inner list of an invocation.
TEST(ExpansionText, RememberedListsFollowTheText) {
    expect_texts({
        // In the argument of Q the quote closes nowhere on its line, so the inner list closes
        // at the next ). Copied before '"' the quote closes, and neither list does any more.
        {"list with an unclosed quote copied elsewhere",
         "#define F(z) [z]\n#define Q(x) F(x '\"')\n#define I(x) x\nI(Q((\")))\n",
         bl("#define F(z) [z]") + bl("#define Q(x) F(x '\"')") + bl("#define I(x) x") +
             "F((\") '\"')\n"},
        // G's list, known to close two bytes on, is replaced by an inner ( of F's list that
        // stands as far from the end but closes only at the last ).
        {"list known closed is replaced by one that is not",
         "#define F(z) [z]\n#define G(y) F(a(y,\n#define A G(1) x\nA)\n",
         bl("#define F(z) [z]") + bl("#define G(y) F(a(y,") + bl("#define A G(1) x") +
             "F(a(1, x)\n"},
    });
}

// Growth below the limit is fine: four doublings of 8 KB stay under 64 times the input.
TEST(ExpansionText, GrowthBelowTheLimitExpands) {
    const std::string arg = repeat("a ", 4096); // the argument keeps its trailing blank
    const std::string in =
        "#define D(x) x x\n" + repeat("D(", 4) + arg + std::string(4, ')') + "\n";
    std::string want = arg;
    for (int i = 0; i < 4; ++i) {
        want = want + " " + want;
    }
    log_capture logs;
    pp_result res = run_pp(in);
    ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
    EXPECT_TRUE(res.text == bl("#define D(x) x x") + want + "\n")
        << "output of " << res.text.size() << " bytes";
}

} // namespace
