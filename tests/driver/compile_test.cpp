// The compiler form: the job plan (folder walk, mirroring, refusals) and end-to-end runs of the
// built program (statuses, standard output and error, dependency rules, nothing left behind).
#include "driver/compile.hpp"
#include "driver/depfile.hpp"
#include "driver/driver.hpp"
#include "driver/options.hpp"

#include "base/linkedlist.hpp"
#include "support/run_program.hpp"
#include "support/scratch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

const char *const kGood = "module M { struct S { long x; }; };\n";
const char *const kBad = "module M {\n  struct S { long x y; };\n};\n";

class Compile : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    run_result run(const std::vector<std::string> &args) {
        run_options options;
        options.cwd = dir_.string();
        run_result r = run_program(VANDREL_BIN, args, options);
        EXPECT_TRUE(r.exited) << "crashed or hung\n" << r.out << r.err;
        return r;
    }
    // The plan for `args` (run in the test folder), one "input -> folder/name" or
    // "input: error" line per job; or "usage: message".
    std::string plan(std::vector<std::string> args) {
        args.insert(args.begin(), "vandrel");
        std::vector<char *> argv;
        for (std::string &w : args) {
            argv.push_back(w.data());
        }
        driver_options opts;
        std::string message;
        if (options_parse(static_cast<int>(args.size()), argv.data(), opts, message) !=
            options_outcome::run) {
            return "options: " + message;
        }
        const fs::path here = fs::current_path();
        fs::current_path(dir_);
        std::vector<compile_job> jobs;
        const bool ok = compile_plan(opts, jobs, message);
        fs::current_path(here);
        if (!ok) {
            return "usage: " + message;
        }
        std::string out;
        for (const compile_job &j : jobs) {
            out += j.error.empty() ? j.input + " -> " +
                                         (fs::path(j.output_dir) / j.output_name).generic_string()
                                   : "error: " + j.error;
            out += "\n";
        }
        return out;
    }
    // Every file below the test folder, relative, sorted.
    std::vector<std::string> files() {
        std::vector<std::string> names;
        for (const auto &e : fs::recursive_directory_iterator(dir_)) {
            if (e.is_regular_file()) {
                names.push_back(fs::relative(e.path(), dir_).generic_string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    scratch_dir scratch_{"vandrel-compile"};
    const fs::path dir_ = scratch_.path();
};

} // namespace

TEST_F(Compile, PlanWalksFoldersSortedAndMirrorsThem) {
    for (const char *name :
         {"m/b.idl", "m/a.idl", "m/sub/c.idl", "m/sub/deep/d.idl", "m/sub/notes.txt", "m/UPPER.IDL",
          "m/.idl", "one.idl", "m/sub/e.xml", "m/f.xml.in"}) {
        write_file(dir_ / name, kGood);
    }
    fs::create_directories(dir_ / "m/empty.idl"); // a folder named like a file is not a file
    struct row {
        std::vector<std::string> args;
        std::string want;
    };
    const row rows[] = {
        {{"-q", "m"},
         "m/a.idl -> ./a.xml\nm/b.idl -> ./b.xml\nm/sub/c.idl -> sub/c.xml\n"
         "m/sub/deep/d.idl -> sub/deep/d.xml\n"},
        {{"-o", "out", "m/sub"}, "m/sub/c.idl -> out/c.xml\nm/sub/deep/d.idl -> out/deep/d.xml\n"},
        // With a base folder the layout is taken relative to it, for folders and files alike.
        {{"-o", "out", "-b", "m", "m/sub", "m/b.idl"},
         "m/sub/c.idl -> out/sub/c.xml\nm/sub/deep/d.idl -> out/sub/deep/d.xml\n"
         "m/b.idl -> out/b.xml\n"},
        {{"-o", "out", "-b", "m/sub", "one.idl"},
         "error: one.idl: not below the base folder m/sub\n"},
        // A file named on its own goes straight into the output folder.
        {{"-o", "out/", "m/sub/deep/d.idl", "one.idl"},
         "m/sub/deep/d.idl -> out/d.xml\none.idl -> out/one.xml\n"},
        {{"-q", "gone.idl", "one.idl"},
         "error: gone.idl: No such file or directory\none.idl -> ./one.xml\n"},
        {{"-q", "m/sub/notes.txt"},
         "error: m/sub/notes.txt: no \".idl\" in the file name to make the output name from\n"},
        // Two inputs that would write one document: the later one is refused.
        {{"-q", "one.idl", "./one.idl"},
         "one.idl -> ./one.xml\nerror: ./one.idl: one.idl already writes one.xml\n"},
        {{"-o", "-", "m"}, "usage: -o - writes one document, but the inputs hold 4 files"},
        {{"-o", "-", "one.idl"}, "one.idl -> -/one.xml\n"},
        {{"-MF", "x.d", "m/sub"},
         "usage: -MF names the rule of one document, but the inputs hold 2 files"},
        // Read back, a folder stands for its documents, and each gives NAME.idl.
        {{"--from-xml", "-o", "idl", "m", "one.idl"},
         "m/sub/e.xml -> idl/sub/e.idl\n"
         "error: one.idl: no \".xml\" in the file name to make the output name from\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.want);
        EXPECT_EQ(r.want, plan(r.args));
    }
}

TEST_F(Compile, ExitStatusesAndOtherInputsStillConvert) {
    write_file(dir_ / "good.idl", kGood);
    write_file(dir_ / "bad.idl", kBad);
    struct row {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> files; // below out/
    };
    const row rows[] = {
        {{"-q", "-o", "out", "good.idl"}, 0, {"good.xml"}},
        {{"-q", "-o", "out", "bad.idl", "good.idl"}, 1, {"good.xml"}},
        {{"-q", "-j1", "-o", "out", "good.idl", "missing.idl"}, 1, {"good.xml"}},
        {{"-q", "-o", "out", "bad.idl"}, 1, {}},
        {{"-q", "-o", "out", "--nope", "good.idl"}, 2, {}},
        {{"-o", "out"}, 2, {}},
        {{"--help"}, 0, {}},
        {{"--version"}, 0, {}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.args.back());
        std::error_code ec;
        fs::remove_all(dir_ / "out", ec);
        const run_result res = run(r.args);
        EXPECT_EQ(r.status, res.status) << res.err;
        std::vector<std::string> got;
        for (const std::string &f : files()) {
            if (f.rfind("out/", 0) == 0) {
                got.push_back(f.substr(4));
            }
        }
        EXPECT_EQ(r.files, got);
        if (r.status == 1) {
            EXPECT_EQ("", res.out) << "no log records on standard output";
        }
    }
}

TEST_F(Compile, HelpAndVersionOnStandardOutput) {
    run_result r = run({"--version"});
    EXPECT_EQ("vandrel 1.1.0\n", r.out);
    EXPECT_EQ("", r.err);
    for (const char *help : {"-h", "--help"}) {
        r = run({help});
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(options_help_text(), r.out);
        EXPECT_EQ("", r.err);
    }
    r = run({"-y"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ("vandrel: error: unrecognized option '-y'\n"
              "Try 'vandrel --help' for more information.\n",
              r.err);
}

TEST_F(Compile, ManyFilesGiveOneSummaryInInputOrder) {
    // Failing files spread over the order: their diagnostics come in input order, each whole.
    std::vector<std::string> args = {"-j", "4", "-o", "out"};
    for (int i = 0; i < 12; ++i) {
        const std::string name = "f" + std::to_string(10 + i) + ".idl";
        write_file(dir_ / name, i % 3 == 0 ? "module M" + std::to_string(i) + " { long2 x; };\n"
                                           : std::string(kGood));
        args.push_back(name);
    }
    run_result r = run(args);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    std::size_t from = 0;
    for (int i : {0, 3, 6, 9}) {
        const std::string name = "f" + std::to_string(10 + i) + ".idl:1";
        const std::size_t at = r.err.find(name, from);
        ASSERT_NE(std::string::npos, at) << name << "\n" << r.err;
        from = at;
    }
    EXPECT_NE(std::string::npos, r.err.find("8 files converted, 4 failed in "));
    EXPECT_EQ('\n', r.err.back());

    // -q drops the summary; one file never has one.
    r = run({"-q", "-o", "out", "f11.idl", "f12.idl"});
    EXPECT_EQ("", r.err);
    r = run({"-o", "out", "f11.idl"});
    EXPECT_EQ("", r.err);
}

TEST_F(Compile, StandardOutputForms) {
    write_file(dir_ / "m.idl", "#define N 3\nmodule M { struct S { long a[N][W]; }; };\n");
    run_result r = run({"-o", "-", "-DW=2", "m.idl"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("arrayDimensions=\"3, 2\""));
    EXPECT_EQ(0u, r.out.find("<dds "));
    EXPECT_EQ((std::vector<std::string>{"m.idl"}), files());

    // -E: the preprocessed text after a line marker, lines kept; -U drops an earlier -D.
    r = run({"-E", "-DW=2", "-DV", "-UV", "m.idl"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("# 1 \"m.idl\"\n\nmodule M { struct S { long a[3][2]; }; };\n", r.out);
    r = run({"-E", "-DW=2", "-UW", "m.idl"});
    EXPECT_EQ("# 1 \"m.idl\"\n\nmodule M { struct S { long a[3][W]; }; };\n", r.out);
    EXPECT_EQ((std::vector<std::string>{"m.idl"}), files());
}

// The lines of a document between <types> and </types>, include references left out.
std::string declared_types(const std::string &document) {
    std::istringstream in(document);
    std::string line;
    std::string out;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line.find("</types>") != std::string::npos) {
            inside = false;
        }
        if (inside && line.find("<include ") == std::string::npos) {
            out += line + "\n";
        }
        inside = inside || line.find("<types>") != std::string::npos;
    }
    return out;
}

TEST_F(Compile, PreprocessedModelReadAgainDeclaresTheSameTypes) {
    fs::copy(fs::path(VANDREL_GOLDEN_DIR) / "compiler_form_preprocess_model", dir_,
             fs::copy_options::recursive);
    run_result r = run({"-E", "-DSIZE=4", "-I", "inc", "-o", "pre", "model/app/main.idl"});
    ASSERT_EQ(0, r.status) << r.err;
    r = run({"-q", "-o", "fed", "pre/main.idl"});
    ASSERT_EQ(0, r.status) << r.err;
    r = run({"-q", "-DSIZE=4", "-I", "inc", "-o", "out", "model"});
    ASSERT_EQ(0, r.status) << r.err;
    const std::string fed = declared_types(read_file(dir_ / "fed/main.xml"));
    EXPECT_NE(std::string::npos, fed.find("key=\"true\" name=\"id\"")) << fed;
    EXPECT_EQ(declared_types(read_file(dir_ / "out/common/units.xml")) +
                  declared_types(read_file(dir_ / "out/app/main.xml")),
              fed);
    // Reports about such a text name the places its line markers give.
    write_file(dir_ / "marked.idl",
               "# 40 \"elsewhere.idl\" 1\nmodule m { struct S { long x y; }; };\n");
    r = run({"--color=never", "-o", "out", "marked.idl"});
    EXPECT_NE(std::string::npos, r.err.find("elsewhere.idl:40:30: error: Failed to parse"))
        << r.err;
    // The text never replaces its input.
    r = run({"-E", "-o", "model/app", "model/app/main.idl"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("the preprocessed text would replace the input"));
}

TEST_F(Compile, IncludesThatMultiplyEndWithAnError) {
    // Each file includes the two before it, without include guards, and changes a macro each
    // time it is read: the files to read double with each level.
    for (int i = 0; i <= 30; ++i) {
        std::string text;
        for (int k = 1; k <= 2 && k <= i; ++k) {
            text += "#include \"f" + std::to_string(i - k) + ".idl\"\n";
        }
        const std::string m = "M" + std::to_string(i);
        write_file(dir_ / ("f" + std::to_string(i) + ".idl"),
                   text + "#undef " + m + "\n#define " + m + " 1\nmodule m {};\n");
    }
    const run_result r = run({"--color=never", "-o", "out", "f30.idl"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("error: more than 262144 includes followed")) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Compile, WarningsAndWerror) {
    // A custom annotation declaration is reported as a warning.
    write_file(dir_ / "w.idl", "@annotation range { long min; };\nmodule M {};\n");
    run_result r = run({"-o", "out", "w.idl"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("warning: Custom annotation 'range' will be ignored"))
        << r.err;
    EXPECT_TRUE(fs::exists(dir_ / "out/w.xml"));

    fs::remove_all(dir_ / "out");
    r = run({"-Werror", "-o", "out", "w.idl"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("error: warnings are treated as errors")) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Compile, ColourOnlyWhenAskedOrOnATerminal) {
    write_file(dir_ / "bad.idl", kBad);
    struct row {
        std::vector<std::string> args;
        bool escapes;
    };
    // Standard error is a pipe here, so "auto" means no colour.
    const row rows[] = {{{"--color=always", "bad.idl"}, true},
                        {{"--color", "bad.idl"}, true},
                        {{"--color=never", "bad.idl"}, false},
                        {{"--color=auto", "bad.idl"}, false},
                        {{"-q", "bad.idl"}, false}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.args.front());
        const run_result res = run(r.args);
        EXPECT_EQ(1, res.status);
        EXPECT_EQ(r.escapes, res.err.find('\x1b') != std::string::npos) << res.err;
    }
}

TEST_F(Compile, NothingLeftBehindOnFailure) {
    fs::create_directories(dir_ / "d.idl");
    write_file(dir_ / "d.idl/x.txt", kGood);
    write_file(dir_ / "bad.idl", kBad);
    const std::vector<std::vector<std::string>> rows = {
        {"-o", "o5/deep/er", "d.idl/x.txt"}, {"-o", "o5/deep/er", "bad.idl"},
        {"-o", "o5/deep/er", "missing.idl"}, {"-o", "o5", "-b", "elsewhere", "bad.idl"},
        {"-MD", "-o", "o5", "bad.idl"},
    };
    for (const auto &args : rows) {
        SCOPED_TRACE(args.back());
        const run_result r = run(args);
        EXPECT_EQ(1, r.status);
        EXPECT_FALSE(fs::exists(dir_ / "o5"));
    }
}

TEST_F(Compile, DependencyRules) {
    write_file(dir_ / "m/a.idl", "#include \"b.idl\"\n#include \"c.idl\"\n#include \"b.idl\"\n"
                                 "module A {};\n");
    write_file(dir_ / "m/b.idl", "#include \"d.idl\"\nmodule B {};\n");
    write_file(dir_ / "m/d.idl", "module D {};\n");
    write_file(dir_ / "inc/c.idl", "module C {};\n");
    write_file(dir_ / "inc/b.idl", "module B2 {};\n");
    run_result r = run({"-MD", "-I", "inc", "-o", "out", "m/a.idl"});
    EXPECT_EQ(0, r.status) << r.err;
    // Quoted names are looked up beside the including file first, then in each -I folder; the
    // files an included file includes count too, each once.
    EXPECT_EQ("out/a.xml: m/a.idl m/b.idl inc/c.idl m/d.idl\n", read_file(dir_ / "out/a.xml.d"));

    r = run({"-MF", "deps/a.d", "-I", "inc", "-o", "out2", "m/a.idl"});
    EXPECT_EQ(1, r.status) << "the folder of the -MF file must exist";
    fs::create_directories(dir_ / "deps");
    r = run({"-MF", "deps/a.d", "-I", "inc", "-o", "out2", "m/a.idl"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("out2/a.xml: m/a.idl m/b.idl inc/c.idl m/d.idl\n", read_file(dir_ / "deps/a.d"));
    EXPECT_FALSE(fs::exists(dir_ / "out2/a.xml.d"));

    // An include that cannot be found fails the file, and no rule is written for it.
    r = run({"-MD", "-o", "out3", "m/a.idl"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("m/a.idl:2:10: error: cannot find 'c.idl' (searched: m)"))
        << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out3/a.xml.d"));
}

TEST(DependencyRule, EscapesAndWraps) {
    EXPECT_EQ("o/a.xml: a.idl\n", depfile_rule("o/a.xml", "a.idl", {}));
    EXPECT_EQ("o/my\\ a.xml: my\\ a.idl x$$.idl \\#h.idl\n",
              depfile_rule("o/my a.xml", "my a.idl", {"x$.idl", "#h.idl"}));
    const std::string long_name(60, 'n');
    EXPECT_EQ("t.xml: " + long_name + " \\\n " + long_name + "\n",
              depfile_rule("t.xml", long_name, {long_name}));
}

TEST_F(Compile, DocumentsGetTheModeOfANewFileInBothForms) {
    write_file(dir_ / "m.idl", kGood);
    const mode_t previous = ::umask(027); // the child inherits it
    const run_result two = run({"m.idl", "two"});
    const run_result many = run({"-MD", "-j2", "-o", "many", "m.idl"});
    ::umask(previous);
    EXPECT_EQ(0, two.status);
    EXPECT_EQ(0, many.status) << many.err;
    for (const char *file : {"two/m.xml", "many/m.xml", "many/m.xml.d"}) {
        struct stat st {};
        ASSERT_EQ(0, ::stat((dir_ / file).c_str(), &st)) << file;
        EXPECT_EQ(0640u, st.st_mode & 0777u) << file;
    }
    // No temporary file stays behind.
    EXPECT_EQ((std::vector<std::string>{"m.idl", "many/m.xml", "many/m.xml.d", "two/m.xml"}),
              files());
}

TEST(DriverPaths, JoinAndParent) {
    struct row {
        const char *dir, *name, *joined;
    };
    const row joins[] = {{"out", "a.xml", "out/a.xml"},
                         {"out/", "a.xml", "out/a.xml"},
                         {".", "a.xml", "a.xml"},
                         {"", "a.xml", "a.xml"},
                         {"/", "a.xml", "/a.xml"},
                         {"out", "", "out"},
                         {".", "", "."},
                         {"", "", "."}};
    for (const row &r : joins) {
        EXPECT_EQ(r.joined, driver_join_path(r.dir, r.name)) << r.dir << " + " << r.name;
    }
    const std::pair<const char *, const char *> parents[] = {
        {"a.idl", "."}, {"m/a.idl", "m"}, {"/a.idl", "/"}, {"/x/y/a.idl", "/x/y"}};
    for (const auto &[path, parent] : parents) {
        EXPECT_EQ(parent, driver_parent_folder(path)) << path;
    }
}

TEST_F(Compile, TranslationDiagnosticsOnlyForFilesThatPassTheCheck) {
    // Both files carry a translation warning (a key inside a member); b.idl also fails the name
    // check, so it is refused before its document is made and its warning never shows.
    write_file(dir_ / "a.idl", "module A { struct P { long x; }; struct S { P p; }; };\n"
                               "#pragma keylist A::S p.x\n");
    write_file(dir_ / "b.idl", "module B { struct P { long x; }; struct S { P p; Nope n; }; };\n"
                               "#pragma keylist B::S p.x\n");
    for (const char *threads : {"1", "2"}) {
        fs::remove_all(dir_ / "out");
        const run_result r = run({"--color=never", "-j", threads, "-o", "out", "a.idl", "b.idl"});
        EXPECT_EQ(1, r.status) << r.err;
        const std::size_t check = r.err.find("b.idl:1:50: error: 'Nope' is not declared");
        const std::size_t warning = r.err.find("a.idl:2:22: warning: Key pragma names a member");
        EXPECT_NE(std::string::npos, check) << r.err;
        EXPECT_NE(std::string::npos, warning) << r.err;
        EXPECT_LT(check, warning) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("b.idl:2")) << r.err;
        EXPECT_TRUE(fs::exists(dir_ / "out/a.xml"));
        EXPECT_FALSE(fs::exists(dir_ / "out/b.xml"));
    }
}

TEST_F(Compile, FolderWalkTakesLinkedFilesButNotLinkedFolders) {
    // A link to a file in another folder converts under the link's name and reads its includes
    // beside the link; a link to a folder is not entered; a dangling link is no input.
    write_file(dir_ / "m/a.idl", "#include \"common.idl\"\nmodule M { struct A { C c; }; };\n");
    write_file(dir_ / "m/common.idl", "module M { struct C { long x; }; };\n");
    write_file(dir_ / "elsewhere/b.idl",
               "#include \"common.idl\"\nmodule M { struct B { C c; }; };\n");
    write_file(dir_ / "elsewhere/sub/d.idl", kGood);
    ASSERT_EQ(0, ::symlink("../elsewhere/b.idl", (dir_ / "m/b.idl").c_str()));
    ASSERT_EQ(0, ::symlink("../elsewhere/sub", (dir_ / "m/sub").c_str()));
    ASSERT_EQ(0, ::symlink("nowhere.idl", (dir_ / "m/gone.idl").c_str()));
    EXPECT_EQ("m/a.idl -> out/a.xml\nm/b.idl -> out/b.xml\nm/common.idl -> out/common.xml\n",
              plan({"-o", "out", "m"}));
    const run_result r = run({"-q", "-o", "out", "m"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    std::vector<std::string> written;
    for (const std::string &f : files()) {
        if (f.rfind("out/", 0) == 0) {
            written.push_back(f);
        }
    }
    EXPECT_EQ((std::vector<std::string>{"out/a.xml", "out/b.xml", "out/common.xml"}), written);
    const std::string b = read_file(dir_ / "out/b.xml");
    EXPECT_NE(std::string::npos, b.find("<include file=\"common.xml\"/>")) << b;
    EXPECT_NE(std::string::npos, b.find("name=\"B\"")) << b;
}

TEST_F(Compile, EmptyMissingAndUnreadableInputsEndCleanlyWithEveryOption) {
    // Every option combination meets inputs that give no work: a folder without a file to
    // convert, a missing file, a link that loops; each run ends with status 1 and one message.
    write_file(dir_ / "empty/notes.txt", "");
    ASSERT_EQ(0, ::symlink("loop.idl", (dir_ / "loop.idl").c_str()));
    const std::vector<std::vector<std::string>> options = {
        {},
        {"-E"},
        {"-q"},
        {"-j", "1"},
        {"--from-xml"},
        {"-MD"},
        {"--check"},
        {"--list"},
        {"-E", "-o", "pre"},
        {"-o", "-"},
        {"-MD", "-MP", "-Werror"},
        {"--check", "--from-xml", "-j", "1"},
    };
    for (const auto &opts : options) {
        for (const char *input : {"empty", "missing.idl", "loop.idl"}) {
            std::vector<std::string> args = opts;
            if (std::find(opts.begin(), opts.end(), "-o") == opts.end() &&
                std::find(opts.begin(), opts.end(), "-E") == opts.end()) {
                args.insert(args.end(), {"-o", "out"});
            }
            args.push_back(input);
            std::string line;
            for (const std::string &a : args) {
                line += a + " ";
            }
            SCOPED_TRACE(line);
            const run_result r = run(args);
            EXPECT_EQ(1, r.status);
            const bool xml = std::find(opts.begin(), opts.end(), "--from-xml") != opts.end();
            const std::string want =
                std::string(input) == "empty"
                    ? std::string("empty: no ") + (xml ? ".xml" : ".idl") + " files in it"
                : std::string(input) == "missing.idl"
                    ? "missing.idl: No such file or directory"
                    : "loop.idl: Too many levels of symbolic links";
            EXPECT_EQ("vandrel: error: " + want + "\n", r.err);
            EXPECT_EQ("", r.out);
            EXPECT_FALSE(fs::exists(dir_ / "out") || fs::exists(dir_ / "pre"));
        }
    }
}

TEST_F(Compile, ListCheckAndStandardInput) {
    write_file(dir_ / "m/a.idl", kGood);
    write_file(dir_ / "m/sub/b.idl", kGood);
    write_file(dir_ / "bad.idl", kBad);
    // --list names what would be written, reading and writing nothing.
    run_result r = run({"--list", "-MD", "-o", "out", "m", "gone.idl"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("out/a.xml\nout/a.xml.d\nout/sub/b.xml\nout/sub/b.xml.d\n", r.out);
    EXPECT_EQ("vandrel: error: gone.idl: No such file or directory\n", r.err);
    // --check converts in memory: the status tells, nothing is written.
    EXPECT_EQ(0, run({"--check", "-E", "-o", "out", "m"}).status);
    for (const char *form : {"-MD", "-q"}) {
        EXPECT_EQ(0, run({"--check", form, "-o", "out", "m"}).status) << form;
        EXPECT_EQ(1, run({"--check", form, "-o", "out", "m", "bad.idl"}).status) << form;
    }
    EXPECT_EQ((std::vector<std::string>{"bad.idl", "m/a.idl", "m/sub/b.idl"}), files());
    // `-` reads standard input, named <stdin> in reports; its includes are found here.
    const auto piped = [this](const std::string &text, const std::string &args) {
        run_options options;
        options.cwd = dir_.string();
        return run_program("/bin/sh",
                           {"-c", "printf '" + text + "' | " VANDREL_BIN " --color=never " + args},
                           options);
    };
    r = piped("module N { struct T { lnog y; }; };", "-o out -");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(0u, r.err.find("<stdin>:1:23: error: 'lnog' is not declared")) << r.err;
    r = piped("#include \"m/a.idl\"\\nmodule N { struct T { M::S s; }; };",
              "-MD -o out - --stdin-name=t.xml");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("out/t.xml: m/a.idl\n", read_file(dir_ / "out/t.xml.d"));
    EXPECT_NE(std::string::npos, read_file(dir_ / "out/t.xml").find("<include file=\"m/a.xml\"/>"));
}
