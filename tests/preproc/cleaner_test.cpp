// The cleaning pass piece by piece (comments, continuations, line ends, blanks, literals), the
// one-pass cleaner against the grammar-driven definition, and reading files.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "base/glog.hpp"
#include "base/idlstring.hpp"
#include "preproc/cleaner.hpp"
#include "support/log_capture.hpp"
#include "support/sample_texts.hpp"

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

//=== the one-pass cleaner against the grammar ===//

namespace fs = std::filesystem;

// What one cleaner made of a text: success, the bytes after a fixed prefix, and the log.
std::string outcome(bool (*cleaner)(const char *, uint64_t, const char *, idl_string *),
                    const std::string &in) {
    log_capture logs;
    idl_string out = idl_string_strdup("P", 1);
    const bool ok = out.data && cleaner(in.data(), in.size(), "mem.idl", &out);
    std::string s = ok ? std::string(out.data, out.len) : "failed";
    if (ok && out.data[out.len] != '\0') {
        s += " (not terminated)";
    }
    idl_string_free(&out);
    for (const std::string &line : logs.lines()) {
        s += "\nlog: " + line;
    }
    return s;
}

// Compares the two cleaners on every text; stops at the first few differences.
void expect_same(const std::vector<std::string> &texts) {
    int failures = 0;
    for (const std::string &t : texts) {
        const std::string want = outcome(idlpreproc_clean_text_by_grammar, t);
        const std::string got = outcome(idlpreproc_clean_text, t);
        EXPECT_EQ(want, got) << "input: " << ::testing::PrintToString(t);
        if (want != got && ++failures == 5) {
            return;
        }
    }
}

struct rng {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// Pieces every rule of the cleaner turns on.
const char k_tricky[] = "/*\\\"' \t\r\na";

TEST(CleanerEquivalence, GoldenAndCorpusFiles) {
    const std::vector<std::string> texts = golden_and_corpus_texts();
    ASSERT_GT(texts.size(), 30U) << "the golden inputs or the corpus were not found";
    expect_same(texts);
}

TEST(CleanerEquivalence, MutatedFiles) {
    // Byte flips and insertions of the bytes the rules turn on, a few per mutant, in every
    // file; each mutant also cut short at the damage, where a piece may lose its end.
    std::vector<std::string> texts;
    rng r{7};
    for (const std::string &text : golden_and_corpus_texts()) {
        if (text.empty()) {
            continue;
        }
        for (int m = 0; m < 30; ++m) {
            std::string t = text;
            size_t at = 0;
            const uint32_t edits = 1 + r.below(4);
            for (uint32_t e = 0; e < edits; ++e) {
                at = r.below(static_cast<uint32_t>(t.size()));
                if (r.below(3) == 0) {
                    t[at] = static_cast<char>(t[at] ^ (1 << r.below(8)));
                } else {
                    t.insert(at, 1, k_tricky[r.below(sizeof k_tricky - 1)]);
                }
            }
            texts.push_back(t.substr(0, at + 1));
            texts.push_back(std::move(t));
        }
    }
    EXPECT_GT(texts.size(), 2000U);
    expect_same(texts);
}

TEST(CleanerEquivalence, RandomStrings) {
    // Short strings over the bytes the rules turn on: every combination of adjacent pieces.
    std::vector<std::string> texts;
    rng r{11};
    for (int i = 0; i < 30000; ++i) {
        std::string t;
        const uint32_t len = r.below(24);
        for (uint32_t k = 0; k < len; ++k) {
            t += k_tricky[r.below(sizeof k_tricky - 1)];
        }
        texts.push_back(std::move(t));
    }
    // Any byte at all among them: no other byte may start a piece.
    for (int i = 0; i < 3000; ++i) {
        std::string t;
        const uint32_t len = r.below(16);
        for (uint32_t k = 0; k < len; ++k) {
            t += r.below(2) ? k_tricky[r.below(sizeof k_tricky - 1)]
                            : static_cast<char>(r.below(256));
        }
        texts.push_back(std::move(t));
    }
    // Longer ones with fewer comment marks, so that comments and literals span many lines.
    const char sparse[] = "/*\\\"' \t\r\naaaaaaaa\n\n";
    for (int i = 0; i < 100; ++i) {
        std::string t;
        const uint32_t len = 200 + r.below(2000);
        for (uint32_t k = 0; k < len; ++k) {
            t += sparse[r.below(sizeof sparse - 1)];
        }
        texts.push_back(std::move(t));
    }
    expect_same(texts);
}

TEST(CleanerEquivalence, CornerCases) {
    expect_same({
        "/*/",
        "/**/",
        "/*/*/",
        "/***/",
        "/*\r\n*/",
        "/*\r*/",
        "/*\n\r*/x",
        "/* \\\n */x",
        "a /*\n*/ b \\\n c\n",
        "// \\ \t\r\nx",
        "// \\",
        "//\\\n\\\nx\n",
        "\\",
        "\\ \t",
        "\\ \t\r",
        "\\\r\n\\\r\n",
        "\"\\",
        "\"\\\"",
        "\"\\\n\"",
        "\"\\\r\"",
        "'\\''",
        "'\\\\'",
        "\"a\" \"b\"",
        "\"/*\" */",
        "'/*' '*/'",
        "\"'\" '\"'",
        "\"\\\"\\\"\\\"",
        "'\\'\\'\\''",
        "x/*a*/\"*/\"",
        "\"/*\"*/",
        "a\"b\nc\"d\n",
        "/* \" */ \"",
        "a\\\n/*\n*/\\\nb",
        "// x /*\n*/",
        "\t \t",
        "x \t",
        "\r\r\n\n\r",
        std::string("a\0b /*\0*/\0", 10),
        "\x80\xff/\x80*\xff*/",
        "a // b\\\n c /* d\n e */ f\n g",
    });
}

TEST(CleanerEquivalence, UnclosedMarksOverLongTexts) {
    // Each row would be quadratic if every opening mark rescanned the rest of the text or the
    // line; the texts are large enough for that to run for minutes.
    struct row {
        const char *name;
        std::string unit;
        int times;
        bool kept; // the text comes out unchanged
    };
    const row rows[] = {
        {"block comment marks", "/* ", 200000, true},
        {"block comment marks on lines", "/* a\n", 100000, true},
        {"escaped quotes on one line", "\"\\", 200000, true},
        {"escaped apostrophes on one line", "'\\", 200000, true},
        {"mixed quotes on one line", "\"\\'\\", 100000, true},
        {"backslash before blanks", "\\    x", 100000, false},
        {"line comment with backslashes", "//\\ \\ \\ x", 50000, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string in;
        for (int i = 0; i < r.times; ++i) {
            in += r.unit;
        }
        in += "x";
        bool ok = false;
        const std::string got = clean(in, &ok);
        ASSERT_TRUE(ok);
        if (r.kept) {
            EXPECT_TRUE(got == in) << "changed";
        }
        EXPECT_EQ(line_ends(got), raw_lines(in));
    }
    // The same at a size the grammar still handles, against the grammar.
    std::vector<std::string> texts;
    for (const row &r : rows) {
        std::string in;
        for (int i = 0; i < 300; ++i) {
            in += r.unit;
        }
        texts.push_back(in + "*/");
        texts.push_back(in + "\"\n");
    }
    expect_same(texts);
}

//=== reading files ===//

class CleanerFile : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vandrel-cleaner-XXXXXX").string();
        ASSERT_NE(nullptr, ::mkdtemp(pattern.data()));
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string write(const std::string &name, const std::string &text) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    fs::path dir_;
};

TEST_F(CleanerFile, CleansLikeTheTextPass) {
    // Sizes around the read buffer's first size and the spare bytes kept after the text.
    std::string big;
    for (int i = 0; big.size() < 300000; ++i) {
        big += "a /* c */ \"s // t\" \\\n b // x\r\n\t'q' /* d\n e */ f\n";
    }
    const std::string texts[] = {"",
                                 "x",
                                 "x\n",
                                 "a\\\n",
                                 std::string(4095, 'y'),
                                 std::string(4096, 'y'),
                                 std::string(4097, 'y'),
                                 big};
    for (const std::string &text : texts) {
        SCOPED_TRACE(text.size());
        const std::string path = write("t.idl", text);
        for (const std::string &prefix : {std::string(), std::string("keep\n")}) {
            log_capture logs;
            bool ok = false;
            const std::string want = clean(text, &ok, prefix);
            ASSERT_TRUE(ok);
            idl_string out = idl_string_strdup(prefix.data(), prefix.size());
            ASSERT_TRUE(idlpreproc_clean_file(path.c_str(), &out));
            EXPECT_TRUE(want == std::string(out.data, out.len));
            EXPECT_EQ('\0', out.data[out.len]);
            // Room for the line end the directive pass may add without growing.
            if (prefix.empty()) {
                EXPECT_GE(out.capacity, out.len + 2);
            }
            ASSERT_TRUE(idl_string_append_char(&out, '\n'));
            idl_string_free(&out);
            EXPECT_TRUE(logs.empty());
        }
    }
}

TEST_F(CleanerFile, ReadsStreamsOfUnknownSize) {
    // A pipe has no size: the text is read in growing steps.
    const fs::path fifo = dir_ / "p.idl";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        text += "line /* " + std::to_string(i) + " */ x\n";
    }
    std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << text; });
    idl_string out = idl_string_strdup("", 0);
    log_capture logs;
    const bool ok = idlpreproc_clean_file(fifo.c_str(), &out);
    writer.join();
    ASSERT_TRUE(ok);
    bool text_ok = false;
    EXPECT_TRUE(clean(text, &text_ok) == std::string(out.data, out.len));
    idl_string_free(&out);
}

TEST_F(CleanerFile, UnreadableFilesFailWithOneRecord) {
    fs::create_directory(dir_ / "d.idl");
    struct row {
        std::string path;
        std::string line;
    };
    const row rows[] = {
        {(dir_ / "missing.idl").string(),
         "E Unable to open file: " + (dir_ / "missing.idl").string()},
        {(dir_ / "d.idl").string(), "E Failed to create input"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.path);
        log_capture logs;
        idl_string out = idl_string_strdup("", 0);
        EXPECT_FALSE(idlpreproc_clean_file(r.path.c_str(), &out));
        idl_string_free(&out);
        EXPECT_EQ(std::vector<std::string>{r.line}, logs.lines());
    }
}

} // namespace
