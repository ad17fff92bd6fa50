// Tests of the platform helpers: integer conversion and path canonicalisation.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/arch.hpp"

TEST(ArchStrtoull, ConvertsLikeTheDefinedAlgorithm) {
    constexpr uint64_t max = UINT64_MAX;
    struct row {
        const char *text;
        int base;
        uint64_t value;
        size_t end; // offset of the end position
        int err;    // expected errno, 0 = left untouched
    };
    const row rows[] = {
        {"0x1F", 0, 31, 4, 0},
        {"0xg", 0, 0, 1, 0}, // "0" read as octal, the x ends it
        {"0X1f", 16, 31, 4, 0},
        {"0x", 16, 0, 1, 0},
        {"1f", 16, 31, 2, 0},
        {"010", 0, 8, 3, 0},
        {"19", 8, 1, 1, 0},
        {"777", 8, 511, 3, 0},
        {"1010", 2, 10, 4, 0},
        {"zZ", 36, 35 * 36 + 35, 2, 0},
        {"  \t+42abc", 10, 42, 6, 0},
        {"18446744073709551615", 10, max, 20, 0},
        {"18446744073709551616", 10, max, 20, ERANGE},
        {"99999999999999999999999x", 10, max, 23, ERANGE},
        {"0xFFFFFFFFFFFFFFFF", 0, max, 18, 0},
        {"0x10000000000000000", 0, max, 19, ERANGE},
        {"-1", 10, max, 2, 0},
        {"-0x10", 0, max - 15, 5, 0},
        {"-18446744073709551616", 10, max, 21, ERANGE}, // overflow is not negated
        {"   ", 10, 0, 0, EINVAL},
        {"+", 10, 0, 0, EINVAL},
        {"  -", 0, 0, 0, EINVAL},
        {"", 10, 0, 0, EINVAL},
        {"ff", 10, 0, 0, EINVAL},
        {"12", 1, 0, 0, EINVAL},
        {"12", 37, 0, 0, EINVAL},
        {"12", -3, 0, 0, EINVAL},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << '"' << r.text << "\" base " << r.base);
        errno = 0;
        const char *end = nullptr;
        uint64_t value = arch_strtoull(r.text, &end, r.base);
        EXPECT_EQ(value, r.value);
        EXPECT_EQ(end, r.text + r.end);
        EXPECT_EQ(errno, r.err);
    }
}

TEST(ArchStrtoull, NullEndAndMutableOverloads) {
    errno = 0;
    EXPECT_EQ(arch_strtoull("123", nullptr, 10), 123u);
    char text[] = "0x7fz";
    char *end = nullptr;
    EXPECT_EQ(arch_strtoull(text, &end, 0), 127u);
    EXPECT_EQ(end, text + 4);
    EXPECT_EQ(arch_strtoul(text, &end, 0), 127ul);
    const char *cend = nullptr;
    EXPECT_EQ(arch_strtoul("-2", &cend, 10), ULONG_MAX - 1);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(arch_strtoull(static_cast<const char *>(nullptr), &cend, 10), 0u);
    EXPECT_EQ(errno, EINVAL);
}

TEST(ArchRealpath, ResolvesLinksDotsAndSlashes) {
    char tmpl[] = "/tmp/arch_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    char root[PATH_MAX];
    ASSERT_NE(realpath(tmpl, root), nullptr);
    std::string base = root;
    ASSERT_EQ(mkdir((base + "/a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((base + "/a/b").c_str(), 0755), 0);
    ASSERT_EQ(symlink((base + "/a/b").c_str(), (base + "/link").c_str()), 0);
    FILE *f = fopen((base + "/file").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);

    struct row {
        std::string in;
        const char *out; // null: must fail
        int err;
    };
    const row rows[] = {
        {base + "//a/./b/../b/", "/a/b", 0},
        {base + "/link/..", "/a", 0},
        {base + "/missing", nullptr, ENOENT},
        {base + "/file/x", nullptr, ENOTDIR},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.in);
        char buffer[PATH_MAX];
        errno = 0;
        char *got = arch_realpath(r.in.c_str(), buffer);
        char *heap = arch_realpath(r.in.c_str(), nullptr);
        if (r.out == nullptr) {
            EXPECT_EQ(got, nullptr);
            EXPECT_EQ(heap, nullptr);
            EXPECT_EQ(errno, r.err);
        } else {
            ASSERT_EQ(got, buffer);
            EXPECT_EQ(std::string(got), base + r.out);
            ASSERT_NE(heap, nullptr);
            EXPECT_EQ(std::string(heap), base + r.out);
        }
        free(heap);
    }
    EXPECT_EQ(arch_realpath(nullptr, nullptr), nullptr);
    unlink((base + "/link").c_str());
    unlink((base + "/file").c_str());
    rmdir((base + "/a/b").c_str());
    rmdir((base + "/a").c_str());
    rmdir(base.c_str());
}

TEST(ArchGettid, MainThreadIdIsProcessId) {
    EXPECT_EQ(arch_gettid(), getpid());
}
