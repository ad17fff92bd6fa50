// End-to-end tests of the command-line driver (the built program in a temporary directory) and
// unit tests of its output naming rule.
#include "driver/driver.hpp"

#include "support/run_program.hpp"
#include "support/scratch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

const char *const kBanner = "I OrvathDDS VANDREL v1.1.0 is running, please wait...";

const std::vector<std::string> kUsage = {
    "Usage: ./vandrel idl_path output_path ",
    "",
    "positional arguments:",
    "  <idl_path>              Specify the idl to parse.",
    "  <output_path>           Specify the output location where the code will be generated.",
    "",
    "optional arguments:",
    "  -h, --help              Display this help message and exit.",
    "See 'vandrel --help' for the compiler form (vandrel -o DIR FILE...).",
};

const char *const kEmptyDocument = "<dds xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                                   "xmlns=\"http://www.omg.org/spec/DDS-XML\">\n"
                                   "    <types/>\n"
                                   "</dds>\n";

std::vector<std::string> with_usage(std::vector<std::string> head,
                                    const std::vector<std::string> &tail = {}) {
    head.insert(head.end(), kUsage.begin(), kUsage.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Every test works in a directory of its own, removed afterwards.
class Driver : public testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    run_result run(const std::vector<std::string> &args, long long size_limit = -1) {
        run_options options;
        options.cwd = dir_.string();
        options.file_size_limit = size_limit;
        run_result r = run_program(VANDREL_BIN, args, options);
        EXPECT_TRUE(r.exited) << "crashed or hung\n" << r.out << r.err;
        return r;
    }
    // Names in `sub` other than the expected ones (leftover temporary files).
    std::vector<std::string> entries(const fs::path &sub) {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(dir_ / sub, ec)) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    scratch_dir scratch_{"vandrel-driver"};
    const fs::path dir_ = scratch_.path();
};

} // namespace

TEST_F(Driver, WrongArgumentCountPrintsUsage) {
    // (An argument beginning with '-' makes the call the compiler form: see the option tests.)
    const std::vector<std::vector<std::string>> rows = {
        {}, {"types.idl"}, {"a.idl", "out", "extra"}, {"a.idl", "b.idl", "c.idl", "d"}};
    for (const auto &args : rows) {
        SCOPED_TRACE(args.size());
        run_result r = run(args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(with_usage({kBanner}), strip_log_headers(r.out));
        EXPECT_EQ("", r.err);
    }
    EXPECT_TRUE(entries("").empty());
}

TEST_F(Driver, ArgumentContentErrors) {
    write_file(dir_ / "model.IDL", "module M {};\n");
    write_file(dir_ / "types.idl", "module M {};\n");
    struct row {
        std::vector<std::string> args;
        std::vector<std::string> lines;
    };
    const row rows[] = {
        {{"model.IDL", "out"}, with_usage({kBanner}, {"E Wrong IDL Path Extension"})},
        {{"", "out"}, with_usage({kBanner}, {"E Wrong IDL Path Extension"})},
        {{"types.idl", ""}, with_usage({kBanner}, {"E Wrong Output_Path Extension"})},
        // The existence test comes after the argument checks and prints no usage text.
        {{"missing.idl", "out"}, {kBanner, "E IDL file is not exist"}},
        {{"sub/missing.idl", "out/a"}, {kBanner, "E IDL file is not exist"}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.args[0] + " " + r.args[1]);
        run_result res = run(r.args);
        EXPECT_EQ(1, res.status);
        EXPECT_EQ(r.lines, strip_log_headers(res.out));
    }
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Driver, FailedTranslationCreatesNothing) {
    write_file(dir_ / "bad.idl", "module M {\n  struct ; };\n");
    run_result r = run({"bad.idl", "out/nested"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(kBanner, strip_log_headers(r.out).at(0));
    EXPECT_EQ(std::string::npos, r.out.find("Done"));
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Driver, WritesIntoNestedOutputDirectories) {
    fs::create_directory(dir_ / "dir");
    write_file(dir_ / "dir" / "types.idl", "// nothing but a comment\n");
    run_result r = run({"dir/types.idl", "out/a/b"});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ((std::vector<std::string>{kBanner, "I Done"}), strip_log_headers(r.out));
    EXPECT_EQ(kEmptyDocument, read_file(dir_ / "out/a/b/types.xml"));
    EXPECT_EQ((std::vector<std::string>{"types.xml"}), entries("out/a/b"));

    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const char *sub : {"out", "out/a", "out/a/b"}) {
        SCOPED_TRACE(sub);
        struct stat st {};
        ASSERT_EQ(0, ::stat((dir_ / sub).c_str(), &st));
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(0755 & ~mask, st.st_mode & 0777);
    }
}

TEST_F(Driver, AbsoluteAndUntidyOutputPaths) {
    write_file(dir_ / "types.idl", "\n");
    const std::vector<std::string> outputs = {(dir_ / "abs/dir").string(), "rel//twice/",
                                              "./dot/../dot2", (dir_ / "abs/dir").string()};
    for (const std::string &out : outputs) {
        SCOPED_TRACE(out);
        run_result r = run({"types.idl", out});
        ASSERT_EQ(0, r.status) << r.out;
        EXPECT_EQ(kEmptyDocument,
                  read_file(fs::path(out).is_absolute() ? fs::path(out) / "types.xml"
                                                        : dir_ / out / "types.xml"));
    }
}

TEST_F(Driver, PathComponentThatIsAFile) {
    write_file(dir_ / "types.idl", "\n");
    write_file(dir_ / "x", "not a directory");
    fs::create_directory(dir_ / "d");
    write_file(dir_ / "d" / "leaf", "");
    struct row {
        const char *out;
        const char *line;
    };
    const row rows[] = {
        {"x/y", "E Directory preempted by filename. failed to create directory: x"},
        {"x", "E Directory preempted by filename. failed to create directory: x"},
        {"d/leaf/z/w", "E Directory preempted by filename. failed to create directory: d/leaf"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.out);
        run_result res = run({"types.idl", r.out});
        EXPECT_EQ(1, res.status);
        EXPECT_EQ((std::vector<std::string>{kBanner, r.line}), strip_log_headers(res.out));
    }
    EXPECT_EQ("not a directory", read_file(dir_ / "x"));
}

TEST(DriverNaming, OutputNameRule) {
    struct row {
        const char *idl;
        bool ok;
        const char *name;
    };
    const row rows[] = {
        {"types.idl", true, "types.xml"},
        {"dir/sub/types.idl", true, "types.xml"},
        {"/abs/types.idl", true, "types.xml"},
        {"a.idl.bak", true, "a.xml.bak"},
        {"v.idlx", true, "v.xmlx"},
        {"a.idl.idl", true, "a.xml.idl"},
        {"dir/x.idl//", true, "x.xml"},
        {"dir.idl/notes.txt", false, ""},
        {"x.idl/", true, "x.xml"},
        {".idl", true, ".xml"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.idl);
        std::string name;
        EXPECT_EQ(r.ok, driver_output_name(r.idl, name));
        if (r.ok) {
            EXPECT_EQ(r.name, name);
        }
    }
    // No length limit of its own: a 300-character base name is kept whole.
    std::string name;
    ASSERT_TRUE(driver_output_name(std::string(300, 'n') + ".idl", name));
    EXPECT_EQ(std::string(300, 'n') + ".xml", name);
}

TEST_F(Driver, NamingRuleEndToEnd) {
    write_file(dir_ / "a.idl.bak", "\n");
    fs::create_directory(dir_ / "dir.idl");
    write_file(dir_ / "dir.idl" / "notes.txt", "\n");

    run_result r = run({"a.idl.bak", "out"});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ(kEmptyDocument, read_file(dir_ / "out/a.xml.bak"));

    // The output name is checked before any directory is made: nothing is left behind.
    r = run({"dir.idl/notes.txt", "out2/deep/er"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ((std::vector<std::string>{kBanner, "E Wrong IDL extension.Suspended to create file"}),
              strip_log_headers(r.out));
    EXPECT_FALSE(fs::exists(dir_ / "out2"));
}

TEST_F(Driver, ExistingOutputIsReplaced) {
    write_file(dir_ / "types.idl", "\n");
    fs::create_directory(dir_ / "out");
    write_file(dir_ / "out" / "types.xml", std::string(10000, 'x'));
    run_result r = run({"types.idl", "out"});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ(kEmptyDocument, read_file(dir_ / "out/types.xml"));
    EXPECT_EQ((std::vector<std::string>{"types.xml"}), entries("out"));
}

TEST_F(Driver, FailedWriteLeavesNoFileAndFails) {
    write_file(dir_ / "types.idl", "\n");
    // Files may hold at most 16 bytes: writing the document fails part-way.
    run_result r = run({"types.idl", "out"}, 16);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ((std::vector<std::string>{kBanner, "E Failed to write data to file"}),
              strip_log_headers(r.out));
    EXPECT_TRUE(entries("out").empty());

    // An existing output survives a failed run untouched.
    write_file(dir_ / "out" / "types.xml", "old");
    r = run({"types.idl", "out"}, 16);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("old", read_file(dir_ / "out/types.xml"));
    EXPECT_EQ((std::vector<std::string>{"types.xml"}), entries("out"));
}

TEST_F(Driver, LargeDocumentIsStreamedWhole) {
    // Far more text than one piece of the writer: every piece reaches the file, in order.
    std::string idl = "module M {\n";
    std::string expected_body;
    const int count = 20000;
    for (int i = 0; i < count; ++i) {
        idl += "  struct S" + std::to_string(i) + " { long v; };\n";
        expected_body += "            <struct name=\"S" + std::to_string(i) +
                         "\">\n"
                         "                <member name=\"v\" type=\"int32\"/>\n"
                         "            </struct>\n";
    }
    idl += "};\n";
    write_file(dir_ / "big.idl", idl);
    run_result r = run({"big.idl", "out"});
    ASSERT_EQ(0, r.status) << r.out;
    const std::string expected = "<dds xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                                 "xmlns=\"http://www.omg.org/spec/DDS-XML\">\n"
                                 "    <types>\n"
                                 "        <module name=\"M\">\n" +
                                 expected_body +
                                 "        </module>\n"
                                 "    </types>\n"
                                 "</dds>\n";
    ASSERT_GT(expected.size(), 1000000u);
    EXPECT_TRUE(read_file(dir_ / "out/big.xml") == expected);

    // A write that fails after many pieces have gone out leaves nothing behind either.
    fs::remove(dir_ / "out/big.xml");
    r = run({"big.idl", "out"}, 300000);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ((std::vector<std::string>{kBanner, "E Failed to write data to file"}),
              strip_log_headers(r.out));
    EXPECT_TRUE(entries("out").empty());
}

TEST_F(Driver, UnwritableOutputDirectory) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "permissions do not bind the superuser";
    }
    write_file(dir_ / "types.idl", "\n");
    fs::create_directory(dir_ / "ro");
    fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    run_result r = run({"types.idl", "ro"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ((std::vector<std::string>{kBanner, "E Failed to create file"}),
              strip_log_headers(r.out));
    fs::permissions(dir_ / "ro", fs::perms::owner_all);
    EXPECT_TRUE(entries("ro").empty());
}

TEST_F(Driver, LongPaths) {
    // An IDL path far beyond 254 characters works; its output name is not cut short.
    fs::path deep = "p";
    for (int i = 0; i < 12; ++i) {
        deep /= std::string(40, static_cast<char>('a' + i));
    }
    fs::create_directories(dir_ / deep);
    const std::string base = std::string(200, 'm');
    write_file(dir_ / deep / (base + ".idl"), "\n");
    run_result r = run({(deep / (base + ".idl")).string(), "out"});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_EQ(kEmptyDocument, read_file(dir_ / "out" / (base + ".xml")));

    // Paths the platform cannot handle get a clear message, never a truncated name.
    write_file(dir_ / "types.idl", "\n");
    const std::string long_component(300, 'c');
    r = run({"types.idl", "out/" + long_component});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ((std::vector<std::string>{kBanner, "E Path is too long for this platform: out/" +
                                                     long_component}),
              strip_log_headers(r.out));

    std::string too_deep = "t";
    while (too_deep.size() < 4200) {
        too_deep += "/" + std::string(200, 'q');
    }
    r = run({"types.idl", too_deep});
    EXPECT_EQ(1, r.status);
    ASSERT_EQ(2u, strip_log_headers(r.out).size()) << r.out;
    EXPECT_EQ(0u, strip_log_headers(r.out)[1].find("E Path is too long for this platform: t/"));
    std::error_code ec;
    EXPECT_FALSE(fs::exists(dir_ / "out" / long_component, ec));
}

TEST_F(Driver, OutputNameTakenByDirectory) {
    write_file(dir_ / "types.idl", "\n");
    fs::create_directories(dir_ / "out" / "types.xml");
    run_result r = run({"types.idl", "out"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ((std::vector<std::string>{kBanner, "E Failed to create file"}),
              strip_log_headers(r.out));
    EXPECT_EQ((std::vector<std::string>{"types.xml"}), entries("out"));
    EXPECT_TRUE(fs::is_directory(dir_ / "out" / "types.xml"));
}
