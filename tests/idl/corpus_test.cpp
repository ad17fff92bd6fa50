// Every sample model of tests/models, and every real data model of the corpus folder beside the
// project when it is there, converts with status 0 into well-formed XML.
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> idl_files_below(const fs::path &root) {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file() && it->path().extension() == ".idl") {
            files.push_back(it->path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Path of xmllint when it is installed, else "".
std::string xmllint_path() {
    const run_result r = run_program("/bin/sh", {"-c", "command -v xmllint"});
    if (!r.exited || r.status != 0) {
        return {};
    }
    std::string path = r.out;
    while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) {
        path.pop_back();
    }
    return path;
}

// Converts each file with the two-argument form and checks the document's shape.
void expect_each_converts(const std::vector<fs::path> &files) {
    const fs::path out = fs::temp_directory_path() / ("vandrel_models_" + std::to_string(getpid()));
    const std::string lint = xmllint_path();
    if (lint.empty()) {
        std::cout << "xmllint not installed: well-formedness is checked by the tag shape only\n";
    }
    for (const fs::path &file : files) {
        SCOPED_TRACE(file.string());
        const run_result r = run_program(VANDREL_BINARY, {file.string(), out.string()});
        ASSERT_TRUE(r.exited) << r.out << r.err;
        EXPECT_EQ(0, r.status) << r.out;
        const fs::path xml = out / file.filename().replace_extension(".xml");
        ASSERT_TRUE(fs::exists(xml));
        std::ifstream in(xml, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(0u, text.str().rfind("<dds ", 0));
        EXPECT_NE(std::string::npos, text.str().find("</dds>\n"));
        if (!lint.empty()) {
            const run_result check = run_program(lint, {"--noout", xml.string()});
            EXPECT_TRUE(check.exited && check.status == 0) << check.out << check.err;
        }
    }
    std::error_code ec;
    fs::remove_all(out, ec);
}

} // namespace

TEST(Models, EverySampleModelConvertsToWellFormedXml) {
    const std::vector<fs::path> files = idl_files_below(VANDREL_MODELS_DIR);
    ASSERT_GE(files.size(), 5u) << "the sample models under " << VANDREL_MODELS_DIR
                                << " are missing";
    expect_each_converts(files);
}

TEST(Corpus, EveryModelConvertsToWellFormedXml) {
    std::error_code ec;
    if (!fs::is_directory(VANDREL_CORPUS_DIR, ec)) {
        GTEST_SKIP() << "no corpus folder " << VANDREL_CORPUS_DIR
                     << ": its real models are not converted in this run";
    }
    const std::vector<fs::path> files = idl_files_below(VANDREL_CORPUS_DIR);
    ASSERT_FALSE(files.empty()) << "no IDL files under " << VANDREL_CORPUS_DIR;
    expect_each_converts(files);
}
