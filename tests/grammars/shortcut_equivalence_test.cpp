// The matcher's shortcuts (memoising one rule of every cycle of calls, failing early on
// impossible first bytes, byte rules taken in place, chains taken in one pass) must not change
// any observable result: every grammar, run with and without them over real and mutated
// inputs, gives the same trees, error records and end positions. The tables the shortcuts
// read are written into the generated grammars; they must be what the engine computes.
#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/owned.hpp"
#include "grammars/directive_parser.hpp"
#include "grammars/idl_parser.hpp"
#include "grammars/idlcleaner_parser.hpp"
#include "grammars/ifexpr_parser.hpp"
#include "grammars/non_directive_parser.hpp"
#include "peg/ast.hpp"
#include "peg/grammar_analysis.hpp"
#include "peg/input.hpp"
#include "peg/memory.hpp"
#include "peg/parser.hpp"
#include "support/tree_text.hpp"
#include "support/sample_texts.hpp"

namespace {


struct grammar_row {
    const char *name;
    parser *(*make)();
    const char *const *names;
    std::uint64_t name_count;
    bool per_line; // the preprocessor hands this grammar one line at a time
    bool per_item; // the preprocessor parses one item per call, moving on from where it ended
};

const grammar_row grammars[] = {
    {"idl", idl_parser_new, idl_type_strings, idl_type_count, false, false},
    {"idlcleaner", idlcleaner_parser_new, idlcleaner_type_strings, idlcleaner_type_count, false,
     false},
    {"directive", directive_parser_new, directive_type_strings, directive_type_count, true, false},
    {"non_directive", non_directive_parser_new, non_directive_type_strings,
     non_directive_type_count, false, true},
    {"ifexpr", ifexpr_parser_new, ifexpr_type_strings, ifexpr_type_count, true, false},
};

// One parse rendered with its end position, so two runs compare as strings.
std::string parse_once(const parser *p, const grammar_row &g, const std::string &text,
                       std::uint64_t from, std::uint64_t *end) {
    input in{};
    input_init(&in, text.data(), text.size());
    in.pos = from;
    owned<ast, ast_recursive_delete> root{parse(p, &in)};
    *end = in.pos;
    std::string out = tree_text(root.get(), g.names, g.name_count, text);
    if (root->kind == AST_ERROR) {
        const ast_error *e = reinterpret_cast<const ast_error *>(root->data);
        out += " type=" + std::to_string(e->type);
    }
    return out + " @" + std::to_string(in.pos) + "\n";
}

// Every result the preprocessor or translator would see for this text.
std::string run_all(const parser *p, const grammar_row &g, const std::string &text) {
    std::string out;
    std::uint64_t end = 0;
    if (g.per_item) {
        std::uint64_t pos = 0;
        while (pos < text.size()) {
            out += parse_once(p, g, text, pos, &end);
            pos = end > pos ? end : pos + 1;
        }
        return out;
    }
    if (g.per_line) {
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line))
            out += parse_once(p, g, line + "\n", 0, &end);
        return out;
    }
    return parse_once(p, g, text, 0, &end);
}

std::vector<std::string> sample_texts() {
    std::vector<std::string> texts = {
        "",
        "module M { struct P { long a[(N)]; }; };\n",
        "#if !defined(X) && (A << 3) > 1\n#define F(a, b) a##b\nF((x) + y, \"s,t\")\n#endif\n",
        "/* open comment\n// line\n\"lit // kept\" x \\\n y\r\n",
        "const long X = 1 | 2 ^ 3 & 4 << 5 + 6 * -7;\nunion U switch (long) { case 1: long a; };\n",
    };
    for (std::string &text : golden_and_corpus_texts())
        texts.push_back(std::move(text));
    return texts;
}

// Deterministic damage: deletions, insertions of token characters, and truncations, which
// move the farthest failure around.
std::vector<std::string> mutations(const std::string &text, std::uint32_t seed) {
    static const char pieces[] = "{}()[]<>;:,=#'\"\\/*\n @x1";
    std::vector<std::string> out;
    std::uint32_t state = seed * 2654435761u + 1;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (int i = 0; i < 6 && !text.empty(); ++i) {
        std::string m = text;
        const std::size_t at = next() % m.size();
        switch (next() % 3) {
        case 0:
            m.erase(at, 1 + next() % 3);
            break;
        case 1:
            m.insert(at, 1, pieces[next() % (sizeof pieces - 1)]);
            break;
        default:
            m.resize(at);
        }
        out.push_back(std::move(m));
    }
    return out;
}

TEST(MatcherShortcuts, GeneratedTablesEqualTheRunTimeAnalysis) {
    for (const grammar_row &g : grammars) {
        SCOPED_TRACE(g.name);
        owned<parser, parser_delete> p{g.make()};
        ASSERT_TRUE(p);
        EXPECT_TRUE(p->static_records);
        ASSERT_NE(nullptr, p->memo);
        ASSERT_NE(nullptr, p->starts);
        const std::uint64_t n = p->automaton_count;
        std::uint8_t *memo = parser_memo_flags_new(p->automata, n);
        std::uint64_t *starts = parser_start_table_new(p->automata, n);
        ASSERT_NE(nullptr, memo);
        ASSERT_NE(nullptr, starts);
        EXPECT_EQ(std::vector<std::uint8_t>(memo, memo + n),
                  std::vector<std::uint8_t>(p->memo, p->memo + n));
        for (std::uint64_t a = 0; a < n; ++a) {
            SCOPED_TRACE(a);
            EXPECT_EQ(std::vector<std::uint64_t>(starts + a * peg_start_words,
                                                 starts + (a + 1) * peg_start_words),
                      std::vector<std::uint64_t>(p->starts + a * peg_start_words,
                                                 p->starts + (a + 1) * peg_start_words));
        }
        peg_free(memo);
        peg_free(starts);
    }
}

TEST(MatcherShortcuts, ChangeNoObservableResult) {
    std::vector<std::string> texts = sample_texts();
    const std::size_t originals = texts.size();
    for (std::size_t i = 0; i < originals; ++i)
        for (std::string &m : mutations(texts[i], static_cast<std::uint32_t>(i)))
            texts.push_back(std::move(m));
    ASSERT_GT(originals, 10u) << "the golden inputs were not found";

    for (const grammar_row &g : grammars) {
        owned<parser, parser_delete> fast{g.make()};
        owned<parser, parser_delete> plain{g.make()};
        ASSERT_TRUE(fast && plain);
        ASSERT_NE(nullptr, fast->memo) << g.name << ": no shortcut table was built";
        // The plain copy runs without its tables: every rule memoised, no early failure.
        const std::uint8_t *memo = plain->memo;
        const std::uint64_t *starts = plain->starts;
        plain->memo = nullptr;
        plain->starts = nullptr;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            SCOPED_TRACE(std::string(g.name) + " text " + std::to_string(i));
            const std::string want = run_all(plain.get(), g, texts[i]);
            const std::string got = run_all(fast.get(), g, texts[i]);
            ASSERT_EQ(want, got);
        }
        plain->memo = memo;
        plain->starts = starts;
    }
}

} // namespace
