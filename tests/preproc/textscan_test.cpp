// The expansion tokenizer: items and argument lists by rows, and against the text grammar run
// by the parsing engine over real, damaged and random texts.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/owned.hpp"
#include "grammars/non_directive_parser.hpp"
#include "peg/ast.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/pptree.hpp"
#include "preproc/textscan.hpp"
#include "support/sample_texts.hpp"

namespace {


const char *kind_name(textscan_kind k) {
    switch (k) {
    case TEXTSCAN_IDENTIFIER:
        return "ident";
    case TEXTSCAN_FUNC:
        return "func";
    case TEXTSCAN_STRING:
        return "string";
    case TEXTSCAN_CHAR:
        return "char";
    default:
        return "other";
    }
}

std::string spans_text(const std::vector<textscan_span> &args) {
    std::string s;
    for (const textscan_span &a : args) {
        s += " " + std::to_string(a.start) + "-" + std::to_string(a.end);
    }
    return s;
}

// One item as text: kind, end and, for an argument list, the argument spans.
std::string scanner_item(textscan_memo *memo, const std::string &text, size_t pos, size_t *end) {
    textscan_item item{};
    EXPECT_TRUE(textscan_next(memo, text.data(), text.size(), pos, &item));
    textscan_call call;
    EXPECT_TRUE(textscan_func(memo, text.data(), text.size(), pos, &call));
    *end = item.end;
    std::string s = std::string(kind_name(item.kind)) + " @" + std::to_string(item.end);
    if (call.matched) {
        s += " list @" + std::to_string(call.end) + spans_text(call.args);
    }
    return s;
}

// The same, as the engine gives it: one parse of the text grammar at `pos`.
std::string engine_item(const parser *p, const std::string &text, size_t pos, size_t *end) {
    input in{};
    input_init(&in, text.data(), text.size());
    in.pos = pos;
    owned<ast, ast_recursive_delete> node{parse(p, &in)};
    *end = in.pos;
    if (node && node->kind == AST_ERROR) {
        return "error";
    }
    const uint64_t type = pptree_type(node.get());
    textscan_kind kind = TEXTSCAN_OTHER;
    if (type == NON_DIRECTIVE_IDENTIFIER) {
        kind = TEXTSCAN_IDENTIFIER;
    } else if (type == NON_DIRECTIVE_FUNC) {
        kind = TEXTSCAN_FUNC;
    } else if (type == NON_DIRECTIVE_STRINGLITERAL) {
        kind = TEXTSCAN_STRING;
    } else if (type == NON_DIRECTIVE_CHARLITERAL) {
        kind = TEXTSCAN_CHAR;
    }
    std::string s = std::string(kind_name(kind)) + " @" + std::to_string(in.pos);
    if (kind == TEXTSCAN_FUNC) {
        std::vector<textscan_span> args;
        for (uint64_t i = 0; i < pptree_count(node.get()); ++i) {
            const ast_tree *a = ast_as_tree(pptree_child(node.get(), i));
            if (a) {
                args.push_back({static_cast<size_t>(a->start), static_cast<size_t>(a->end)});
            }
        }
        s += " list @" + std::to_string(in.pos) + spans_text(args);
    }
    return s;
}

// Compares scanner and engine at every item boundary of `text` (at every position with
// `every`); returns the first difference, or an empty string.
std::string first_difference(const parser *p, const std::string &text, bool every) {
    textscan_memo memo;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t got_end = 0;
        size_t want_end = 0;
        const std::string want = engine_item(p, text, pos, &want_end);
        const std::string got = scanner_item(&memo, text, pos, &got_end);
        if (want != got) {
            const size_t from = pos > 20 ? pos - 20 : 0;
            return "at " + std::to_string(pos) + " (" +
                   ::testing::PrintToString(text.substr(from, 60)) + " from " +
                   std::to_string(from) + "): engine '" + want + "', scanner '" + got + "'";
        }
        if (pos == text.size()) {
            break;
        }
        pos = every ? pos + 1 : std::max(want_end, pos + 1);
    }
    return {};
}

std::vector<std::string> real_texts() {
    return golden_and_corpus_texts();
}

struct lcg {
    uint32_t state;
    uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

// Deterministic damage aimed at the tokenizer: characters that open, close and split argument
// lists and literals, line ends, and flipped bytes.
std::string mutate(const std::string &text, uint32_t seed) {
    static const char pieces[] = "(),\"'\\\n\r \t";
    lcg r{seed * 2654435761u + 7};
    std::string m = text;
    const int edits = 1 + static_cast<int>(r.next() % 4);
    for (int i = 0; i < edits && !m.empty(); ++i) {
        const size_t at = r.next() % m.size();
        switch (r.next() % 3) {
        case 0:
            m.insert(at, 1, pieces[r.next() % (sizeof pieces - 1)]);
            break;
        case 1:
            m[at] = static_cast<char>(m[at] ^ (1u << (r.next() % 7)));
            break;
        default:
            m.erase(at, 1);
        }
    }
    return m;
}

TEST(TextScanEngine, AgreesOnRealAndDamagedTexts) {
    owned<parser, parser_delete> p{non_directive_parser_new()};
    ASSERT_TRUE(p);
    const std::vector<std::string> texts = real_texts();
    ASSERT_GT(texts.size(), 10u) << "the golden inputs were not found";
    for (size_t i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE("text " + std::to_string(i));
        ASSERT_EQ("", first_difference(p.get(), texts[i], false));
        for (uint32_t k = 0; k < 6; ++k) {
            SCOPED_TRACE("mutation " + std::to_string(k));
            ASSERT_EQ("", first_difference(p.get(), mutate(texts[i], 31 * i + k), false));
        }
    }
}

TEST(TextScanEngine, AgreesOnRandomTextsAtEveryPosition) {
    owned<parser, parser_delete> p{non_directive_parser_new()};
    ASSERT_TRUE(p);
    static const char alphabet[] = "a1_.eE0xL\"'\\(), \n\r\t+-";
    lcg r{12345};
    for (int i = 0; i < 4000; ++i) {
        std::string s;
        const size_t len = r.next() % 40;
        for (size_t k = 0; k < len; ++k) {
            s += alphabet[r.next() % (sizeof alphabet - 1)];
        }
        SCOPED_TRACE(::testing::PrintToString(s));
        ASSERT_EQ("", first_difference(p.get(), s, true));
    }
}

// Argument-list shapes with more structure than random text reaches: nesting, literals and
// line ends around separators.
TEST(TextScanEngine, AgreesOnArgumentListShapes) {
    owned<parser, parser_delete> p{non_directive_parser_new()};
    ASSERT_TRUE(p);
    static const char *const parts[] = {"(", ")",  ",",       " ",   "\n",  "\r\n", "a",  "1", "\"",
                                        "'", "\\", "\"x,)\"", "')'", "(b)", ".5e",  "0L", "\t"};
    lcg r{99};
    for (int i = 0; i < 3000; ++i) {
        std::string s = r.next() % 2 ? "F(" : " (";
        const size_t n = r.next() % 14;
        for (size_t k = 0; k < n; ++k) {
            s += parts[r.next() % (sizeof parts / sizeof parts[0])];
        }
        if (r.next() % 3 != 0) {
            s += ")";
        }
        SCOPED_TRACE(::testing::PrintToString(s));
        ASSERT_EQ("", first_difference(p.get(), s, true));
    }
}

struct item_row {
    const char *in;
    textscan_kind kind;
    size_t end;
};

TEST(TextScan, ItemAtStart) {
    const item_row rows[] = {
        {"", TEXTSCAN_OTHER, 0},
        {"abc1 x", TEXTSCAN_IDENTIFIER, 4},
        {"_9", TEXTSCAN_IDENTIFIER, 2},
        {"0L", TEXTSCAN_OTHER, 1},      // a bare 0 takes no suffix: then the name L
        {"07L x", TEXTSCAN_OTHER, 4},   // an octal number takes it
        {"0x1fL+y", TEXTSCAN_OTHER, 6}, // hexadecimal digits and suffix
        {"0xg", TEXTSCAN_OTHER, 1},     // no digit after 0x: 0, then the name xg
        {"1e5", TEXTSCAN_OTHER, 1},     // integers come first: 1, then the name e5
        {"12L;", TEXTSCAN_OTHER, 4},
        {".5e + 3f z", TEXTSCAN_OTHER, 9}, // blanks around an exponent's sign
        {".5e+x", TEXTSCAN_OTHER, 2},      // no exponent digits: the e is a name
        {".5d_", TEXTSCAN_OTHER, 3},
        {"\"a,b\" x", TEXTSCAN_STRING, 5},
        {"\"a\\\"b\"", TEXTSCAN_STRING, 6},
        {"\"ab\nc\"", TEXTSCAN_OTHER, 1}, // not closed on its line: an ordinary character
        {"\"a\\\n\"", TEXTSCAN_OTHER, 1}, // a backslash before a line end ends the attempt
        {"'x'", TEXTSCAN_CHAR, 3},
        {"' ", TEXTSCAN_OTHER, 2},
        {" (a)", TEXTSCAN_FUNC, 4},
        {"\n(a)", TEXTSCAN_FUNC, 4},
        {"((a) + b)", TEXTSCAN_FUNC, 9},
        {"= (a)", TEXTSCAN_OTHER, 1},  // stops before the blank that starts a list
        {"=\n(a)", TEXTSCAN_OTHER, 2}, // but takes a line end before it
        {"= (a", TEXTSCAN_OTHER, 3},   // an unclosed ( is an ordinary character
        {"+ \"s\"", TEXTSCAN_OTHER, 2},
        {"; 1 2 .", TEXTSCAN_OTHER, 7},
    };
    for (const item_row &r : rows) {
        SCOPED_TRACE(::testing::PrintToString(std::string(r.in)));
        textscan_memo memo;
        textscan_item item{};
        const std::string text = r.in;
        ASSERT_TRUE(textscan_next(&memo, text.data(), text.size(), 0, &item));
        EXPECT_EQ(kind_name(r.kind), std::string(kind_name(item.kind)));
        EXPECT_EQ(r.end, item.end);
    }
}

struct list_row {
    const char *in;
    bool matched;
    size_t end;
    const char *args; // spans as " start-end ..."
};

TEST(TextScan, ArgumentList) {
    const list_row rows[] = {
        {"()", true, 2, ""},
        {"( )", true, 3, ""},
        {"(\n)", true, 3, ""},
        {"(,)", true, 3, " 1-1 2-2"},
        {"( , )", true, 5, " 2-2 4-4"},
        {"(a, b)", true, 6, " 1-2 4-5"},
        {"(a  ,b)", true, 7, " 1-4 5-6"}, // trailing blanks stay in the argument
        {"(a \n)", true, 5, " 1-3"},      // a line end before ) does not
        {"(a\n b\n)", true, 7, " 1-5"},   // one inside the argument does
        {"(a\r\n)", true, 5, " 1-2"},
        {"(a\n\n ,b)", true, 8, " 1-2 6-7"},
        {"(\"a,b\", ')')", true, 12, " 1-6 8-11"},
        {"(\"a)\n\")", true, 4, " 1-3"}, // the quote does not close on its line
        {"((a, b), c)", true, 11, " 1-7 9-10"},
        {"((a) + b)", true, 9, " 1-8"},
        {"  \n (x)", true, 7, " 5-6"},
        {"(a (b)", false, 0, ""}, // an unclosed list stays unclosed
        {"(a, (b", false, 0, ""},
        {"(", false, 0, ""},
        {"x(a)", false, 0, ""},
        {"", false, 0, ""},
    };
    for (const list_row &r : rows) {
        SCOPED_TRACE(::testing::PrintToString(std::string(r.in)));
        textscan_memo memo;
        textscan_call call;
        const std::string text = r.in;
        ASSERT_TRUE(textscan_func(&memo, text.data(), text.size(), 0, &call));
        EXPECT_EQ(r.matched, call.matched);
        if (r.matched) {
            EXPECT_EQ(r.end, call.end);
            EXPECT_EQ(std::string(r.args), spans_text(call.args));
        }
    }
}

// The memo answers from distances to the end: after the text before a position is replaced,
// what it knew about the rest still holds and what it knew about the replaced part is gone.
TEST(TextScan, ForgetKeepsTheUnchangedTail) {
    textscan_memo memo;
    std::string text = "= ( x ( y";
    textscan_item item{};
    ASSERT_TRUE(textscan_next(&memo, text.data(), text.size(), 0, &item));
    EXPECT_EQ(4u, item.end); // both ( are unclosed, so ordinary: the run stops at x
    // Replace "= ( x " by "( z)": the new ( stands where the old unclosed one stood (as far
    // from the end) but closes; the tail "( y" is unchanged and still unclosed.
    text = "( z)( y";
    ASSERT_TRUE(textscan_replace(&memo, text.size(), 0, 4, nullptr));
    textscan_call call;
    ASSERT_TRUE(textscan_func(&memo, text.data(), text.size(), 0, &call));
    EXPECT_TRUE(call.matched);
    EXPECT_EQ(4u, call.end);
    ASSERT_TRUE(textscan_func(&memo, text.data(), text.size(), 4, &call));
    EXPECT_FALSE(call.matched);
    // A quote that failed to close is remembered the same way.
    textscan_memo quotes;
    text = "\"\\\"x"; // "\"x: escaped quote, no close
    ASSERT_TRUE(textscan_next(&quotes, text.data(), text.size(), 0, &item));
    EXPECT_EQ(TEXTSCAN_OTHER, item.kind);
    text = "z\"\"x"; // z""x: the quote at 1 now closes
    ASSERT_TRUE(textscan_replace(&quotes, text.size(), 0, 3, nullptr));
    ASSERT_TRUE(textscan_next(&quotes, text.data(), text.size(), 1, &item));
    EXPECT_EQ(TEXTSCAN_STRING, item.kind);
    EXPECT_EQ(3u, item.end);
}

} // namespace
