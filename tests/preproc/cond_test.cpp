// The conditional state machine, directives inside skipped groups, and where failures are
// reported (resolved path, line number, level).
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "base/diag.hpp"
#include "base/glog.hpp"
#include "pp_helper.hpp"
#include "preproc/preproc.hpp"
#include "support/log_capture.hpp"

namespace {

// One run: the whole expected output (when it succeeds) and the exact log lines
// ("E message", "W message"; "%PATH%" stands for the resolved path).
struct run_row {
    const char *name;
    std::string in;
    bool ok;
    std::string out;
    std::vector<std::string> log;
};

std::string with_path(std::string s, const std::string &path) {
    for (size_t at = s.find("%PATH%"); at != std::string::npos; at = s.find("%PATH%", at)) {
        s.replace(at, 6, path);
        at += path.size();
    }
    return s;
}

std::string repeat(const std::string &s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) {
        r += s;
    }
    return r;
}

void expect_runs(const std::vector<run_row> &rows) {
    for (const run_row &r : rows) {
        SCOPED_TRACE(r.name);
        log_capture logs;
        pp_result res = run_pp(r.in);
        EXPECT_EQ(res.ok, r.ok) << ::testing::PrintToString(logs.lines());
        if (r.ok && res.ok) {
            EXPECT_EQ(res.text, r.out);
        }
        std::vector<std::string> want;
        for (const std::string &l : r.log) {
            want.push_back(with_path(l, res.path));
        }
        EXPECT_EQ(logs.lines(), want);
    }
}

TEST(CondStateMachine, GroupsOfAChain) {
    expect_runs({
        {"dead inner chain: else does not revive it",
         "#if 0\n#if 0\n#else\nA\n#endif\n#endif\n",
         true,
         "     \n     \n     \n \n      \n      \n",
         {}},
        {"outer skipping resumes after inner endif",
         "#if 0\n#if 1\n#endif\nA\n#endif\n",
         true,
         "     \n     \n      \n \n      \n",
         {}},
        {"outer selected resumes after skipped inner",
         "#if 1\n#if 0\n#endif\nA\n#endif\n",
         true,
         "     \n     \n      \nA\n      \n",
         {}},
        {"outer else after inner chain",
         "#if 0\n#if 1\nA\n#endif\n#else\nB\n#endif\n",
         true,
         "     \n     \n \n      \n     \nB\n      \n",
         {}},
        {"waiting chain selected by elif then else skipped",
         "#if 0\nA\n#elif 2\nB\n#else\nC\n#endif\n",
         true,
         "     \n \n       \nB\n     \n \n      \n",
         {}},
        {"elif after else accepted and skipped",
         "#if 0\nA\n#else\nB\n#elif 1\nC\n#endif\n",
         true,
         "     \n \n     \nB\n       \n \n      \n",
         {}},
        {"elif after else is not evaluated",
         "#if 1\n#else\n#elif 1 / 0\n#endif\nx\n",
         true,
         "     \n     \n           \n      \nx\n",
         {}},
        {"elif of a dead chain is not evaluated",
         "#if 0\n#if 1\n#elif 1.0\n#endif\n#endif\n",
         true,
         "     \n     \n         \n      \n      \n",
         {}},
        {"ifdef in skipped group is not looked up",
         "#define X\n#if 0\n#ifndef X\nA\n#endif\n#endif\n",
         true,
         "         \n     \n         \n \n      \n      \n",
         {}},
        {"all groups false",
         "#if 0\nA\n#elif 0\nB\n#endif\nC\n",
         true,
         "     \n \n       \n \n      \nC\n",
         {}},
        {"deep nesting",
         repeat("#if 1\n", 300) + "x\n" + repeat("#endif\n", 300),
         true,
         repeat("     \n", 300) + "x\n" + repeat("      \n", 300),
         {}},
    });
}

TEST(CondStateMachine, EachMessage) {
    expect_runs({
        {"second else warns once, processing goes on",
         "#if 1\nA\n#else\nB\n#else\nC\n#endif\nD\n",
         true,
         "     \nA\n     \n \n     \n \n      \nD\n",
         {"E #else after #else"}},
        {"third else warns again",
         "#if 0\n#else\n#else\n#else\n#endif\n",
         true,
         "     \n     \n     \n     \n      \n",
         {"E #else after #else", "E #else after #else"}},
        {"second else in a skipped chain also warns",
         "#if 0\n#if 1\n#else\n#else\n#endif\n#endif\n",
         true,
         "     \n     \n     \n     \n      \n      \n",
         {"E #else after #else"}},
        {"endif after the chain closed",
         "#if 1\n#endif\n#endif\n",
         false,
         "",
         {"E #endif without #if"}},
        {"else after the chain closed",
         "#ifdef X\n#endif\n#else\n",
         false,
         "",
         {"E #else without #if"}},
        {"elif after the chain closed",
         "#ifndef X\n#endif\n#elif 1\n",
         false,
         "",
         {"E #elif without #if"}},
        {"elif without if is not evaluated", "#elif 1 / 0\n", false, "", {"E #elif without #if"}},
        {"inner chain left open",
         "#if 1\n#if 0\n#endif\n",
         false,
         "",
         {"E unterminated #if: %PATH%:1"}},
        {"file ends in else without line end",
         "#if 0\n#else",
         false,
         "",
         {"E unterminated #if: %PATH%:1"}},
        {"failing elif condition stops",
         "#if 0\n#elif 1.0\n#endif\n",
         false,
         "",
         {"E cannot use floating constant in preprocessor expression"}},
        {"failing if condition stops",
         "#if \"s\"\n#endif\n",
         false,
         "",
         {"E cannot use string constant in preprocessor expression"}},
    });
}

TEST(CondStateMachine, DirectivesInsideSkippedGroups) {
    // Valid directive lines whose action would fail are ignored inside a skipped group.
    expect_runs({
        {"faulty definitions and includes ignored",
         "#if 0\n#define X a ##\n#define S(x) x #\n#define F(a, a) a\n#include \"\"\n#undef Q\n"
         "#pragma p\n#include <a.idl>\n#endif\nX\n",
         true,
         "     \n              \n                \n                 \n           \n        \n"
         "         \n                \n      \nX\n",
         {}},
        {"text lines blanked, line count kept",
         "#ifdef NOPE\nmodule m { };\n\n  x y\n#endif\n",
         true,
         "           \n             \n\n     \n      \n",
         {}},
    });
}

TEST(CondStateMachine, InvalidDirectivesFailUnlessSkipped) {
    struct row {
        std::string line;
        const char *name; // as the message names the directive
    };
    const row rows[] = {
        {"#error stop", "#error"},
        {"#line 3", "#line"},
        {"#warning w", "#warning"},
        {"#ifdef", "#ifdef"},
        {"#ifndef 1", "#ifndef"},
        {"#define", "#define"},
        {"#define 1 x", "#define"},
        {"#undef", "#undef"},
        {"#include", "#include"},
        {"#include x.idl", "#include"},
        {"#include \"a.idl", "#include"},
        {"#include <a.idl", "#include"},
        {"#pragmaonce", "#pragmaonce"},
        {"#", "#"},
        {"#!x", "#!x"},
        {"#Define X", "#Define; did you mean '#define'?"},
        {"#incldue \"a.idl\"", "#incldue; did you mean '#include'?"},
        {"#endfi", "#endfi; did you mean '#endif'?"},
    };
    for (const row &r : rows) {
        for (bool skipped : {false, true}) {
            SCOPED_TRACE(r.line + (skipped ? " (skipped)" : ""));
            log_capture logs;
            // The bad line is line 3 in both layouts.
            std::string in =
                skipped ? "#if 0\n\n" + r.line + "\n#endif\n" : "x\n\n" + r.line + "\n";
            pp_result res = run_pp(in);
            if (!skipped) {
                EXPECT_FALSE(res.ok);
                EXPECT_EQ(logs.lines(), (std::vector<std::string>{
                                            "E Invalid directive: " + res.path + ":3: " + r.name}));
                continue;
            }
            // A skipped group reads conditional directives only, to keep the nesting: a
            // malformed #ifdef still opens a chain, which then stays open.
            const bool opens = r.line.rfind("#if", 0) == 0;
            EXPECT_EQ(!opens, res.ok);
            EXPECT_EQ(logs.lines(),
                      opens ? std::vector<std::string>{"E unterminated #if: " + res.path + ":1"}
                            : std::vector<std::string>{});
        }
    }
}

TEST(DirectiveReport, LineNumbersFollowPhysicalLines) {
    expect_runs({
        {"after a block comment over lines",
         "/* a\nb\nc */\n#bad\n",
         false,
         "",
         {"E Invalid directive: %PATH%:4: #bad"}},
        {"after a continuation",
         "#define X 1 \\\n 2\n#bad\n",
         false,
         "",
         {"E Invalid directive: %PATH%:3: #bad"}},
        {"crlf lines", "a\r\nb\r\n#bad\r\n", false, "", {"E Invalid directive: %PATH%:3: #bad"}},
        {"lone cr lines", "a\rb\r#bad\r", false, "", {"E Invalid directive: %PATH%:3: #bad"}},
        {"after include markers",
         "#include \"a\"\n#include \"b.idl\"\n\n#bad\n",
         false,
         "",
         {"E Invalid directive: %PATH%:4: #bad"}},
        {"last line without line end",
         "a\n#bad",
         false,
         "",
         {"E Invalid directive: %PATH%:2: #bad"}},
        {"pragma after a comment over lines",
         "/*\n*/\n#pragma pack(push, 1)\n",
         true,
         "\n\n                     \n",
         {"W Ignoring #pragma: %PATH%:3"}},
        {"empty include after continuation",
         "a\\\nb\n#include \"\"\n",
         false,
         "",
         {"E Empty include path: %PATH%:3"}},
    });
}

TEST(DirectiveReport, PathIsResolved) {
    // The file is named through a relative path with "." and ".." parts and through a link:
    // messages carry the resolved absolute path.
    std::string dir = ::testing::TempDir() + "pp_dir_" + std::to_string(getpid());
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
    std::string file = dir + "/real.idl";
    std::string link = dir + "/sub/link.idl";
    ASSERT_EQ(symlink(file.c_str(), link.c_str()), 0);
    char cwd[4096] = {};
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    for (const std::string &arg : {std::string("./sub/../real.idl"), std::string("sub/link.idl"),
                                   dir + "/sub/../sub/link.idl"}) {
        SCOPED_TRACE(arg);
        log_capture logs;
        pp_result res = run_pp_file(file, arg, "a\n#pragma x\n#oops\n");
        EXPECT_FALSE(res.ok);
        ASSERT_EQ(res.path.front(), '/');
        EXPECT_EQ(logs.lines(),
                  (std::vector<std::string>{"W Ignoring #pragma: " + res.path + ":2",
                                            "E Invalid directive: " + res.path + ":3: #oops"}));
    }
    {
        log_capture logs;
        pp_result res = run_pp_file(file, "sub/missing.idl", "x\n");
        EXPECT_FALSE(res.ok);
        EXPECT_EQ(logs.lines(),
                  (std::vector<std::string>{"E Failed to find file: sub/missing.idl"}));
    }
    {
        // A directory resolves but is no file: a failure, never a crash.
        log_capture logs;
        pp_result res = run_pp_file(file, "sub", "x\n");
        EXPECT_FALSE(res.ok);
        ASSERT_FALSE(logs.lines().empty());
        EXPECT_EQ(logs.lines().back(), "E Failed to create input");
    }
    ASSERT_EQ(chdir(cwd), 0);
    std::remove(link.c_str());
    std::remove(file.c_str());
    rmdir((dir + "/sub").c_str());
    rmdir(dir.c_str());
}

TEST(IncludeMarkerLine, DecodesToTheQuotedPath) {
    struct row {
        std::string line;
        std::string path;
    };
    const std::vector<row> rows = {
        {"#include \"types.idl\"", "types.idl"},
        {"  #  include   \"dir/sub/foo.idl\"   ", "dir/sub/foo.idl"},
        {"#include \"../common/types.idl\" // why", "../common/types.idl"},
        {"#include \"a.b.idl\" /* c */", "a.b.idl"},
        {"#include \"types\"", "types"},
        {"#include \"./types\"", "./types"},
        {"#include \"http://h/x.idl\"", "http://h/x.idl"},
        {"#include \"a/*b*/.idl\"", "a/*b*/.idl"},
        {"#include \"with  two\tblanks.idl\"", "with  two\tblanks.idl"},
        {"#include \"" + std::string(400, 'd') + "/x_y.idl\"", std::string(400, 'd') + "/x_y.idl"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        log_capture logs;
        pp_result res = run_pp("a\n" + r.line + "\nb\n");
        ASSERT_TRUE(res.ok) << ::testing::PrintToString(logs.lines());
        EXPECT_TRUE(logs.empty());
        ASSERT_EQ(pp_lines(res.text), 3u);
        const size_t s = res.text.find('\n') + 1;
        const std::string line = res.text.substr(s, res.text.find('\n', s) - s);
        ASSERT_EQ(line.rfind("module ", 0), 0u) << line;
        ASSERT_EQ(line.substr(line.size() - 4), " {};") << line;
        const std::string name = line.substr(7, line.size() - 11);
        std::vector<char> out(name.size() + 1);
        ASSERT_EQ(preproc_include_marker_decode(name.data(), name.size(), out.data()),
                  static_cast<int64_t>(r.path.size()));
        EXPECT_EQ(std::string(out.data(), r.path.size()), r.path);
        EXPECT_EQ(res.text.substr(res.text.size() - 2), "b\n");
    }
}

} // namespace

namespace {

// Keeps every diagnostic reported on this thread while it is installed.
class diag_keeper : public diag_consumer {
public:
    diag_keeper() : previous_(diag_set_consumer(this)) {}
    ~diag_keeper() override { diag_set_consumer(previous_); }
    void consume(const diagnostic &d) override { seen.push_back(d); }
    std::vector<diagnostic> seen;

private:
    diag_consumer *previous_;
};

} // namespace

TEST(DirectiveReport, DiagnosticsCarryFileLineAndColumn) {
    struct row {
        const char *in;
        const char *summary;
        unsigned long line;
        unsigned long column; // 0: none
        const char *record;   // the log-record text, %PATH% for the path
    };
    const row rows[] = {
        {"x\n  #if 1 / 0\n#endif\n", "division by zero in preprocessor expression", 2, 3,
         "division by zero in preprocessor expression"},
        {"#define A\n#else\n", "#else without #if", 2, 1, "#else without #if"},
        {"\n #  incldue <a.idl>\n", "Invalid directive", 2, 2,
         "Invalid directive: %PATH%:2: #incldue; did you mean '#include'?"},
        {"#ifdef A\n#endif\n\n#ifndef B\n", "unterminated #if", 4, 0, "unterminated #if: %PATH%:4"},
        {"#define F(a, b) a\nF(1)\n", "Macro 'F' requires 2 arguments, but only 1 given", 2, 0,
         "Macro 'F' requires 2 arguments, but only 1 given"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.in);
        diag_keeper keep;
        pp_result res = run_pp(r.in);
        EXPECT_FALSE(res.ok);
        ASSERT_EQ(1u, keep.seen.size());
        const diagnostic &d = keep.seen[0];
        EXPECT_EQ(r.summary, d.summary);
        EXPECT_EQ(res.path, d.file);
        EXPECT_EQ(r.line, d.line);
        EXPECT_EQ(r.column, d.column);
        EXPECT_EQ(with_path(r.record, res.path), diag_record_text(d));
    }
}
