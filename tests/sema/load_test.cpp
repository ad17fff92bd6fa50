// Model-reading tests: files on disk, their includes found, read once, and their macros seen.
#include "base/diag.hpp"
#include "idl/idl_load.hpp"
#include "support/log_capture.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class collect : public diag_consumer {
public:
    std::vector<std::string> lines;
    void consume(const diagnostic &d) override {
        const std::string text = diag_gcc_text(d, false);
        lines.push_back(text.substr(0, text.find('\n')));
    }
};

// A fresh folder the test works in (the process's working folder for its lifetime).
class LoadTest : public ::testing::Test {
protected:
    std::string old_dir;
    std::string dir;
    void SetUp() override {
        char buf[4096];
        ASSERT_NE(nullptr, getcwd(buf, sizeof buf));
        old_dir = buf;
        char tmpl[] = "/tmp/vandrel_load_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
        ASSERT_EQ(0, chdir(dir.c_str()));
    }
    void TearDown() override {
        ASSERT_EQ(0, chdir(old_dir.c_str()));
        const std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(0, std::system(cmd.c_str()));
    }
    static void write(const std::string &path, const std::string &text) {
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos) {
            const std::string cmd = "mkdir -p '" + path.substr(0, slash) + "'";
            ASSERT_EQ(0, std::system(cmd.c_str()));
        }
        std::ofstream(path) << text;
    }
};

struct loaded {
    const idl_unit *unit;
    std::vector<std::string> lines;
    std::size_t model_size;
    std::vector<std::string> deps;
};

loaded load(const char *path, const std::vector<std::string> &include_dirs) {
    collect c;
    diag_consumer *before = diag_set_consumer(&c);
    idl_loader *loader = idl_loader_new(nullptr, include_dirs);
    const idl_unit *unit = idl_loader_read(loader, path);
    loaded out{unit, c.lines, 0, {}};
    if (unit != nullptr) {
        out.model_size = idl_loader_model(loader, {unit}).size();
        for (const std::string &d : idl_loader_dependencies(loader, unit)) {
            out.deps.push_back(d);
        }
        out.unit = nullptr; // released with the loader
    } else {
        out.unit = nullptr;
    }
    idl_loader_delete(loader);
    diag_set_consumer(before);
    return out;
}

TEST_F(LoadTest, IncludesAreFoundBesideTheFileThenInIncludeFolders) {
    write("a.idl", "#include \"b.idl\"\n#include \"c.idl\"\nstruct A { long x; };\n");
    write("b.idl", "struct B { long x; };\n");
    write("inc/c.idl", "#include \"d.idl\"\nstruct C { long x; };\n");
    write("inc/d.idl", "struct D { long x; };\n");
    const loaded l = load("a.idl", {"inc"});
    EXPECT_TRUE(l.lines.empty());
    EXPECT_EQ(4u, l.model_size);
    EXPECT_EQ((std::vector<std::string>{"b.idl", "inc/c.idl", "inc/d.idl"}), l.deps);
}

TEST_F(LoadTest, MissingIncludeNamesTheFoldersSearched) {
    write("types.idl", "// types\n\n#include \"common.idl\"\n");
    const loaded l = load("types.idl", {"include"});
    EXPECT_EQ((std::vector<std::string>{
                  "types.idl:3:10: error: cannot find 'common.idl' (searched: ., include)"}),
              l.lines);
    EXPECT_EQ(0u, l.model_size);
    write("sub/x.idl", "#include \"y.idl\"\n");
    const loaded sub = load("sub/x.idl", {});
    EXPECT_EQ(
        (std::vector<std::string>{"sub/x.idl:1:10: error: cannot find 'y.idl' (searched: sub)"}),
        sub.lines);
}

TEST_F(LoadTest, EachFileIsReadOnceAndCyclesStop) {
    write("a.idl", "#include \"b.idl\"\n#include \"b.idl\"\nstruct A { long x; };\n");
    write("b.idl",
          "#ifndef B_IDL\n#define B_IDL\n#include \"a.idl\"\nstruct B { long x; };\n#endif\n");
    const loaded l = load("a.idl", {});
    EXPECT_EQ((std::vector<std::string>{"b.idl:3:10: warning: include cycle: 'a.idl' is already "
                                        "being read; not read again [-Winclude-cycle]"}),
              l.lines);
    EXPECT_EQ(2u, l.model_size);
    EXPECT_EQ((std::vector<std::string>{"b.idl"}), l.deps);
}

TEST_F(LoadTest, MacrosOfAnIncludedFileAreSeenAfterTheInclude) {
    write("a.idl", "#include \"n.idl\"\nstruct A { long x[N]; SQ(long) s; };\n");
    write("n.idl", "#define N 4\n#define SQ(t) sequence<t, N>\n#define GONE 1\n#undef GONE\n");
    collect c;
    diag_consumer *before = diag_set_consumer(&c);
    idl_loader *loader = idl_loader_new(nullptr, {});
    const idl_unit *unit = idl_loader_read(loader, "a.idl");
    ASSERT_NE(nullptr, unit);
    EXPECT_NE(std::string::npos, unit->text.find("long x[4]"));
    EXPECT_NE(std::string::npos, unit->text.find("sequence<long, 4>"));
    idl_loader_delete(loader);
    diag_set_consumer(before);
    EXPECT_TRUE(c.lines.empty());
}

TEST_F(LoadTest, AFailingIncludedFileFailsItsIncluders) {
    write("a.idl", "#include \"bad.idl\"\n");
    write("b.idl", "#include \"bad.idl\"\n");
    write("bad.idl", "struct { };\n");
    log_capture logs;
    idl_loader *loader = idl_loader_new(nullptr, {});
    EXPECT_EQ(nullptr, idl_loader_read(loader, "a.idl"));
    const std::size_t after_first = logs.lines().size();
    EXPECT_GT(after_first, 0u);
    EXPECT_EQ(nullptr, idl_loader_read(loader, "b.idl"));
    EXPECT_EQ(after_first, logs.lines().size()); // reported once
    idl_loader_delete(loader);
}

TEST_F(LoadTest, ThreadsShareTheCacheAndCrossCyclesDoNotHang) {
    write("a.idl", "#include \"b.idl\"\nstruct A { long x; };\n");
    write("b.idl", "#include \"a.idl\"\nstruct B { long x; };\n");
    write("c.idl", "#include \"a.idl\"\n#include \"b.idl\"\n");
    collect c;
    for (int round = 0; round < 20; ++round) {
        idl_loader *loader = idl_loader_new(nullptr, {});
        const idl_unit *units[3] = {};
        std::thread t1([&] {
            diag_consumer *b = diag_set_consumer(&c);
            units[0] = idl_loader_read(loader, "a.idl");
            diag_set_consumer(b);
        });
        std::thread t2([&] {
            diag_consumer *b = diag_set_consumer(&c);
            units[1] = idl_loader_read(loader, "b.idl");
            units[2] = idl_loader_read(loader, "c.idl");
            diag_set_consumer(b);
        });
        t1.join();
        t2.join();
        ASSERT_NE(nullptr, units[0]);
        ASSERT_NE(nullptr, units[1]);
        ASSERT_NE(nullptr, units[2]);
        EXPECT_EQ(3u, idl_loader_model(loader, {units[0], units[1], units[2]}).size());
        idl_loader_delete(loader);
    }
}

} // namespace

#include "sema/sema.hpp"
#include "xml/xmltree.hpp"

#include <algorithm>
#include <dirent.h>

namespace {

// The shared corpus reads and checks cleanly but for its undeclared `String`, which carries a
// hint and passes as a warning with the permissive option. Skipped when the corpus is absent.
TEST(Corpus, ChecksButForUndeclaredString) {
    const std::string root = std::string(VANDREL_CORPUS_DIR) + "/tex";
    DIR *d = opendir(root.c_str());
    if (d == nullptr) {
        GTEST_SKIP() << "no corpus at " << root;
    }
    std::vector<std::string> files;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".idl") {
            files.push_back(root + "/" + name);
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    for (const bool permissive : {false, true}) {
        collect c;
        diag_consumer *before = diag_set_consumer(&c);
        idl_loader *loader = idl_loader_new(nullptr, {});
        std::vector<const idl_unit *> roots;
        for (const std::string &f : files) {
            const idl_unit *u = idl_loader_read(loader, f.c_str());
            ASSERT_NE(nullptr, u) << f;
            roots.push_back(u);
        }
        sema_options options;
        options.permissive = permissive;
        const bool ok = sema_check(idl_loader_model(loader, roots), options);
        const std::vector<std::string> checked = c.lines;
        // Every file translates, its key pragmas resolved with missing names as errors.
        for (const idl_unit *u : roots) {
            xmltree *doc = idl_unit_document(u);
            EXPECT_NE(nullptr, doc) << u->path;
            xmltree_free(doc);
        }
        idl_loader_delete(loader);
        diag_set_consumer(before);
        EXPECT_EQ(permissive, ok);
        EXPECT_FALSE(checked.empty());
        for (const std::string &line : checked) {
            EXPECT_NE(std::string::npos,
                      line.find(std::string(permissive ? "warning" : "error") +
                                ": 'String' is not declared; did you mean the keyword 'string'?"))
                << line;
        }
    }
}

} // namespace

#include "preproc/preproc.hpp"

namespace {

struct seen_include {
    std::string path;
    bool angle;
    unsigned long line;
    unsigned long column;
};

bool record_include(void *context, preproc_root *, const preproc_include_request &request) {
    auto *out = static_cast<std::vector<seen_include> *>(context);
    out->push_back({std::string(request.path, request.len), request.angle,
                    static_cast<unsigned long>(request.line),
                    static_cast<unsigned long>(request.column)});
    return out->size() < 3; // the third include stops preprocessing
}

TEST_F(LoadTest, PreprocessorHandsIncludesOutsideSkippedSectionsToTheHook) {
    write("h.idl", "#include \"a.idl\"\n#if 0\n#include \"skipped.idl\"\n#endif\n"
                   "  #  include \"sub/b.idl\"\nstruct S { long x; };\n");
    write("stop.idl", "#include \"1.idl\"\n#include \"2.idl\"\n#include \"3.idl\"\n"
                      "#include \"4.idl\"\n");
    const struct {
        const char *file;
        bool ok;
        std::vector<std::string> expected; // path@line:column
    } rows[] = {
        {"h.idl", true, {"a.idl@1:10", "sub/b.idl@5:14"}},
        {"stop.idl", false, {"1.idl@1:10", "2.idl@2:10", "3.idl@3:10"}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.file);
        std::vector<seen_include> seen;
        preproc_root state{};
        ASSERT_TRUE(preproc_root_init(&state, nullptr, nullptr));
        state.include_hook = record_include;
        state.include_context = &seen;
        EXPECT_EQ(r.ok, zadozeda_preproc(&state, r.file));
        preproc_root_fini(&state);
        std::vector<std::string> got;
        for (const seen_include &s : seen) {
            EXPECT_FALSE(s.angle);
            got.push_back(s.path + "@" + std::to_string(s.line) + ":" + std::to_string(s.column));
        }
        EXPECT_EQ(r.expected, got);
    }
}

} // namespace

namespace {

TEST_F(LoadTest, AngleIncludesAreLookedUpInIncludeFoldersOnly) {
    write("a.idl", "#include <b.idl>\n");
    write("b.idl", "struct B { long x; };\n");
    write("inc/b.idl", "struct IB { long x; };\n");
    const loaded found = load("a.idl", {"inc"});
    EXPECT_TRUE(found.lines.empty());
    EXPECT_EQ((std::vector<std::string>{"inc/b.idl"}), found.deps);
    EXPECT_EQ(2u, found.model_size);
    const loaded missing = load("a.idl", {});
    EXPECT_EQ((std::vector<std::string>{
                  "a.idl:1:10: error: cannot find 'b.idl' (no include folder given)"}),
              missing.lines);
}

} // namespace

namespace {

TEST_F(LoadTest, ThreadsSeeNoCycleWhereThereIsNone) {
    // Each file includes the two before it; threads read from opposite ends of the chain.
    const int n = 24;
    for (int i = 0; i < n; ++i) {
        std::string text;
        for (int k = 1; k <= 2 && i - k >= 0; ++k) {
            text += "#include \"f" + std::to_string(i - k) + ".idl\"\n";
        }
        text += "module m" + std::to_string(i) + " {};\n";
        write("f" + std::to_string(i) + ".idl", text);
    }
    for (int round = 0; round < 20; ++round) {
        collect c1;
        collect c2;
        idl_loader *loader = idl_loader_new(nullptr, {});
        bool ok1 = true;
        bool ok2 = true;
        std::thread t1([&] {
            diag_consumer *b = diag_set_consumer(&c1);
            for (int i = 0; i < n; ++i) {
                ok1 = ok1 && idl_loader_read(loader, ("f" + std::to_string(i) + ".idl").c_str());
            }
            diag_set_consumer(b);
        });
        std::thread t2([&] {
            diag_consumer *b = diag_set_consumer(&c2);
            for (int i = n; i-- > 0;) {
                ok2 = ok2 && idl_loader_read(loader, ("f" + std::to_string(i) + ".idl").c_str());
            }
            diag_set_consumer(b);
        });
        t1.join();
        t2.join();
        idl_loader_delete(loader);
        EXPECT_TRUE(ok1 && ok2);
        EXPECT_TRUE(c1.lines.empty()) << c1.lines.front();
        EXPECT_TRUE(c2.lines.empty()) << c2.lines.front();
    }
}

} // namespace

namespace {

// What a parse hook saw: each file once, with its tree, on whichever thread.
struct hook_log {
    std::mutex lock;
    std::map<std::string, int> calls; // resolved path -> calls
    bool tree_missing = false;
    static void record(void *context, idl_unit *unit) {
        auto &log = *static_cast<hook_log *>(context);
        const std::lock_guard<std::mutex> hold(log.lock);
        ++log.calls[unit->resolved];
        log.tree_missing = log.tree_missing || unit->tree == nullptr;
    }
    int calls_of(const std::string &resolved) {
        const std::lock_guard<std::mutex> hold(lock);
        auto found = calls.find(resolved);
        return found == calls.end() ? 0 : found->second;
    }
};

TEST_F(LoadTest, ParseHookSeesEveryFileOnceBeforeItsReadReturns) {
    // Each file includes the three before it and fails nothing; threads read the files from
    // both ends and the middle, so that some wait for files others are reading.
    const int n = 30;
    for (int i = 0; i < n; ++i) {
        std::string text;
        for (int k = 1; k <= 3 && i - k >= 0; ++k) {
            text += "#include \"f" + std::to_string(i - k) + ".idl\"\n";
        }
        text += "module m { struct S" + std::to_string(i) + " { long x; }; };\n";
        write("f" + std::to_string(i) + ".idl", text);
    }
    for (int round = 0; round < 10; ++round) {
        hook_log log;
        idl_loader *loader = idl_loader_new(nullptr, {});
        idl_loader_on_parsed(loader, hook_log::record, &log);
        // Per thread: what each read gave, and whether the file and those it includes had been
        // through the hook when the read returned.
        struct seen {
            std::vector<const idl_unit *> read;
            std::vector<char> hooked;
        };
        seen by[3];
        const auto reader = [&](seen *mine, int from, int step) {
            collect quiet;
            diag_consumer *b = diag_set_consumer(&quiet);
            mine->read.assign(n, nullptr);
            mine->hooked.assign(n, 0);
            for (int k = 0; k < n; ++k) {
                const int i = (from + k * step + n * n) % n;
                const idl_unit *u =
                    idl_loader_read(loader, ("f" + std::to_string(i) + ".idl").c_str());
                mine->read[i] = u;
                bool all = u != nullptr && log.calls_of(u->resolved) == 1;
                for (std::size_t e = 0; all && e < u->includes.size(); ++e) {
                    all = log.calls_of(u->includes[e].resolved) == 1;
                }
                mine->hooked[i] = all ? 1 : 0;
            }
            diag_set_consumer(b);
        };
        std::thread t1(reader, &by[0], 0, 1);
        std::thread t2(reader, &by[1], n - 1, -1);
        std::thread t3(reader, &by[2], n / 2, 7);
        t1.join();
        t2.join();
        t3.join();
        EXPECT_FALSE(log.tree_missing);
        EXPECT_EQ(static_cast<std::size_t>(n), log.calls.size());
        const std::vector<const idl_unit *> &read = by[0].read;
        for (int i = 0; i < n; ++i) {
            ASSERT_NE(nullptr, read[i]);
            EXPECT_EQ(read[i], by[1].read[i]);
            EXPECT_EQ(read[i], by[2].read[i]);
            EXPECT_EQ(1, log.calls_of(read[i]->resolved));
            EXPECT_TRUE(by[0].hooked[i] && by[1].hooked[i] && by[2].hooked[i]) << i;
            // The tree went back once the hook took what it needed; the rest of the unit stays.
            EXPECT_EQ(nullptr, read[i]->tree);
            EXPECT_NE(std::string::npos, read[i]->text.find("S" + std::to_string(i)));
        }
        EXPECT_EQ(static_cast<std::size_t>(n), idl_loader_model(loader, read).size());
        idl_loader_delete(loader);
    }
}

TEST_F(LoadTest, AFileThatFailsToParseFailsItsIncludersOnEveryThread) {
    // bad.idl preprocesses (its includers go on with its macros) and then fails to parse.
    write("bad.idl", "#define WIDTH 4\nstruct { long x[WIDTH]; };\n");
    const int n = 8;
    for (int i = 0; i < n; ++i) {
        write("f" + std::to_string(i) + ".idl",
              "#include \"bad.idl\"\nstruct S" + std::to_string(i) + " { long x[WIDTH]; };\n");
    }
    write("good.idl", "struct G { long x; };\n");
    for (int round = 0; round < 10; ++round) {
        log_capture logs;
        idl_loader *loader = idl_loader_new(nullptr, {});
        hook_log log;
        idl_loader_on_parsed(loader, hook_log::record, &log);
        std::vector<const idl_unit *> read(n, nullptr);
        const idl_unit *good = nullptr;
        const auto reader = [&](int from) {
            for (int i = from; i < n; i += 2) {
                read[i] = idl_loader_read(loader, ("f" + std::to_string(i) + ".idl").c_str());
            }
        };
        std::thread t1(reader, 0);
        std::thread t2(reader, 1);
        good = idl_loader_read(loader, "good.idl");
        t1.join();
        t2.join();
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(nullptr, read[i]) << i;
        }
        ASSERT_NE(nullptr, good);
        // Only the file that parsed reached the hook; the parse error is reported once.
        EXPECT_EQ(1u, log.calls.size());
        std::size_t errors = 0;
        for (const std::string &line : logs.lines()) {
            errors += line.find("Failed to parse") != std::string::npos ? 1 : 0;
        }
        EXPECT_EQ(1u, errors);
        idl_loader_delete(loader);
    }
}

// Macros come through includes as the C preprocessor would have them: an includer may drop or
// change one it received, and what it ends with is what its own includers receive.
TEST_F(LoadTest, MacrosPassThroughChainsOfIncludes) {
    write("base.idl", "#define N 4\n#define TWICE(x) (x * 2)\n#define OLD 1\n#define KEEP 7\n");
    write("mid.idl", "#include \"base.idl\"\n#undef OLD\n#undef N\n#define N 5\n"
                     "typedef long M[TWICE(N)];\n");
    write("other.idl", "#include \"base.idl\"\ntypedef long O[KEEP];\n");
    write("top.idl", "#include \"mid.idl\"\n#include \"other.idl\"\n"
                     "struct T { long a[N]; long b[TWICE(KEEP)];\n"
                     "#ifdef OLD\n long old;\n#endif\n};\n");
    for (const bool hooked : {false, true}) {
        SCOPED_TRACE(hooked);
        collect c;
        diag_consumer *before = diag_set_consumer(&c);
        idl_loader *loader = idl_loader_new(nullptr, {});
        hook_log log;
        if (hooked) {
            idl_loader_on_parsed(loader, hook_log::record, &log);
        }
        const idl_unit *mid = idl_loader_read(loader, "mid.idl");
        const idl_unit *top = idl_loader_read(loader, "top.idl");
        ASSERT_NE(nullptr, mid);
        ASSERT_NE(nullptr, top);
        EXPECT_NE(std::string::npos, mid->text.find("M[(5 * 2)]")) << mid->text;
        // From mid: N is 5 and OLD is gone; other.idl brings base.idl's N 4 again, as a second
        // textual include of base.idl would.
        EXPECT_NE(std::string::npos, top->text.find("long a[4]")) << top->text;
        EXPECT_NE(std::string::npos, top->text.find("long b[(7 * 2)]")) << top->text;
        EXPECT_NE(std::string::npos, top->text.find("long old")) << top->text;
        idl_loader_delete(loader);
        diag_set_consumer(before);
        EXPECT_TRUE(c.lines.empty());
    }
}

} // namespace

namespace {

// A file an include brings in is read with the macros in force there; it is read again only
// when a macro it looks at differs, and readings that agree share its unit.
TEST_F(LoadTest, AnIncludedFileIsReadAgainOnlyWhereAMacroItLooksAtDiffers) {
    write("cfg.idl", "#ifdef WIDE\nstruct W { long x[N]; };\n#endif\nstruct C { long y[N]; };\n");
    const char *const includers[][2] = {
        {"a.idl", "#define N 4\n#include \"cfg.idl\"\n"},
        {"b.idl", "#define N 4\n#define OTHER 1\n#include \"cfg.idl\"\n"},
        {"c.idl", "#define WIDE\n#define N 4\n#include \"cfg.idl\"\n"},
        {"d.idl", "#define N 8\n#include \"cfg.idl\"\n"},
    };
    idl_loader *loader = idl_loader_new(nullptr, {});
    hook_log log;
    idl_loader_on_parsed(loader, hook_log::record, &log);
    std::vector<const idl_unit *> cfg;
    for (const auto &f : includers) {
        write(f[0], f[1]);
        const idl_unit *unit = idl_loader_read(loader, f[0]);
        ASSERT_NE(nullptr, unit) << f[0];
        cfg.push_back(idl_loader_model(loader, {unit}).front());
    }
    EXPECT_EQ(cfg[0], cfg[1]); // OTHER is not looked at
    EXPECT_NE(std::string::npos, cfg[2]->text.find("struct W { long x[4]; }"));
    EXPECT_NE(std::string::npos, cfg[3]->text.find("long y[8]"));
    EXPECT_EQ(3, log.calls_of(cfg[0]->resolved));
    idl_loader_delete(loader);
}

} // namespace
