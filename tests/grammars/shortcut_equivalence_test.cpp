// The matcher's shortcuts (memoising one rule of every cycle of calls, failing early on
// impossible first bytes, byte rules taken in place, chains taken in one pass) must not change
// any observable result: every grammar, run with and without them over real and mutated
// inputs, gives the same trees, error records and end positions. The tables the shortcuts
// read are written into the generated grammars; they must be what the engine computes.
#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
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
#include "peg/vector.hpp"
#include "support/sample_texts.hpp"
#include "support/tree_text.hpp"

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
        "@a(1) module A { module B {}; @final struct S { long x; }; module C { }; }; module D {};",
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

// The token types among collected types, sorted.
std::vector<std::uint64_t> tokens_of(const std::uint64_t *types, std::uint64_t n) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t t = types[i];
        const bool token = (t >= IDL_SEMICOLON && t <= IDL_KW_UINT64) || t == IDL_IDENTIFIER ||
                           t == IDL_SCOPED_NAME ||
                           (t >= IDL_INTEGER_LITERAL && t <= IDL_BOOLEAN_LITERAL &&
                            t != IDL_FIXED_PT_LITERAL); // a wrapper: its callee's failure
                                                        // names the same literal
        if (token)
            out.push_back(t);
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(MatcherShortcuts, ExpectedSetsAtTheFarthestFailureAreComplete) {
    // At the position it collects, the matcher takes no shortcut: every token a run without
    // any shortcut expects there (punctuation, keywords, names, literals) is reported too,
    // and so is every rule above them: a failed rule's record on behalf of its caller, which
    // a rule taken in one pass or a memo hit would not repeat, is not collected.
    std::vector<std::string> texts = sample_texts();
    const std::size_t originals = texts.size();
    for (std::size_t i = 0; i < originals; ++i)
        for (std::string &m : mutations(texts[i], static_cast<std::uint32_t>(i + 7)))
            texts.push_back(std::move(m));
    owned<parser, parser_delete> fast{idl_parser_new()};
    owned<parser, parser_delete> plain{idl_parser_new()};
    ASSERT_TRUE(fast && plain);
    const std::uint8_t *memo = plain->memo;
    const std::uint64_t *starts = plain->starts;
    plain->memo = nullptr;
    plain->starts = nullptr;
    std::size_t failures = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE("text " + std::to_string(i));
        const std::string &text = texts[i];
        input in{};
        input_init(&in, text.data(), text.size());
        owned<ast, ast_recursive_delete> root{parse(fast.get(), &in)};
        const ast_error *e = ast_as_error(root.get());
        if (e == nullptr)
            continue;
        ++failures;
        // The farthest failure and a position before it (the start of its line).
        std::uint64_t line_start = e->pos > e->column ? e->pos - e->column : 0;
        for (const std::uint64_t at : {e->pos, line_start}) {
            // Room for every node type: nothing is cut off.
            std::uint64_t want[512];
            std::uint64_t got[512];
            in.pos = 0;
            const std::uint64_t n = parse_expected(plain.get(), &in, at, want, 512);
            const std::uint64_t m = parse_expected(fast.get(), &in, at, got, 512);
            EXPECT_EQ(0u, in.pos);
            ASSERT_EQ(tokens_of(want, n), tokens_of(got, m));
            std::sort(want, want + n);
            std::sort(got, got + m);
            ASSERT_EQ(std::vector<std::uint64_t>(want, want + n),
                      std::vector<std::uint64_t>(got, got + m));
            if (at == e->pos) {
                // The farthest failure was recorded there, so something was expected.
                EXPECT_GT(m, 0u);
                EXPECT_NE(std::find(got, got + m, e->type), got + m);
            }
        }
    }
    EXPECT_GT(failures, 10u);
    plain->memo = memo;
    plain->starts = starts;
}

void render_part(const ast *part, void *context) {
    auto *out = static_cast<std::pair<const std::string *, std::string> *>(context);
    out->second += tree_text(part, idl_type_strings, idl_type_count, *out->first) + "\n";
}

// The events of parse_parts_nested put back together as the trees they stand for.
struct nested_text {
    const std::string *text;
    std::string out;
    std::vector<std::string> open;
};

void render_event(parse_part_event event, const ast *node, void *context) {
    auto *r = static_cast<nested_text *>(context);
    std::string piece;
    if (event == PART_ITEM) {
        piece = tree_text(node, idl_type_strings, idl_type_count, *r->text);
    } else {
        const ast_tree *t = ast_as_tree(node);
        if (event == PART_OPEN)
            r->open.push_back("(" + std::string(idl_type_strings[t->type]));
        for (std::uint64_t k = 0; k < t->children->count; ++k)
            r->open.back() += " " + tree_text(static_cast<const ast *>(t->children->items[k]),
                                              idl_type_strings, idl_type_count, *r->text);
        if (event == PART_OPEN)
            return;
        piece = r->open.back() + ")";
        r->open.pop_back();
    }
    if (r->open.empty())
        r->out += piece + "\n";
    else
        r->open.back() += " " + piece;
}

// A file parsed definition by definition hands over exactly the children of its whole parse,
// and succeeds exactly where the whole parse does; so does one whose modules are handed over
// head, definitions and end; a start rule of another shape is refused.
TEST(MatcherParts, AreTheChildrenOfTheWholeParse) {
    std::vector<std::string> texts = sample_texts();
    const std::size_t originals = texts.size();
    for (std::size_t i = 0; i < originals; ++i)
        for (std::string &m : mutations(texts[i], static_cast<std::uint32_t>(i) + 7))
            texts.push_back(std::move(m));
    owned<parser, parser_delete> p{idl_parser_new()};
    ASSERT_TRUE(p);
    std::size_t parsed = 0;
    for (const std::string &text : texts) {
        SCOPED_TRACE(text.substr(0, 80));
        input in{};
        input_init(&in, text.data(), text.size());
        owned<ast, ast_recursive_delete> root{parse(p.get(), &in)};
        const std::uint64_t end = in.pos;
        std::string want;
        if (const ast_tree *t = ast_as_tree(root.get()))
            for (std::uint64_t k = 0; k < t->children->count; ++k)
                want += tree_text(static_cast<const ast *>(t->children->items[k]), idl_type_strings,
                                  idl_type_count, text) +
                        "\n";
        std::pair<const std::string *, std::string> got{&text, ""};
        input_init(&in, text.data(), text.size());
        const bool ok = parse_parts(p.get(), &in, render_part, &got);
        ASSERT_EQ(root->kind != AST_ERROR, ok);
        parsed += ok ? 1 : 0;
        if (ok) {
            EXPECT_EQ(want, got.second);
            EXPECT_EQ(end, in.pos);
        } else {
            EXPECT_EQ(0u, in.pos);
        }
        nested_text nested{&text, "", {}};
        input_init(&in, text.data(), text.size());
        ASSERT_EQ(ok, parse_parts_nested(p.get(), &in, render_event, &nested));
        if (ok) {
            EXPECT_EQ(want, nested.out);
            EXPECT_EQ(end, in.pos);
        }
    }
    EXPECT_GT(parsed, originals / 2);
    EXPECT_LT(parsed, texts.size());

    owned<parser, parser_delete> other{ifexpr_parser_new()};
    const std::string line = "defined(X) && 1\n";
    input in{};
    input_init(&in, line.data(), line.size());
    std::pair<const std::string *, std::string> none{&line, ""};
    EXPECT_FALSE(parse_parts(other.get(), &in, render_part, &none));
    EXPECT_EQ("", none.second);
}

} // namespace
