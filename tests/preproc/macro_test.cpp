// Macro definitions, their scope by position, expansion with arguments, `#`, `##` and guards.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/glog.hpp"
#include "pp_helper.hpp"
#include "support/log_capture.hpp"

namespace {

// Preprocesses `defs` followed by `text` and returns the last line of the output.
struct expand_row {
    const char *name;
    std::string in;
    std::string last_line;
};

std::string last_line(const std::string &s) {
    std::string t = s;
    if (!t.empty() && t.back() == '\n') {
        t.pop_back();
    }
    size_t at = t.rfind('\n');
    return at == std::string::npos ? t : t.substr(at + 1);
}

void expect_expansions(const std::vector<expand_row> &rows) {
    for (const expand_row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        pp_result res = run_pp(r.in);
        ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
        EXPECT_EQ(last_line(res.text), r.last_line);
        EXPECT_EQ(pp_lines(res.text), pp_lines(r.in));
    }
}

TEST(MacroExpansion, ObjectLikeAndScopeByPosition) {
    expect_expansions({
        {"simple", "#define N 10\nlong a[N];\n", "long a[10];"},
        {"use above define unchanged", "const long X = N;\n#define N 10\nN\n", "10"},
        {"text between define and undef expanded", "#define N 10\nlong a[N];\n#undef N\n",
         "        "},
        {"after undef unchanged", "#define N 10\n#undef N\nlong a[N];\n", "long a[N];"},
        {"redefinition applies below it", "#define N 1\n#define N 2\nN\n", "2"},
        {"empty replacement removes the name", "#define E\na E b\n", "a  b"},
        {"blank before paren gives object-like", "#define SIZE (N)\nSIZE\n", "(N)"},
        {"object-like with parens", "#define SIZE (10)\nSIZE\n", "(10)"},
        {"names inside groups expanded", "#define N 3\nlong a[(N)]; @bit_bound(N)\n",
         "long a[(3)]; @bit_bound(3)"},
        {"annotation argument expanded", "#define A 1\n@range(min = A)\n", "@range(min = 1)"},
        {"names in literals untouched", "#define A 1\n\"A\" 'A' A\n", "\"A\" 'A' 1"},
        {"later macro used through earlier one", "#define B A\n#define A 7\nB\n", "7"},
        {"marker name not expanded by a same-named word",
         "#define types x\n#include \"types.idl\"\n", "module types_2eidlIiNnCcLlUuDdEe {};"},
    });
}

TEST(MacroExpansion, FunctionLike) {
    expect_expansions({
        {"concatenation", "#define CAT(a, b) a ## b\nCAT(x, y)\n", "xy"},
        {"stringize keeps apostrophes", "#define STR(a) #a\nSTR(hello)\n", "'hello'"},
        {"stringized text is not expanded", "#define hello 1\n#define STR(a) #a\nSTR(hello)\n",
         "'hello'"},
        {"no argument list leaves the name", "#define F(x) x\nF + 1\n", "F + 1"},
        {"rescan of argument", "#define F(x) (x)\n#define A 1\nF(A)\n", "(1)"},
        {"nested use of the same macro", "#define F(x) [x]\nF(F(2))\n", "[[2]]"},
        {"nested groups stay one argument", "#define F(a, b) b a\nF((1, 2), (3))\n", "(3) (1, 2)"},
        {"arguments keep inner blanks", "#define F(a) <a>\nF(  x  y  )\n", "<x  y  >"},
        {"empty parameter list", "#define F() 5\nF()\n", "5"},
        {"parameter used twice", "#define D(x) x+x\nD(3)\n", "3+3"},
        {"literal with comma is one argument", "#define F(a) [a]\nF(\"a,b\")\n", "[\"a,b\"]"},
        {"macro as argument of another", "#define ID(x) x\n#define N 4\nID(N)\n", "4"},
    });
}

TEST(MacroExpansion, EarlierTextKeepsEarlierDefinition) {
    log_capture logs;
    pp_result res = run_pp("K N\n#define N 1\nx N\n#define N 2\nN\n#undef N\nN\n");
    ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
    EXPECT_EQ(res.text, "K N\n           \nx 1\n           \n2\n        \nN\n");
}

TEST(MacroExpansion, MultiLineInvocationReplacedWhole) {
    log_capture logs;
    pp_result res = run_pp("#define F(a, b) a b\nF(1,\n  2)\nz\n");
    ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
    EXPECT_EQ(res.text, "                   \n1 2\nz\n");
}

TEST(MacroExpansion, SelfReferenceTerminates) {
    expect_expansions({
        {"direct", "#define X X\nX\n", "X"},
        {"through a cycle", "#define A B\n#define B A\nA B\n", "A B"},
        {"self inside expression", "#define X (X + 1)\nX\n", "(X + 1)"},
        {"function-like self", "#define F(x) F(x)\nF(1)\n", "F(1)"},
    });
}

TEST(MacroExpansion, RunawayExpansionFails) {
    log_capture logs;
    // Each round rebuilds the same invocation out of the argument: bounded, then refused.
    pp_result res = run_pp("#define G(x) x(x)\nG(G)\n");
    EXPECT_FALSE(res.ok);
    EXPECT_EQ(logs.lines(), std::vector<std::string>{
                                "E Macro expansion of 'G' does not end: " + res.path + ":2"});
}

struct error_row {
    const char *name;
    std::string in;
    std::string message; // empty: no message expected
};

TEST(MacroDefinition, ErrorsStopPreprocessing) {
    const std::vector<error_row> rows = {
        {"concat at end", "#define X a ##\n",
         "'##' cannot appear at either end of a macro expansion"},
        {"concat at start", "#define Y ## a\n",
         "'##' cannot appear at either end of a macro expansion"},
        {"stringize at end", "#define S(x) x #\n", "'#' is not followed by a macro parameter"},
        {"too few arguments", "#define F(a, b) a\nF(1)\n",
         "Macro 'F' requires 2 arguments, but only 1 given"},
        {"too many arguments", "#define F(a, b) a\nF(1, 2, 3)\n",
         "Macro 'F' requires 2 arguments, but only 3 given"},
        {"duplicate parameter", "#define F(a, a) a\n", ""},
    };
    for (const error_row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        pp_result res = run_pp(r.in);
        EXPECT_FALSE(res.ok);
        if (r.message.empty()) {
            EXPECT_TRUE(logs.empty());
        } else {
            EXPECT_EQ(logs.messages(GLOG_ERROR), (std::vector<std::string>{r.message}));
        }
    }
}

} // namespace
