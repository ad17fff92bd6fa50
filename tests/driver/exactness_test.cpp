// Exact boundaries of the built program, end to end: the mode of the document it writes, the
// nesting limits on both sides of the limit, and the width of the source excerpt that a parse
// error shows around its caret. Each row would pass with an off-by-one or a dropped step in the
// program if it tested only well inside or well outside a boundary.
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string repeat(const std::string &piece, std::size_t n) {
    std::string out;
    out.reserve(piece.size() * n);
    for (std::size_t i = 0; i < n; ++i) {
        out += piece;
    }
    return out;
}

std::size_t count_of(const std::string &text, const std::string &piece) {
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + piece.size())) {
        ++n;
    }
    return n;
}

// Every test works in a directory of its own, removed afterwards.
class Exactness : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vandrel-exact-XXXXXX").string();
        ASSERT_NE(nullptr, ::mkdtemp(pattern.data()));
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // Runs `vandrel input.idl out` on `text` with the given umask; the output folder is fresh.
    run_result convert(const std::string &text, const char *umask_text = "022") {
        std::error_code ec;
        fs::remove_all(dir_ / "out", ec);
        write_file(dir_ / "input.idl", text);
        run_options options;
        options.cwd = dir_.string();
        run_result r =
            run_program("/bin/sh",
                        {"-c", std::string("umask ") + umask_text + " && exec \"$0\" \"$@\"",
                         VANDREL_BIN, "input.idl", "out"},
                        options);
        EXPECT_TRUE(r.exited) << "crashed or hung\n" << r.out << r.err;
        return r;
    }
    fs::path document() const { return dir_ / "out" / "input.xml"; }
    fs::path dir_;
};

} // namespace

TEST_F(Exactness, DocumentModeIsTheDefaultLessTheUmask) {
    struct row {
        const char *umask;
        unsigned mode;
    };
    const row rows[] = {{"022", 0644}, {"027", 0640}, {"077", 0600}, {"000", 0666}, {"002", 0664}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.umask);
        const run_result run = convert("module M { const long X = 1; };\n", r.umask);
        ASSERT_EQ(0, run.status) << run.out;
        struct stat st {};
        ASSERT_EQ(0, ::stat(document().c_str(), &st));
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(r.mode, static_cast<unsigned>(st.st_mode & 07777));
    }
}

TEST_F(Exactness, ConditionNestedToTheLimitPassesOneMoreFails) {
    // Each row builds a condition nested n levels deep whose value is 1 for even n (the limit,
    // 2000, is even): the group selected shows that the deepest operand was evaluated.
    struct row {
        const char *name;
        std::string (*condition)(std::size_t n);
    };
    const row rows[] = {
        {"logical not", [](std::size_t n) { return repeat("!", n) + "1"; }},
        {"not in parentheses",
         [](std::size_t n) { return repeat("!(", n) + "1" + repeat(")", n); }},
        {"unary minus", [](std::size_t n) { return repeat("- ", n) + "1"; }},
        {"nested sums", [](std::size_t n) { return repeat("0+(", n) + "1" + repeat(")", n); }},
    };
    const std::size_t limit = 2000;
    for (const row &r : rows) {
        for (const char *directive : {"#if ", "#if 0\n#elif "}) {
            SCOPED_TRACE(std::string(r.name) + " after " + directive);
            const run_result at =
                convert(directive + r.condition(limit) +
                        "\nconst long YES = 1;\n#else\nconst long NO = 0;\n#endif\n");
            ASSERT_EQ(0, at.status) << at.out.substr(0, 2000);
            const std::string doc = read_file(document());
            EXPECT_NE(std::string::npos, doc.find("name=\"YES\"")) << doc;
            EXPECT_EQ(std::string::npos, doc.find("name=\"NO\"")) << doc;

            const run_result over =
                convert(directive + r.condition(limit + 1) + "\nconst long YES = 1;\n#endif\n");
            EXPECT_EQ(1, over.status);
            EXPECT_EQ(1u, count_of(over.out, "preprocessor expression nested too deeply"))
                << over.out.substr(0, 2000);
            EXPECT_FALSE(fs::exists(dir_ / "out"));
        }
    }
}

TEST_F(Exactness, ModulesNestedToTheLimitPassOneMoreFails) {
    const std::size_t limit = 4096;
    // One module per line, so that the refused one is named by its line.
    auto nest = [](std::size_t n) {
        return repeat("module M {\n", n) + "const long DEEPEST = 1;\n" + repeat("};\n", n);
    };
    run_result at = convert(nest(limit));
    ASSERT_EQ(0, at.status) << at.out.substr(0, 2000);
    const std::string doc = read_file(document());
    EXPECT_EQ(limit, count_of(doc, "<module name=\"M\">"));
    EXPECT_EQ(1u, count_of(doc, "<const name=\"DEEPEST\""));
    // The deepest element is indented four blanks per level below `types`.
    EXPECT_NE(std::string::npos,
              doc.find("\n" + repeat("    ", limit + 2) + "<const name=\"DEEPEST\""));

    run_result over = convert(nest(limit + 1));
    EXPECT_EQ(1, over.status);
    EXPECT_EQ(1u, count_of(over.out, "Modules nest deeper than 4096 levels: "));
    EXPECT_NE(std::string::npos, over.out.find("Modules nest deeper than 4096 levels: " +
                                               (dir_ / "input.idl").string() + ":4097\n"))
        << over.out.substr(0, 2000);
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Exactness, ParseErrorExcerptWidthAroundTheCaret) {
    // The excerpt shows at most 120 bytes before the byte where the parse stopped and 60 from
    // it on, cut at the line's ends, of the line as the parser saw it: cleaning has turned each
    // tab into one blank and dropped the blanks at the line's end, so the caret line, all
    // blanks, stands under that byte.
    struct row {
        const char *name;
        std::string before; // text of the error line before the offending byte
        std::string after;  // the offending byte and the rest of the line
        std::size_t shown_before;
        std::size_t shown_after;
    };
    auto decls = [](std::size_t count) {
        std::string s;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string number = std::to_string(10000 + i).substr(1); // four digits
            s += "const long A" + number + " = 1; ";
        }
        return s; // 22 bytes per declaration
    };
    const std::string tail = "$" + repeat(" const long B = 2;", 20); // 361 bytes
    const row rows[] = {
        {"long both ways", decls(30), tail, 120, 60},
        {"near the line start", decls(2), tail, 44, 60},
        {"exactly the width before", repeat(" ", 120 - 22 * 5) + decls(5), tail, 120, 60},
        {"one more than the width before", repeat(" ", 121 - 22 * 5) + decls(5), tail, 120, 60},
        {"near the line end", decls(30), "$ x", 120, 3},
        {"exactly the width after", decls(30), "$" + repeat("x", 59), 120, 60},
        {"one more than the width after", decls(30), "$" + repeat("x", 60), 120, 60},
        {"blanks at the line end dropped", decls(30), "$x" + repeat(" ", 70), 120, 2},
        {"at the very start", "", tail, 0, 60},
        {"tabs before the caret", "\t" + decls(3) + "\t\t", tail, 69, 60},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        const run_result run =
            convert("module M {};\n" + r.before + r.after + "\nconst long C = 3;\n");
        ASSERT_EQ(1, run.status) << run.out;
        EXPECT_FALSE(fs::exists(dir_ / "out"));
        const std::vector<std::string> lines = strip_log_headers(run.out);
        ASSERT_EQ(4u, lines.size()) << run.out;
        // The record names the line and the column (from 1) of the byte under the caret; what
        // follows the place, if anything, is not this test's business.
        const std::string place = "E Failed to parse: " + (dir_ / "input.idl").string() +
                                  ":2:" + std::to_string(r.before.size() + 1);
        EXPECT_EQ(place, lines[1].substr(0, place.size()));
        EXPECT_TRUE(lines[1].size() == place.size() || lines[1][place.size()] == ':') << lines[1];
        std::string excerpt =
            r.before.substr(r.before.size() - r.shown_before) + r.after.substr(0, r.shown_after);
        for (char &c : excerpt) {
            c = c == '\t' ? ' ' : c;
        }
        EXPECT_EQ("E " + excerpt, lines[2]);
        EXPECT_EQ("E " + std::string(r.shown_before, ' ') + "^", lines[3]);
    }
}

// Definitions are translated while the file is still being parsed: what they report stands
// only when the whole file parses, so a parse error further on is reported alone.
TEST_F(Exactness, ReportsOfDefinitionsGiveWayToALaterParseError) {
    const std::string dropped = "@non_serialized struct A { long a; };\n";
    const std::string fixed = "struct B { fixed<5, 2> price; };\n";
    struct row {
        std::string text;
        std::vector<std::string> records; // after the start record, place prefixes cut
    };
    const row rows[] = {
        {dropped + fixed + "struct C { long c };\n",
         {"E Failed to parse", "E struct C { long c };", "E                   ^"}},
        {dropped + fixed + "struct C { long c; };\n",
         {"W Annotation dropped", "E Type 'fixed' has no DDS-XML type name",
          "E Failed to generate XML"}},
        {dropped + "struct C { long c; };\n", {"W Annotation dropped", "I Done"}},
        {"", {"I Done"}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        const run_result run = convert(r.text);
        EXPECT_EQ(r.records.back() == "I Done" ? 0 : 1, run.status);
        const std::vector<std::string> lines = strip_log_headers(run.out);
        ASSERT_EQ(r.records.size() + 1, lines.size()) << run.out;
        for (std::size_t i = 0; i < r.records.size(); ++i) {
            EXPECT_EQ(r.records[i], lines[i + 1].substr(0, r.records[i].size()));
        }
        EXPECT_EQ(run.status == 0, fs::exists(document()));
    }
}
