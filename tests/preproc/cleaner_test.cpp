// The cleaning pass piece by piece: comments, continuations, line ends, blanks and literals.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/glog.hpp"
#include "base/idlstring.hpp"
#include "preproc/cleaner.hpp"
#include "support/log_capture.hpp"

namespace {

struct clean_row {
    const char *name;
    std::string in;
    std::string out;
};

// Cleans `in` in memory; the text is appended after `prefix`, which must stay untouched.
std::string clean(const std::string &in, bool *ok, const std::string &prefix = "") {
    idl_string out = idl_string_strdup(prefix.data(), prefix.size());
    *ok = out.data && idlpreproc_clean_text(in.data(), in.size(), "mem.idl", &out);
    std::string s = out.data ? std::string(out.data, out.len) : std::string();
    idl_string_free(&out);
    return s;
}

size_t line_ends(const std::string &s) {
    size_t n = 0;
    for (char c : s) {
        n += c == '\n';
    }
    return n;
}

// Physical lines of a raw text: CR LF, LF and a lone CR each end one.
size_t raw_lines(const std::string &s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\n' || (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n'))) {
            ++n;
        }
    }
    return n;
}

void expect_clean(const std::vector<clean_row> &rows) {
    for (const clean_row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        bool ok = false;
        std::string got = clean(r.in, &ok);
        ASSERT_TRUE(ok) << ::testing::PrintToString(logs.lines());
        EXPECT_EQ(got, r.out);
        EXPECT_TRUE(logs.empty());
        // Every physical line end of the input is one LF of the output.
        EXPECT_EQ(line_ends(got), raw_lines(r.in));
        EXPECT_EQ(got.find('\r'), std::string::npos);
    }
}

TEST(CleanerPieces, LineComments) {
    expect_clean({
        {"whole line", "// note\nx\n", "\nx\n"},
        {"after text drops the blanks before it", "a   // note\n", "a\n"},
        {"block marks inside are part of it", "a // x /* y\nz */\n", "a\nz */\n"},
        {"string quote inside is part of it", "a // \"x\ny\n", "a\ny\n"},
        {"three slashes", "a ///b\nc\n", "a\nc\n"},
        {"at end of input without line end", "a // x", "a"},
        {"continuation carries it to the next line", "// a \\\n b\nc\n", "\n\nc\n"},
        {"crlf ends it", "a // x\r\nb\r\n", "a\nb\n"},
        {"lone cr ends it", "a // x\rb\n", "a\nb\n"},
        {"single slash is text", "a / b\n", "a / b\n"},
    });
}

TEST(CleanerPieces, BlockComments) {
    expect_clean({
        {"one line, between words", "a/**/b\n", "a    b\n"},
        {"one line, blanks around add up", "a /* c */ b\n", "a         b\n"},
        {"one line, at line end dropped", "a /* c */\n", "a\n"},
        {"one line, at line start", "/* c */x\n", "       x\n"},
        {"two lines", "a /* x\nyy */b\n", "a\n     b\n"},
        {"two lines, text right after", "/*\n*/b\n", "\n  b\n"},
        {"four lines", "a/*\n\n\n*/b\n", "a\n\n\n  b\n"},
        {"crlf inside counts once per line", "a/*\r\n*/b\r\n", "a\n  b\n"},
        {"lone cr inside counts", "a/*\r*/b\n", "a\n  b\n"},
        {"line comment mark inside", "a /* // */ b\n", "a          b\n"},
        {"nested open mark", "a/* /* */b\n", "a        b\n"},
        {"star run closing", "a/***/b\n", "a     b\n"},
        {"unterminated stays text", "a /* b\nc\n", "a /* b\nc\n"},
        {"close without open is text", "a */ b\n", "a */ b\n"},
        {"two comments on one line", "/*a*/x/*b*/y\n", "     x     y\n"},
        {"block then line comment", "a /* b */ // c\nd\n", "a\nd\n"},
    });
}

TEST(CleanerPieces, Continuations) {
    expect_clean({
        {"joins and adds the line after", "a\\\nb\n", "ab\n\n"},
        {"blanks before backslash kept as one run", "a  \\\nb\n", "a  b\n\n"},
        {"blanks after backslash eaten", "a\\ \t \nb\n", "ab\n\n"},
        {"blanks starting the next line kept", "a\\\n   b\n", "a   b\n\n"},
        {"two in a row", "a\\\nb\\\nc\n", "abc\n\n\n"},
        {"crlf after backslash", "a\\\r\nb\r\n", "ab\n\n"},
        {"lone cr after backslash", "a\\\rb\n", "ab\n\n"},
        {"backslash not at line end is text", "a\\b\n", "a\\b\n"},
        {"backslash then text then line end", "a\\ x\n", "a\\ x\n"},
        {"joined directive", "#define X \\\n 1\nX\n", "#define X  1\n\nX\n"},
        {"at end of input keeps its line", "a\\\n", "a\n"},
        {"only a continuation", "\\\n", "\n"},
        {"continuation then block comment over lines", "a\\\nb/*\n*/c\n", "ab\n  c\n\n"},
    });
}

TEST(CleanerPieces, LineEndsAndBlanks) {
    expect_clean({
        {"empty input", "", ""},
        {"only line ends", "\n\n\n", "\n\n\n"},
        {"crlf", "a\r\nb\r\n", "a\nb\n"},
        {"lone cr", "a\rb\r", "a\nb\n"},
        {"cr cr lf is two line ends", "a\r\r\nb\n", "a\n\nb\n"},
        {"lf cr is two line ends", "a\n\rb\n", "a\n\nb\n"},
        {"leading blanks kept", "  \tx\n", "   x\n"},
        {"inner tab run kept by length", "a\t\tb\n", "a  b\n"},
        {"trailing blanks dropped", "a \t \n", "a\n"},
        {"blank-only line empty", " \t \nx\n", "\nx\n"},
        {"last line without line end kept", "a\nb", "a\nb"},
        {"blanks at end of input dropped", "a  ", "a"},
        {"other control bytes are text", "a\vb\f\n", "a\vb\f\n"},
    });
}

TEST(CleanerPieces, LiteralsKeepTheirContents) {
    expect_clean({
        {"line comment mark in string", "s \"a//b\" x\n", "s \"a//b\" x\n"},
        {"block comment in string", "\"/* no */\"\n", "\"/* no */\"\n"},
        {"blank runs and tabs in string", "\"a  \t b \"\n", "\"a  \t b \"\n"},
        {"escaped quote in string", "\"a\\\"//b\" c\n", "\"a\\\"//b\" c\n"},
        {"escaped backslash closes", "\"a\\\\\" // c\n", "\"a\\\\\"\n"},
        {"comment mark in char literal", "'/' '*' x\n", "'/' '*' x\n"},
        {"escaped apostrophe in char literal", "'\\'' // c\n", "'\\''\n"},
        {"quote inside char literal", "'\"' // c\n", "'\"'\n"},
        {"apostrophe inside string", "\"it's // here\"\n", "\"it's // here\"\n"},
        {"apostrophe in a comment", "a // don't\nb\n", "a\nb\n"},
        {"apostrophe in a block comment", "a /* it's */ b\n", "a            b\n"},
        {"blank before literal kept", "x  \"s\"\n", "x  \"s\"\n"},
        {"literal then comment", "\"a\"/*c*/b\n", "\"a\"     b\n"},
        {"unclosed apostrophe is text", "a ' // c\nb\n", "a '\nb\n"},
        {"empty string", "\"\" // x\n", "\"\"\n"},
    });
}

TEST(CleanerPieces, AppendsAfterExistingText) {
    log_capture logs;
    bool ok = false;
    EXPECT_EQ(clean("a // c\n", &ok, "keep\n"), "keep\na\n");
    EXPECT_TRUE(ok);
}

TEST(CleanerPieces, AnyByteIsAccepted) {
    // Every byte value, in and around comments and literals: the pass succeeds and keeps the
    // line count.
    std::string in;
    for (int c = 0; c < 256; ++c) {
        in += static_cast<char>(c);
        in += "x/*";
        in += static_cast<char>(c);
        in += "*/\"";
        in += static_cast<char>(c);
        in += "\"\n";
    }
    log_capture logs;
    bool ok = false;
    std::string got = clean(in, &ok);
    ASSERT_TRUE(ok) << ::testing::PrintToString(logs.lines());
    EXPECT_EQ(line_ends(got), raw_lines(in));
}

TEST(CleanerPieces, UnclosedBlockCommentOverManyLines) {
    // An open mark without a close over thousands of lines: every line end could once be taken
    // two ways inside the comment, doubling the work per line; now the text is kept as is.
    struct row {
        const char *name;
        const char *line;
    };
    const row rows[] = {
        {"lf", "a b\n"},           {"crlf", "a b\r\n"}, {"lone cr", "a b\r"},
        {"continuation", "a\\\n"}, {"quote", "'a\n"},   {"line comment", "x // y\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string in = "x /* open\n";
        for (int i = 0; i < 5000; ++i) {
            in += r.line;
        }
        log_capture logs;
        bool ok = false;
        std::string got = clean(in, &ok);
        ASSERT_TRUE(ok) << ::testing::PrintToString(logs.lines());
        EXPECT_EQ(got.rfind("x /* open\n", 0), 0U);
        EXPECT_EQ(line_ends(got), raw_lines(in));
    }
}

} // namespace
