// Paths tidied by name.
#include "base/path.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string joined(std::string_view path) {
    std::string out;
    for (const std::string_view part : path_components(path)) {
        out += "[" + std::string(part) + "]";
    }
    return out;
}

TEST(PathComponents, DotsFoldByName) {
    struct row {
        const char *path;
        const char *want;
    };
    const row rows[] = {
        {"", ""},
        {"/", ""},
        {"a//b/./c/", "[a][b][c]"},
        {"m/app/../common/u.idl", "[m][common][u.idl]"},
        {"/x/../../y", "[y]"},       // the root has no parent
        {"../../a/../b", "[..][..][b]"}, // a relative path keeps its way up
        {"a/../..", "[..]"},
        {"./.", ""},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.want, joined(r.path)) << r.path;
    }
}

// The absolute and relative forms the compiler form's include references are made of.
TEST(PathComponents, AbsoluteAndRelativeForms) {
    EXPECT_EQ("/w/out/a.xml", path_absolute("out//./a.xml", "/w"));
    EXPECT_EQ("/b/c", path_absolute("/b/x/../c/", "/w"));
    EXPECT_EQ("/", path_absolute("..", "/"));
    EXPECT_EQ("a/b", path_absolute("./a/b", ""));
    struct row {
        const char *path;
        const char *from;
        const char *want;
    };
    const row rows[] = {
        {"/o/inc/u.xml", "/o/model", "../inc/u.xml"},
        {"/o/model/sub/u.xml", "/o/model", "sub/u.xml"},
        {"/o/model", "/o/model/", "."},
        {"/o", "/o/model/deep", "../.."},
        {"/u.xml", "/", "u.xml"},
        {"/x/y", "/a/b", "../../x/y"},
    };
    for (const row &r : rows) {
        EXPECT_EQ(r.want, path_relative(r.path, r.from)) << r.path << " from " << r.from;
    }
}

} // namespace
