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

} // namespace
