// `#if` condition evaluation: unsigned arithmetic, literals, `defined`, failures.
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
    std::string message; // error expected (also for a condition that holds)
};

TEST(Condition, Evaluates) {
    const std::vector<cond_row> rows = {
        {"", "0x10 == 16", outcome::yes, ""},
        {"", "010 == 8", outcome::yes, ""},
        {"", "1L", outcome::yes, ""},
        {"", "-1 > 0", outcome::yes, ""},
        {"", "5 - 7 > 0", outcome::yes, ""},
        {"", "7 - 5 == 2", outcome::yes, ""},
        {"", "1 << 65 == 2", outcome::yes, ""},
        {"", "(0 || 2) == 1", outcome::yes, ""},
        {"", "(6 & 3) == 2", outcome::yes, ""},
        {"", "1 - 2 - 3 == -4", outcome::yes, ""},
        {"", "2 + 3 * 4 == 14", outcome::yes, ""},
        {"", "1 || 0 && 0", outcome::yes, ""},
        {"", "3 <= 3 && 2 < 3 && 4 >= 5 == 0", outcome::yes, ""},
        {"", "99999999999999999999999 == 18446744073709551615", outcome::yes, ""},
        {"", "UNDEFINED_NAME", outcome::no, ""},
        {"", "true", outcome::no, ""},
        {"", "'\\n' == 10", outcome::yes, ""},
        {"", "'\\x41' == 65", outcome::yes, ""},
        {"", "'\\101' == 65", outcome::yes, ""},
        {"", "'A' == 65", outcome::yes, ""},
        {"", "!!5 == 1", outcome::yes, ""},
        {"", "- -1 == 1", outcome::yes, ""},
        {"", "~0 == -1", outcome::yes, ""},
        {"#define X 1\n", "defined(X)", outcome::yes, ""},
        {"#define X 1\n", "defined X", outcome::yes, ""},
        {"#define X 1\n", "!defined(X)", outcome::no, ""},
        {"", "!defined X", outcome::yes, ""},
        {"#define X 1\n#undef X\n", "defined X", outcome::no, ""},
        {"#define N 4\n", "N * 2 == 8", outcome::yes, ""},
        {"#define F(a) (a + 1)\n", "F(2) == 3", outcome::yes, ""},
        {"", "1.0 == 0", outcome::yes, "cannot use floating constant in preprocessor expression"},
        {"", "1.0", outcome::fails, "cannot use floating constant in preprocessor expression"},
        {"", "\"a\"", outcome::fails, "cannot use string constant in preprocessor expression"},
        {"", "1 / 0", outcome::fails, "division by zero in preprocessor expression"},
        {"", "0 && 1 % 0", outcome::fails, "division by zero in preprocessor expression"},
        {"", "1.0 == 2 / 0", outcome::fails, "division by zero in preprocessor expression"},
        {"", "'\\u0041'", outcome::fails, "cannot use UNICODE_ESCAPE in preprocessor expression"},
        {"#define X\n", "X", outcome::fails, "Failed to parse if expression"},
        {"", "", outcome::fails, "Failed to parse if expression"},
    };
    for (const cond_row &r : rows) {
        SCOPED_TRACE(r.defs + "#if " + r.cond);
        log_capture logs;
        pp_result res = run_pp(r.defs + "#if " + r.cond + "\nT\n#else\nF\n#endif\n");
        if (r.expect == outcome::fails) {
            EXPECT_FALSE(res.ok);
        } else {
            ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
            const bool saw_t = res.text.find('T') != std::string::npos;
            EXPECT_EQ(saw_t, r.expect == outcome::yes);
        }
        if (r.message.empty()) {
            EXPECT_TRUE(logs.empty());
        } else if (r.expect == outcome::fails) {
            // The condition's own failure is the last word; an ignored operand may precede it.
            ASSERT_FALSE(logs.messages(GLOG_ERROR).empty());
            EXPECT_EQ(logs.messages(GLOG_ERROR).back(), r.message);
        } else {
            EXPECT_EQ(logs.messages(GLOG_ERROR), (std::vector<std::string>{r.message}));
        }
    }
}

TEST(Condition, DeepNestingIsRefusedNotCrashed) {
    log_capture logs;
    std::string cond(5000, '!');
    pp_result res = run_pp("#if " + cond + "1\n#endif\n");
    EXPECT_FALSE(res.ok);
    EXPECT_GE(logs.count(GLOG_ERROR), 1u);
}

} // namespace
