// Cleaning, the directive pass, conditional sections and include markers, end to end.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/glog.hpp"
#include "base/linkedlist.hpp"
#include "peg/memory.hpp"
#include "pp_helper.hpp"
#include "preproc/preproc.hpp"
#include "support/log_capture.hpp"

namespace {

struct text_row {
    const char *name;
    std::string in;
    std::string out;
};

void expect_rows(const std::vector<text_row> &rows) {
    for (const text_row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        pp_result res = run_pp(r.in);
        ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
        EXPECT_EQ(res.text, r.out);
    }
}

TEST(Cleaner, KeepsLineStructure) {
    expect_rows({
        {"line comment", "a // c\nb\n", "a\nb\n"},
        {"one-line block comment becomes blanks", "a/* c */b\n", "a       b\n"},
        {"block comment over three lines", "a /* x\ny\nzz */b\n", "a\n\n     b\n"},
        {"continuation joins, adds line after", "a \\\nb\nc\n", "a b\n\nc\n"},
        {"continuation with trailing blanks", "a\\  \nb\n", "ab\n\n"},
        {"continuation at end of file keeps the line", "a\\\n", "a\n"},
        {"crlf and lone cr", "a\r\nb\rc\n", "a\nb\nc\n"},
        {"blank run kept by length, trailing dropped", "a \t b   \n", "a   b\n"},
        {"unterminated block comment is text", "a /* b\n", "a /* b\n"},
        {"comment marks inside string literal kept", "x \"http://h\" y\n", "x \"http://h\" y\n"},
        {"tabs inside literal kept", "\"a\t\tb\" '/'\n", "\"a\t\tb\" '/'\n"},
        {"quote not closing on its line is text", "a \" // c\nb\n", "a \"\nb\n"},
        {"line comment with continuation drops the next line", "a // c \\\nb\nc\n", "a\n\nc\n"},
    });
}

TEST(DirectivePass, BlanksDirectivesAndMarksIncludes) {
    expect_rows({
        {"define blanked", "#define X 1\nX\n", "           \n1\n"},
        {"leading blanks before and after hash", "  #  define X 1\nX\n", "               \n1\n"},
        {"quoted include becomes marker", "a\nb\n#include \"types.idl\"\n",
         "a\nb\nmodule types_2eidlIiNnCcLlUuDdEe {};\n"},
        {"angle include becomes marker", "#include <dds/Core.idl>\n",
         "module dds_2fCore_2eidlIiNnCcLlUuDdEe {};\n"},
        {"angle include with blanks", "  #  include   <a.idl>  \n",
         "module a_2eidlIiNnCcLlUuDdEe {};\n"},
        // Only conditional directives are read in a skipped group; the rest is skipped unread.
        {"skipped group reads no other directive",
         "#if defined FEATURES\n#include FEATURES\n#error x\n#if garbage (\n#endif\n#endif\nx\n",
         "                    \n                 \n        \n             \n      \n      \nx\n"},
        {"else of a skipped chain selects", "#ifdef NO\n#bogus\n#else\ny\n#endif\n",
         "         \n      \n     \ny\n      \n"},
        {"include in skipped section is blanked", "#if 0\n#include \"a.idl\"\n#endif\n",
         "     \n                \n      \n"},
        {"pragma blanked", "#pragma once\nx\n", "            \nx\n"},
        {"final endif without newline", "#ifdef Q\nx\n#endif", "        \n \n      "},
        {"final define without newline acts", "#define X 2", "           "},
        {"final include without newline", "#include \"a.idl\"", "module a_2eidlIiNnCcLlUuDdEe {};"},
    });
}

struct fail_row {
    const char *name;
    std::string in;
    std::string message; // "%PATH%" stands for the resolved path
};

void expect_failures(const std::vector<fail_row> &rows) {
    for (const fail_row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        pp_result res = run_pp(r.in);
        EXPECT_FALSE(res.ok);
        std::string msg = r.message;
        size_t at = msg.find("%PATH%");
        if (at != std::string::npos) {
            msg.replace(at, 6, res.path);
        }
        EXPECT_TRUE(logs.has(GLOG_ERROR, msg));
        EXPECT_EQ(logs.count(GLOG_ERROR), 1u) << ::testing::PrintToString(logs.lines());
    }
}

TEST(DirectivePass, ReportsFailuresWithPathAndLine) {
    expect_failures({
        {"unknown directive", "a\n#line 3\n", "Invalid directive: %PATH%:2: #line"},
        {"misspelt directive named", "a\n  # incldue \"x.idl\"\n",
         "Invalid directive: %PATH%:2: #incldue; did you mean '#include'?"},
        {"directive without a word", "#!x\n", "Invalid directive: %PATH%:1: #!x"},
        {"line counted across include marker", "#include \"a.idl\"\nb\n#Define X\n",
         "Invalid directive: %PATH%:3: #Define; did you mean '#define'?"},
        {"trailing text after include", "#include \"a.idl\" x\n",
         "Invalid directive: %PATH%:1: #include"},
        {"empty include path", "\n#include \"\"\n", "Empty include path: %PATH%:2"},
        {"empty angle include path", "\n\n#include <>\n", "Empty include path: %PATH%:3"},
        {"unterminated if names its line", "x\n#if 1\nx\n", "unterminated #if: %PATH%:2"},
        {"innermost open chain named", "#if 1\n#ifdef A\n#endif\n#ifndef B\n",
         "unterminated #if: %PATH%:4"},
        {"skipped chain left open", "#if 0\n#if garbage (\n#endif\n", "unterminated #if: %PATH%:1"},
        {"endif without if", "#endif\n", "#endif without #if"},
        {"else without if", "#else\n", "#else without #if"},
        {"elif without if", "#elif 1\n", "#elif without #if"},
    });
}

TEST(DirectivePass, PragmaWarnsOnlyOutsideSkippedSections) {
    log_capture logs;
    pp_result res = run_pp("#pragma pack(1)\n#if 0\n#pragma x\n#endif\n#pragma keylist A b\n");
    ASSERT_TRUE(res.ok);
    EXPECT_EQ(logs.messages(GLOG_WARN),
              (std::vector<std::string>{"Ignoring #pragma: " + res.path + ":1"}));
}

namespace {

// A kept pragma as the test compares it: text, file line, column, output line, and the output
// line after its own, without leading blanks.
struct kept_pragma {
    std::string text;
    uint64_t line;
    uint64_t column;
    uint64_t output_line;
    std::string at;
    bool operator==(const kept_pragma &o) const {
        return text == o.text && line == o.line && column == o.column &&
               output_line == o.output_line && at == o.at;
    }
};

std::ostream &operator<<(std::ostream &os, const kept_pragma &p) {
    return os << "{" << p.text << ", " << p.line << ":" << p.column << ", out " << p.output_line
              << ", \"" << p.at << "\"}";
}

std::vector<kept_pragma> kept_pragmas(const std::string &text) {
    std::string path = ::testing::TempDir() + "pp_pragma_" + std::to_string(getpid()) + ".idl";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f == nullptr) {
        return {};
    }
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    std::vector<kept_pragma> kept;
    preproc_root root{};
    if (preproc_root_init(&root, nullptr, nullptr) && zadozeda_preproc(&root, path.c_str())) {
        const std::string out(root.output.data, root.output.len);
        for (pn_linkedlist_node *n = root.pragmas->head; n != nullptr; n = n->next) {
            const auto *p = static_cast<const preproc_pragma *>(n->element);
            EXPECT_EQ(std::string(p->path).back(), 'l'); // the resolved file path
            // The offset is a line start, that line is the blanked directive.
            EXPECT_TRUE(p->offset == 0 || out[p->offset - 1] == '\n');
            const std::size_t end = std::min(out.find('\n', p->offset), out.size());
            EXPECT_EQ(out.find_first_not_of(' ', p->offset), end);
            const std::size_t next_end = std::min(out.find('\n', end + 1), out.size());
            std::string next = end < out.size() ? out.substr(end + 1, next_end - end - 1) : "";
            next.erase(0, next.find_first_not_of(' ') == std::string::npos
                              ? next.size()
                              : next.find_first_not_of(' '));
            kept.push_back({p->text, p->line, p->column, p->output_line, next});
        }
    } else {
        ADD_FAILURE() << "preprocessing failed";
    }
    preproc_root_fini(&root);
    std::remove(path.c_str());
    return kept;
}

} // namespace

TEST(DirectivePass, KeyPragmasAreKeptWithTheirPlace) {
    // Expansion changes the byte offsets of the text after it; each kept pragma still points at
    // the start of its own (blanked) line, so the next line follows it.
    log_capture logs;
    const std::vector<kept_pragma> kept = kept_pragmas("#define LONG_NAME_OF_A_TYPE long\n"
                                                       "struct S { LONG_NAME_OF_A_TYPE id; };\n"
                                                       "  #  pragma   keylist S id  \n"
                                                       "struct T { LONG_NAME_OF_A_TYPE a; };\n"
                                                       "#if 0\n#pragma keylist Skipped x\n#endif\n"
                                                       "#pragma DCPS_DATA_TYPE \"M::T\"\n"
                                                       "#pragma DCPS_DATA_KEY \"M::T a\"\r\n"
                                                       "#pragma keylistx T\n"
                                                       "#pragma keylist\n"
                                                       "end\n");
    EXPECT_EQ(kept, (std::vector<kept_pragma>{
                        {"keylist S id", 3, 15, 3, "struct T { long a; };"},
                        {"DCPS_DATA_TYPE \"M::T\"", 8, 9, 8, ""},
                        {"DCPS_DATA_KEY \"M::T a\"", 9, 9, 9, ""},
                        {"keylist", 11, 9, 11, "end"},
                    }));
    EXPECT_EQ(logs.lines().size(), 1u) << ::testing::PrintToString(logs.lines());
    EXPECT_TRUE(logs.has_part(GLOG_WARN, "Ignoring #pragma: "));
}

TEST(DirectivePass, PragmaWordDecidesWhatIsKept) {
    struct row {
        const char *text;
        bool kept;
    };
    const row rows[] = {
        {"keylist T id", true},
        {"keylist", true},
        {"keylist\tT", true},
        {"DCPS_DATA_TYPE \"T\"", true},
        {"DCPS_DATA_KEY \"T k\"", true},
        {"keylists T", false},
        {"Keylist T id", false},
        {"once", false},
        {"", false},
        {"dcps_data_key T", false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.kept, preproc_pragma_declares_keys(r.text, std::strlen(r.text)));
    }
}

TEST(DirectivePass, MissingFileIsReported) {
    log_capture logs;
    preproc_root root{};
    ASSERT_TRUE(preproc_root_init(&root, nullptr, nullptr));
    EXPECT_FALSE(zadozeda_preproc(&root, "/nonexistent/dir/x.idl"));
    EXPECT_TRUE(logs.has(GLOG_ERROR, "Failed to find file: /nonexistent/dir/x.idl"));
    preproc_root_fini(&root);
    preproc_root_fini(&root); // a released state may be released again
}

TEST(Conditionals, SelectGroups) {
    expect_rows({
        {"if 0 else", "#if 0\nA\n#else\nB\n#endif\n", "     \n \n     \nB\n      \n"},
        {"elif not evaluated after taken group", "#if 1\nA\n#elif 1.5\nB\n#endif\n",
         "     \nA\n         \n \n      \n"},
        {"nested if in skipped group not evaluated", "#if 0\n#if 1.0\nA\n#endif\n#endif\n",
         "     \n       \n \n      \n      \n"},
        {"define in skipped group ignored", "#if 0\n#define X 1\n#endif\n#ifdef X\nY\n#endif\n",
         "     \n           \n      \n        \n \n      \n"},
        {"ifdef above define false, below true",
         "#ifdef X\nA\n#endif\n#define X 1\n#ifdef X\nB\n#endif\n",
         "        \n \n      \n           \n        \nB\n      \n"},
        {"ifndef", "#ifndef X\nA\n#endif\n", "         \nA\n      \n"},
        {"elif chain picks first true", "#if 0\nA\n#elif 1\nB\n#elif 1\nC\n#else\nD\n#endif\n",
         "     \n \n       \nB\n       \n \n     \n \n      \n"},
        {"undef ends definition for later conditions", "#define X\n#undef X\n#ifdef X\nA\n#endif\n",
         "         \n        \n        \n \n      \n"},
        {"undef of unknown name accepted", "#undef NOPE\nx\n", "           \nx\n"},
    });
}

TEST(Conditionals, SecondElseWarnsAndSkips) {
    log_capture logs;
    pp_result res = run_pp("#if 0\nA\n#else\nB\n#else\nC\n#endif\n");
    ASSERT_TRUE(res.ok);
    EXPECT_EQ(res.text, "     \n \n     \nB\n     \n \n      \n");
    EXPECT_EQ(logs.messages(GLOG_ERROR), (std::vector<std::string>{"#else after #else"}));
}

TEST(IncludeMarker, RoundTripsAwkwardPaths) {
    const std::vector<std::string> paths = {
        "types.idl",
        "dir/sub/foo.idl",
        "../common/types.idl",
        "a.b.idl",
        "my_types.idl",
        "types",
        "./types",
        "IiNnCcLlUuDdEe.idl",
        "2d.idl",
        "sp ace\\x.idl",
        std::string("nul\0byte", 8),
        "\xff\x80\x01",
        std::string(600, 'p') + ".idl",
        "I",
    };
    for (const std::string &p : paths) {
        SCOPED_TRACE(p);
        idl_string name = idl_string_strdup("", 0);
        ASSERT_TRUE(preproc_include_marker_encode(p.data(), p.size(), &name));
        std::string n(name.data, name.len);
        idl_string_free(&name);
        // A valid IDL identifier holding the suffix exactly once, at its end.
        ASSERT_FALSE(n.empty());
        EXPECT_FALSE(n[0] >= '0' && n[0] <= '9');
        for (char c : n) {
            EXPECT_TRUE(isalnum(static_cast<unsigned char>(c)) || c == '_') << n;
        }
        EXPECT_EQ(n.find(PREPROC_MARKER_SUFFIX), n.size() - 14);
        std::vector<char> out(n.size() + 1);
        ASSERT_EQ(preproc_include_marker_decode(n.data(), n.size(), out.data()),
                  static_cast<int64_t>(p.size()));
        EXPECT_EQ(std::string(out.data(), p.size()), p);
    }
}

TEST(IncludeMarker, DecodeRejectsNonMarkers) {
    const char *names[] = {
        "Plain", "IiNnCcLlUuDdEe", "a_zzIiNnCcLlUuDdEe", "a_2IiNnCcLlUuDdEe", "aIxIiNnCcLlUuDdEe",
        "ab_"};
    for (const char *n : names) {
        SCOPED_TRACE(n);
        std::vector<char> out(strlen(n) + 1);
        EXPECT_EQ(preproc_include_marker_decode(n, strlen(n), out.data()), -1);
    }
    idl_string s = idl_string_strdup("", 0);
    log_capture logs;
    EXPECT_FALSE(preproc_include_marker_encode("", 0, &s));
    idl_string_free(&s);
}

TEST(PreprocRoot, PredefinedMacrosAreCopied) {
    pn_linkedlist *list = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
    ASSERT_NE(list, nullptr);
    preproc_macro *a = preproc_macro_create_object("SIZE", "8");
    preproc_macro *b = preproc_macro_create_object("EMPTY", nullptr);
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(list->add(list, a));
    ASSERT_TRUE(list->add(list, b));
    pp_result res = run_pp("long x[SIZE];EMPTY\n#ifdef EMPTY\nyes\n#endif\n", list);
    // The state copied the records: the caller's still stand after the state is gone.
    EXPECT_STREQ(a->name.data, "SIZE");
    preproc_macro_destroy(a);
    preproc_macro_destroy(b);
    pn_linkedlist_destroy(list);
    ASSERT_TRUE(res.ok);
    EXPECT_EQ(res.text, "long x[8];\n            \nyes\n      \n");
}

TEST(PreprocRoot, ReleaseAcceptsZeroState) {
    preproc_root root{};
    preproc_root_fini(&root);
    preproc_root_fini(nullptr);
    preproc_macro_destroy(nullptr);
    EXPECT_EQ(root.output.data, nullptr);
}

TEST(PreprocRoot, LargeInputKeepsLineCount) {
    std::string in;
    for (int i = 0; i < 2000; ++i) {
        in += "#define M" + std::to_string(i % 50) + " " + std::to_string(i) + "\n";
        in += "long a" + std::to_string(i) + "[M" + std::to_string(i % 50) + "]; // x\n";
    }
    log_capture logs;
    pp_result res = run_pp(in);
    ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
    EXPECT_EQ(pp_lines(res.text), 4000u);
    EXPECT_NE(res.text.find("long a1999[1999];"), std::string::npos);
    EXPECT_NE(res.text.find("long a0[0];"), std::string::npos);
}

} // namespace

namespace {

// Engine allocator that fails every allocation after the first `budget` ones.
long g_engine_budget = -1;
void *budget_malloc(size_t n) {
    return g_engine_budget < 0 || g_engine_budget-- > 0 ? std::malloc(n) : nullptr;
}
void *budget_calloc(size_t c, size_t n) {
    return g_engine_budget < 0 || g_engine_budget-- > 0 ? std::calloc(c, n) : nullptr;
}
void *budget_realloc(void *p, size_t n) {
    return g_engine_budget < 0 || g_engine_budget-- > 0 ? std::realloc(p, n) : nullptr;
}

} // namespace

TEST(DirectivePass, EngineOutOfMemoryIsNotReportedAsBadInput) {
    // Every point where the engine can run out of memory while the directives and conditions
    // are parsed: the engine reports it once, and the preprocessor must not add a second,
    // false record claiming the directive or the condition was malformed.
    const std::string text = "#define A 1\n#if defined(A) && A + 1 > 1\nstruct S { long a; };\n"
                             "#endif\n#ifdef A\n#pragma keylist S a\n#endif\n";
    bool saw_failure = false;
    for (long budget = 0; budget < 400; ++budget) {
        SCOPED_TRACE(budget);
        log_capture logs;
        g_engine_budget = budget;
        peg_set_mem_func(budget_malloc, nullptr, budget_calloc, budget_realloc);
        const pp_result res = run_pp(text);
        peg_set_mem_func(nullptr, nullptr, nullptr, nullptr);
        g_engine_budget = -1;
        if (res.ok) {
            continue;
        }
        saw_failure = true;
        EXPECT_FALSE(logs.has_part(GLOG_ERROR, "Invalid directive"));
        EXPECT_FALSE(logs.has_part(GLOG_ERROR, "Failed to parse if expression"));
    }
    EXPECT_TRUE(saw_failure);
}
