// Condition arithmetic: unsigned comparison, shifts, literals, escapes, `defined`, failures.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/glog.hpp"
#include "pp_helper.hpp"
#include "support/log_capture.hpp"

namespace {

enum class outcome { yes, no, fails };

struct cond_row {
    std::string defs; // lines placed before the condition
    std::string cond; // the text after "#if "
    outcome expect;
    std::vector<std::string> log; // exact log lines
};

void expect_conditions(const std::vector<cond_row> &rows) {
    for (const cond_row &r : rows) {
        SCOPED_TRACE(r.defs + "#if " + r.cond);
        log_capture logs;
        pp_result res = run_pp(r.defs + "#if " + r.cond + "\nT\n#else\nF\n#endif\n");
        if (r.expect == outcome::fails) {
            EXPECT_FALSE(res.ok);
        } else {
            ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
            const bool saw_t = res.text.find('T') != std::string::npos;
            const bool saw_f = res.text.find('F') != std::string::npos;
            EXPECT_EQ(saw_t, r.expect == outcome::yes);
            EXPECT_NE(saw_t, saw_f);
        }
        EXPECT_EQ(logs.lines(), r.log);
    }
}

TEST(ConditionArithmetic, UnsignedComparisonAndWrapAround) {
    expect_conditions({
        {"", "-1 < 0", outcome::no, {}},
        {"", "-1 == 18446744073709551615", outcome::yes, {}},
        {"", "0 - 1 > 1", outcome::yes, {}},
        {"", "-1 / 2 == 9223372036854775807", outcome::yes, {}},
        {"", "-1 % 3 == 0", outcome::yes, {}},
        {"", "-7 % 2 == 1", outcome::yes, {}},
        {"", "18446744073709551615 + 1 == 0", outcome::yes, {}},
        {"", "4294967296 * 4294967296 == 0", outcome::yes, {}},
        {"", "-2 >= -1", outcome::no, {}},
        {"", "~0 > 0", outcome::yes, {}},
        {"", "7 / 2 == 3 && 7 % 2 == 1", outcome::yes, {}},
        {"", "(1 | 6) == 7 && (5 ^ 1) == 4", outcome::yes, {}},
        {"", "1 != 1", outcome::no, {}},
        {"", "2 || 1 / 1", outcome::yes, {}},
    });
}

TEST(ConditionArithmetic, ShiftsModulo64) {
    expect_conditions({
        {"", "1 << 63 == 9223372036854775808", outcome::yes, {}},
        {"", "1 << 64 == 1", outcome::yes, {}},
        {"", "1 << 127 == 1 << 63", outcome::yes, {}},
        {"", "3 >> 64 == 3", outcome::yes, {}},
        {"", "-1 >> 63 == 1", outcome::yes, {}},
        {"", "2 << -1 == 0", outcome::yes, {}},
        {"", "-1 >> 1 == 9223372036854775807", outcome::yes, {}},
        {"", "256 >> 4 << 2 == 64", outcome::yes, {}},
    });
}

TEST(ConditionArithmetic, IntegerForms) {
    expect_conditions({
        {"", "0777 == 511", outcome::yes, {}},
        {"", "00 == 0", outcome::yes, {}},
        {"", "0xff == 255 && 0XFF == 255", outcome::yes, {}},
        {"", "0xFFFFFFFFFFFFFFFF == -1", outcome::yes, {}},
        {"", "0x1FFFFFFFFFFFFFFFF == -1", outcome::yes, {}},
        {"", "18446744073709551616 == 18446744073709551615", outcome::yes, {}},
        {"", "10l == 10 && 10L == 10", outcome::yes, {}},
        {"", "0", outcome::no, {}},
    });
}

TEST(ConditionArithmetic, CharacterConstants) {
    expect_conditions({
        {"", "'a' == 97", outcome::yes, {}},
        {"", "'0' == 48", outcome::yes, {}},
        {"", "'\\a' == 7 && '\\b' == 8 && '\\f' == 12", outcome::yes, {}},
        {"", "'\\r' == 13 && '\\t' == 9 && '\\v' == 11", outcome::yes, {}},
        {"", "'\\\\' == 92 && '\\'' == 39 && '\\\"' == 34 && '\\?' == 63", outcome::yes, {}},
        {"", "'\\0' == 0", outcome::yes, {}},
        {"", "'\\177' == 127", outcome::yes, {}},
        {"", "'\\x7f' == 127 && '\\x7F' == 127", outcome::yes, {}},
        {"", "'\\x0'", outcome::no, {}},
        {"",
         "'\\u0041' == 65",
         outcome::fails,
         {"E cannot use UNICODE_ESCAPE in preprocessor expression"}},
    });
}

TEST(ConditionArithmetic, FloatingAndStringConstants) {
    const std::string fl = "E cannot use floating constant in preprocessor expression";
    const std::string st = "E cannot use string constant in preprocessor expression";
    expect_conditions({
        {"", "1.5", outcome::fails, {fl}},
        {"", "1e3", outcome::fails, {fl}},
        {"", ".5", outcome::fails, {fl}},
        {"", "\"\"", outcome::fails, {st}},
        {"", "\"a\" == 0", outcome::yes, {st}},
        {"", "2.0 + 1 == 1", outcome::yes, {fl}},
        {"", "-1.0 == 0", outcome::yes, {fl}},
        {"", "1.0 || \"s\"", outcome::no, {fl, st}},
        {"#define PI 3.14\n", "PI", outcome::fails, {fl}},
    });
}

TEST(ConditionArithmetic, DefinedForms) {
    const std::string req = "E operator \"defined\" requires an identifier";
    expect_conditions({
        {"#define X 1\n", "defined X", outcome::yes, {}},
        {"#define X 1\n", "defined(X)", outcome::yes, {}},
        {"#define X 1\n", "defined ( X )", outcome::yes, {}},
        {"#define X 0\n", "defined X && !X", outcome::yes, {}},
        {"#define X\n", "defined X", outcome::yes, {}},
        {"#define X Y\n", "defined Y", outcome::no, {}},
        {"", "!defined X && !defined(X)", outcome::yes, {}},
        {"#define X 1\n#define Y 1\n", "defined X && defined(Y)", outcome::yes, {}},
        {"#define X 1\n", "defined X + defined X == 2", outcome::yes, {}},
        {"#define D defined\n#define X 1\n", "D X", outcome::yes, {}},
        {"#define F(a) a\n", "defined F", outcome::yes, {}},
        {"#define X 1\n#undef X\n", "defined(X)", outcome::no, {}},
        {"", "defined(1)", outcome::fails, {"E Failed to parse if expression"}},
        {"", "defined", outcome::fails, {req}},
        {"", "defined || 1", outcome::yes, {req}},
        {"", "defined + 1 == 1", outcome::yes, {req}},
    });
}

TEST(ConditionArithmetic, DivisionByZeroAnywhere) {
    const std::string dz = "E division by zero in preprocessor expression";
    expect_conditions({
        {"", "1 / 0", outcome::fails, {dz}},
        {"", "1 % 0", outcome::fails, {dz}},
        {"", "0 / 0", outcome::fails, {dz}},
        {"", "(1 / 0)", outcome::fails, {dz}},
        {"", "-(2 % 0)", outcome::fails, {dz}},
        {"", "!(1 / 0)", outcome::fails, {dz}},
        {"", "1 || 1 / 0", outcome::fails, {dz}},
        {"", "0 && 1 / 0", outcome::fails, {dz}},
        {"", "1 / (1 - 1)", outcome::fails, {dz}},
        {"", "1 / ~-1", outcome::fails, {dz}},
        {"", "5 / UNDEFINED", outcome::fails, {dz}},
        {"#define Z 0\n", "4 % Z", outcome::fails, {dz}},
        {"",
         "1.0 == 1 / 0",
         outcome::fails,
         {"E cannot use floating constant in preprocessor expression", dz}},
        {"",
         "1 / 1.0",
         outcome::fails,
         {"E cannot use floating constant in preprocessor expression", dz}},
        {"", "1 / 18446744073709551616", outcome::no, {}},
    });
}

TEST(ConditionArithmetic, ParseFailures) {
    const std::string pf = "E Failed to parse if expression";
    expect_conditions({
        {"", "1 +", outcome::fails, {pf}},
        {"", "(1", outcome::fails, {pf}},
        {"", "1 2", outcome::fails, {pf}},
        {"#define E\n", "E", outcome::fails, {pf}},
        {"", "#", outcome::fails, {pf}},
    });
}

} // namespace
