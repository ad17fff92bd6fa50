// Runs the built converter on every case folder below the golden directory: a case with
// expected.xml must succeed and write exactly those bytes; a case with expect-fail.txt must exit
// with status 1, print each of its lines (in order) and leave no output file.
// A case with a file `args` runs the compiler form instead: the case folder is copied into the
// run folder and `vandrel <args>` runs there; every file below `expected/` must then exist, with
// exactly those bytes, at the same place below the run folder; the lines of `expect-stderr.txt`
// must appear on standard error in order; the exit status must be the one in `expect-status`
// (default 0).
#include "support/run_program.hpp"
#include "support/scratch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Each line of `expected_lines` (blank lines skipped) must appear in `text`, in order.
void expect_lines_in_order(const std::string &expected_lines, const std::string &text) {
    std::istringstream expected(expected_lines);
    std::string line;
    std::size_t from = 0;
    while (std::getline(expected, line)) {
        if (line.empty()) {
            continue;
        }
        std::size_t at = text.find(line, from);
        EXPECT_NE(std::string::npos, at) << "missing (in order): " << line << "\noutput:\n" << text;
        if (at == std::string::npos) {
            break;
        }
        from = at + line.size();
    }
}

// Files of the case folder that describe the run rather than take part in it.
bool is_runner_file(const fs::path &name) {
    return name == "args" || name == "expected" || name == "expect-stderr.txt" ||
           name == "expect-status" || name == "stdout.txt" || name == "stderr.txt";
}

// Output as the documentation quotes it: the run folder shown as /home/me and each log record
// header as one fixed header of the same width.
std::string as_quoted(std::string text, const std::string &run_folder) {
    for (std::size_t at = text.find(run_folder); at != std::string::npos;
         at = text.find(run_folder, at)) {
        text.replace(at, run_folder.size(), "/home/me");
    }
    static const std::regex header(R"(^\d\d-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+ \d+ )");
    std::istringstream lines(text);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        out += std::regex_replace(line, header, "25-03-03 09:05:07.004 4242 4242 ") + "\n";
    }
    return out;
}

std::vector<std::string> words_of(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    std::string w;
    while (in >> w) {
        words.push_back(w);
    }
    return words;
}

class golden_case : public testing::Test {
public:
    explicit golden_case(fs::path dir) : dir_(std::move(dir)) {}

    void TestBody() override {
        if (fs::exists(dir_ / "args")) {
            run_compiler_form();
            return;
        }
        scratch_dir tmp("vandrel-golden");
        ASSERT_FALSE(tmp.path().empty());
        std::error_code ec;
        fs::copy_file(dir_ / "input.idl", tmp.path() / "input.idl", ec);
        ASSERT_FALSE(ec) << ec.message();

        run_options options;
        options.cwd = tmp.path().string();
        run_result r = run_program(VANDREL_BIN, {"input.idl", "out"}, options);
        ASSERT_TRUE(r.started);
        ASSERT_TRUE(r.exited) << "the converter crashed or hung\n" << r.out << r.err;
        const fs::path output = tmp.path() / "out" / "input.xml";

        if (fs::exists(dir_ / "expected.xml")) {
            ASSERT_EQ(0, r.status) << r.out << r.err;
            ASSERT_TRUE(fs::exists(output)) << r.out;
            EXPECT_EQ(read_file(dir_ / "expected.xml"), read_file(output)) << r.out;
            return;
        }
        EXPECT_EQ(1, r.status) << r.out << r.err;
        EXPECT_FALSE(fs::exists(output));
        expect_lines_in_order(read_file(dir_ / "expect-fail.txt"), r.out);
    }

private:
    void run_compiler_form() {
        scratch_dir tmp("vandrel-golden");
        ASSERT_FALSE(tmp.path().empty());
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator(dir_, ec)) {
            if (!is_runner_file(entry.path().filename())) {
                fs::copy(entry.path(), tmp.path() / entry.path().filename(),
                         fs::copy_options::recursive, ec);
                ASSERT_FALSE(ec) << ec.message();
            }
        }
        run_options options;
        options.cwd = tmp.path().string();
        run_result r = run_program(VANDREL_BIN, words_of(read_file(dir_ / "args")), options);
        ASSERT_TRUE(r.started);
        ASSERT_TRUE(r.exited) << "the converter crashed or hung\n" << r.out << r.err;

        int status = 0;
        if (fs::exists(dir_ / "expect-status")) {
            status = std::stoi(read_file(dir_ / "expect-status"));
        }
        EXPECT_EQ(status, r.status) << r.err;
        if (fs::exists(dir_ / "expect-stderr.txt")) {
            expect_lines_in_order(read_file(dir_ / "expect-stderr.txt"), r.err);
        }
        // Whole outputs, as the README and the manual page quote them.
        if (fs::exists(dir_ / "stdout.txt")) {
            EXPECT_EQ(read_file(dir_ / "stdout.txt"), as_quoted(r.out, tmp.path().string()));
        }
        if (fs::exists(dir_ / "stderr.txt")) {
            EXPECT_EQ(read_file(dir_ / "stderr.txt"), as_quoted(r.err, tmp.path().string()));
        }
        const fs::path expected = dir_ / "expected";
        for (const auto &entry : fs::recursive_directory_iterator(expected, ec)) {
            if (!entry.is_regular_file()) {
                continue;
            }
            const fs::path rel = fs::relative(entry.path(), expected);
            SCOPED_TRACE(rel.string());
            ASSERT_TRUE(fs::exists(tmp.path() / rel)) << r.err;
            EXPECT_EQ(read_file(entry.path()), read_file(tmp.path() / rel));
        }
    }

    fs::path dir_;
};

// Case folders are found when the program starts, so a new folder needs no build change.
bool register_cases() {
    std::vector<fs::path> cases;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(VANDREL_GOLDEN_DIR, ec)) {
        const fs::path dir = entry.path();
        if (entry.is_directory() &&
            (fs::exists(dir / "args") ||
             (fs::exists(dir / "input.idl") &&
              (fs::exists(dir / "expected.xml") || fs::exists(dir / "expect-fail.txt"))))) {
            cases.push_back(dir);
        }
    }
    std::sort(cases.begin(), cases.end());
    for (const fs::path &dir : cases) {
        testing::RegisterTest("Golden", dir.filename().string().c_str(), nullptr, nullptr, __FILE__,
                              __LINE__,
                              [dir]() -> testing::Test * { return new golden_case(dir); });
    }
    return true;
}

const bool registered = register_cases();

} // namespace

TEST(GoldenRunner, FindsCases) {
    EXPECT_TRUE(registered);
    std::size_t n = 0;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(VANDREL_GOLDEN_DIR, ec)) {
        n += entry.is_directory() ? 1 : 0;
    }
    EXPECT_GT(n, 0u) << "no case folders in " << VANDREL_GOLDEN_DIR;
}

// Every sample the README and the manual page quote from a case (a "<!-- quoted from PATH -->"
// line before a fenced block, a `.\" quoted from PATH` line before `.EX`) is that file exactly,
// so the documents cannot drift from what the program does.
TEST(Documentation, QuotedSamplesAreTheCasesOwn) {
    const fs::path root = fs::path(VANDREL_GOLDEN_DIR).parent_path().parent_path();
    struct document {
        const char *path, *marker, *open, *close;
        std::size_t at_least;
    };
    const document documents[] = {{"README.md", "<!-- quoted from ", "```", "```", 7},
                                  {"doc/vandrel.1.in", ".\\\" quoted from ", ".EX", ".EE", 3}};
    for (const document &doc : documents) {
        std::istringstream in(read_file(root / doc.path));
        std::size_t quoted = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind(doc.marker, 0) != 0) {
                continue;
            }
            std::string source = line.substr(std::strlen(doc.marker));
            source = source.substr(0, source.find(' '));
            SCOPED_TRACE(std::string(doc.path) + " quoting " + source);
            std::getline(in, line);
            ASSERT_EQ(0u, line.rfind(doc.open, 0)) << line;
            std::string block;
            while (std::getline(in, line) && line != doc.close) {
                // The manual page escapes minus signs, backslashes and quotes.
                for (const auto &[from, to] : {std::pair<std::string, std::string>{"\\-", "-"},
                                               {"\\e", "\\"},
                                               {"\\(dq", "\""},
                                               {"\\(aq", "'"}}) {
                    for (std::size_t at = line.find(from);
                         doc.open[0] == '.' && at != std::string::npos;
                         at = line.find(from, at + to.size())) {
                        line.replace(at, from.size(), to);
                    }
                }
                block += line + "\n";
            }
            EXPECT_EQ(read_file(root / source), block);
            ++quoted;
        }
        EXPECT_GE(quoted, doc.at_least) << doc.path;
    }
}
