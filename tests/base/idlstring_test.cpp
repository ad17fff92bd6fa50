// Tests of the growable string: growth, views, editing, failures and their messages.
#include "base/glog.hpp"
#include "base/idlstring.hpp"
#include "support/log_capture.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Captures the log and restores the string module's allocator after each test.
struct IdlStringLog : ::testing::Test {
    log_capture logs;
    void TearDown() override { (void)idl_string_set_realloc(nullptr); }
};

// Owning string with the given text and capacity.
idl_string make(const char *text, uint64_t capacity) {
    idl_string s{static_cast<char *>(std::calloc(capacity, 1)), std::strlen(text), capacity, false};
    std::memcpy(s.data, text, s.len);
    return s;
}

std::string str(const idl_string &s) {
    return std::string(s.data, s.len);
}

bool fail_resize = false;
void *maybe_realloc(void *p, size_t n) {
    return fail_resize ? nullptr : std::realloc(p, n);
}

} // namespace

//=== growth ===//

TEST(IdlString, AppendGrowsToTwiceCapacityPlusNeed) {
    struct row {
        const char *name;
        uint64_t len, capacity, add, grown;
    };
    const row rows[] = {
        {"past capacity", 10, 12, 5, 30},
        {"exact fit", 10, 12, 1, 12},
        {"from all-zero record", 0, 0, 3, 4},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        idl_string s{};
        if (r.capacity > 0)
            s = make(std::string(r.len, 'x').c_str(), r.capacity);
        ASSERT_TRUE(idl_string_append_string(&s, "abcde", r.add));
        EXPECT_EQ(r.grown, s.capacity);
        EXPECT_EQ(r.len + r.add, s.len);
        EXPECT_EQ(std::string(r.len, 'x') + std::string("abcde", r.add), str(s));
        EXPECT_EQ(0, s.data[s.len]);
        idl_string_free(&s);
        EXPECT_EQ(nullptr, s.data);
        EXPECT_EQ(0u, s.capacity);
    }
}

TEST(IdlString, EveryAppendKindKeepsTheTerminator) {
    idl_string s = make("ab", 3);
    ASSERT_TRUE(idl_string_append_char(&s, 'c'));
    EXPECT_EQ(8u, s.capacity); // 2 x 3 + 2
    ASSERT_TRUE(idl_string_append_set(&s, '-', 3));
    ASSERT_TRUE(idl_string_append_format(&s, "%d:%s", 42, "x"));
    idl_string other = make("!?", 3);
    ASSERT_TRUE(idl_string_append_string2(&s, &other));
    ASSERT_TRUE(idl_string_append_set(&s, '=', 0));
    EXPECT_EQ("abc---42:x!?", str(s));
    EXPECT_STREQ("abc---42:x!?", s.data);
    // Appending a string's own bytes survives the move of its buffer.
    ASSERT_TRUE(idl_string_append_string(&s, s.data, s.len));
    EXPECT_EQ("abc---42:x!?abc---42:x!?", str(s));
    idl_string_free(&other);
    idl_string_free(&s);
}

//=== views ===//

TEST(IdlString, LstripGivesViewPastLeadingBlanks) {
    struct row {
        const char *text;
        uint64_t skipped;
    };
    const row rows[] = {{"  \t#define", 3}, {"   ", 3}, {"", 0}, {"x ", 0}, {"\n\v\f\r y", 5}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        idl_string s = make(r.text, std::strlen(r.text) + 1);
        idl_string v = idl_string_lstrip(&s);
        EXPECT_TRUE(v.borrowed);
        EXPECT_EQ(UINT64_MAX, v.capacity);
        EXPECT_EQ(s.data + r.skipped, v.data);
        EXPECT_EQ(s.len - r.skipped, v.len);
        idl_string_free(&v); // a view is never freed
        idl_string_free(&s);
    }
}

TEST(IdlString, TokenByChar2WalksLinesAndLeavesTheUnterminatedTail) {
    idl_string s = make("a\n\nbc\nd", 16);
    uint64_t offset = 0;
    const char *lines[] = {"a\n", "\n", "bc\n"};
    for (const char *line : lines) {
        idl_string v = idl_string_token_by_char2(&s, '\n', &offset);
        EXPECT_TRUE(v.borrowed);
        EXPECT_EQ(line, str(v));
    }
    EXPECT_EQ(6u, offset);
    idl_string none = idl_string_token_by_char2(&s, '\n', &offset);
    EXPECT_EQ(nullptr, none.data);
    EXPECT_EQ(0u, none.len);
    EXPECT_FALSE(none.borrowed);
    EXPECT_EQ(6u, offset);
    // An offset past the end finds nothing rather than reading beyond the string.
    uint64_t far = 100;
    EXPECT_EQ(nullptr, idl_string_token_by_char2(&s, '\n', &far).data);
    EXPECT_EQ(100u, far);
    idl_string_free(&s);
}

TEST(IdlString, TokenByCharContinuesFromAView) {
    idl_string s = make("a,b,c", 8);
    idl_string cont{};
    idl_string first = idl_string_token_by_char(&s, ',', &cont);
    EXPECT_EQ("a,", str(first));
    EXPECT_EQ(s.data + 2, cont.data);
    EXPECT_EQ(0u, cont.len);
    EXPECT_TRUE(cont.borrowed);
    EXPECT_EQ("b,", str(idl_string_token_by_char(nullptr, ',', &cont)));
    idl_string last = idl_string_token_by_char(nullptr, ',', &cont);
    EXPECT_EQ(nullptr, last.data);
    EXPECT_EQ(s.data + 4, cont.data);
    idl_string_free(&s);
}

//=== editing ===//

TEST(IdlString, DivideSplitsAtPosition) {
    struct row {
        uint64_t at;
        const char *head;
        const char *tail;
    };
    const row rows[] = {{2, "ab", "cdef"}, {0, "", "abcdef"}, {6, "abcdef", ""}, {9, "abcdef", ""}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.at);
        idl_string s = make("abcdef", 7);
        idl_string tail = idl_string_divide(&s, r.at);
        EXPECT_EQ(r.head, str(s));
        EXPECT_STREQ(r.head, s.data);
        EXPECT_EQ(r.tail, str(tail));
        EXPECT_STREQ(r.tail, tail.data);
        EXPECT_EQ(tail.len + 1, tail.capacity);
        EXPECT_FALSE(tail.borrowed);
        idl_string_free(&tail);
        idl_string_free(&s);
    }
}

TEST(IdlString, OverwriteInAllSizeRelations) {
    struct row {
        uint64_t from, to;
        const char *with;
        const char *result;
    };
    const row rows[] = {
        {2, 5, "X", "abXfgh"},         // shorter
        {2, 5, "XYZ", "abXYZfgh"},     // same size
        {2, 5, "VWXYZ", "abVWXYZfgh"}, // longer
        {0, 8, "", ""},                // everything removed
        {8, 8, "++", "abcdefgh++"},    // at the end
        {0, 0, "N(", "N(abcdefgh"},    // at the start
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.result);
        idl_string s = make("abcdefgh", 9);
        ASSERT_TRUE(idl_string_overwrite(&s, r.from, r.to, r.with, std::strlen(r.with)));
        EXPECT_EQ(r.result, str(s));
        EXPECT_STREQ(r.result, s.data);
        idl_string_free(&s);
    }
}

TEST(IdlString, RemovalsClampToTheString) {
    struct row {
        const char *name;
        void (*op)(idl_string *);
        const char *result;
    };
    const row rows[] = {
        {"remove middle", [](idl_string *s) { idl_string_remove(s, 1, 3); }, "adef"},
        {"remove past end", [](idl_string *s) { idl_string_remove(s, 4, 99); }, "abcd"},
        {"remove reversed", [](idl_string *s) { idl_string_remove(s, 5, 2); }, "abcdef"},
        {"from start", [](idl_string *s) { idl_string_remove_from_start(s, 2); }, "cdef"},
        {"from start all", [](idl_string *s) { idl_string_remove_from_start(s, 9); }, ""},
        {"from end", [](idl_string *s) { idl_string_remove_from_end(s, 2); }, "abcd"},
        {"from end all", [](idl_string *s) { idl_string_remove_from_end(s, 9); }, ""},
        {"clear", [](idl_string *s) { idl_string_clear(s); }, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        idl_string s = make("abcdef", 7);
        r.op(&s);
        EXPECT_EQ(r.result, str(s));
        EXPECT_STREQ(r.result, s.data);
        idl_string_free(&s);
    }
}

TEST(IdlString, SetBlanksALineKeepingItsBreak) {
    idl_string s = make("#define X 1\nnext", 32);
    uint64_t offset = 0;
    idl_string line = idl_string_token_by_char2(&s, '\n', &offset);
    idl_string_set(&line, ' ', line.len - 1);
    EXPECT_EQ(std::string(11, ' ') + "\nnext", str(s));
    // An empty view stores nothing, not even at position len - 1.
    idl_string empty{s.data + 5, 0, UINT64_MAX, true};
    idl_string_set(&empty, 'z', empty.len - 1);
    EXPECT_EQ(std::string(11, ' ') + "\nnext", str(s));
    idl_string_free(&s);
}

TEST(IdlString, CopiesAndConcatenations) {
    idl_string dir = make("include", 8);
    idl_string file = make("base.idl", 9);
    idl_string path = idl_string_concat_path(&dir, &file);
    EXPECT_EQ("include/base.idl", str(path));
    EXPECT_EQ(dir.len + file.len + 2, path.capacity);
    idl_string dup = idl_string_strdup("ab\0cd", 5);
    EXPECT_EQ(std::string("ab\0cd", 5), str(dup));
    EXPECT_EQ(6u, dup.capacity);
    idl_string up = idl_string_upper(&file);
    EXPECT_EQ("BASE.IDL", str(up));
    ASSERT_NE(nullptr, idl_string_copy(&dir, "lib", 3));
    EXPECT_STREQ("lib", dir.data);
    EXPECT_EQ(3u, dir.len);
    ASSERT_TRUE(idl_string_insert(&dir, 1, "--", 2));
    EXPECT_STREQ("l--ib", dir.data);
    idl_string *heap = idl_string_create(0);
    ASSERT_NE(nullptr, heap);
    EXPECT_EQ(1u, heap->capacity);
    EXPECT_STREQ("", heap->data);
    ASSERT_TRUE(idl_string_append_string2(heap, &path));
    EXPECT_STREQ("include/base.idl", heap->data);
    idl_string_destroy(heap);
    idl_string_destroy(nullptr);
    for (idl_string *s : {&dir, &file, &path, &dup, &up})
        idl_string_free(s);
}

//=== failures and their messages ===//

TEST_F(IdlStringLog, ConvertToStringStopsAt254Bytes) {
    const std::string text(300, 'n');
    char buf[4096] = {};
    EXPECT_TRUE(idl_convert_to_string(text.data(), 254, buf));
    EXPECT_EQ(254u, std::strlen(buf));
    EXPECT_TRUE(logs.empty());
    char other[4096] = {};
    EXPECT_FALSE(idl_convert_to_string(text.data(), 255, other));
    EXPECT_STREQ("", other);
    // The message carries its own line break, so the record ends with an empty line.
    EXPECT_TRUE(logs.has_part(GLOG_ERROR, "String Buffer Overflow"));
    EXPECT_EQ(1u, logs.records().size());
    EXPECT_NE(std::string::npos, logs.raw().find(" E  String Buffer Overflow\n\n")) << logs.raw();
    // strncpy semantics: copying stops after a 0 byte within n.
    char third[4096];
    std::memset(third, 'q', sizeof third);
    EXPECT_TRUE(idl_convert_to_string("ab\0cd", 5, third));
    EXPECT_STREQ("ab", third);
    EXPECT_EQ(0, third[4]);
}

TEST_F(IdlStringLog, FailedGrowthLeavesTheStringAsItWas) {
    (void)idl_string_set_realloc(maybe_realloc);
    fail_resize = true;
    idl_string s = make("abc", 4);
    const char *data = s.data;
    struct row {
        const char *name;
        bool (*op)(idl_string *);
    };
    const row rows[] = {
        {"append_char", [](idl_string *t) { return idl_string_append_char(t, 'x'); }},
        {"append_set", [](idl_string *t) { return idl_string_append_set(t, 'x', 4); }},
        {"append_string", [](idl_string *t) { return idl_string_append_string(t, "xy", 2); }},
        {"append_format", [](idl_string *t) { return idl_string_append_format(t, "%s", "xy"); }},
        {"overwrite", [](idl_string *t) { return idl_string_overwrite(t, 0, 1, "xyz", 3); }},
        {"insert", [](idl_string *t) { return idl_string_insert(t, 1, "xyz", 3); }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_FALSE(r.op(&s));
        EXPECT_EQ(data, s.data);
        EXPECT_EQ(3u, s.len);
        EXPECT_EQ(4u, s.capacity);
        EXPECT_STREQ("abc", s.data);
        EXPECT_EQ(logs.lines(), (std::vector<std::string>{"E Unable to allocate memory"}));
        logs.clear();
    }
    fail_resize = false;
    idl_string_free(&s);
}

TEST_F(IdlStringLog, FailedCopiesReturnTheEmptyResult) {
    (void)idl_string_set_realloc(maybe_realloc);
    idl_string s = make("abcdef", 7);
    fail_resize = true;
    idl_string tail = idl_string_divide(&s, 2);
    idl_string path = idl_string_concat_path(&s, &s);
    idl_string dup = idl_string_strdup("x", 1);
    idl_string up = idl_string_upper(&s);
    for (const idl_string &r : {tail, path, dup, up}) {
        EXPECT_EQ(nullptr, r.data);
        EXPECT_EQ(0u, r.len);
        EXPECT_EQ(0u, r.capacity);
        EXPECT_FALSE(r.borrowed);
    }
    EXPECT_STREQ("abcdef", s.data); // divide left it whole
    EXPECT_EQ(6u, s.len);
    EXPECT_EQ(logs.messages(GLOG_FATAL),
              std::vector<std::string>(4, "Out of memory: Unable to allocate memory"));
    EXPECT_EQ(4u, logs.records().size());
    logs.clear();
    EXPECT_EQ(nullptr, idl_string_create(16));
    EXPECT_TRUE(logs.has(GLOG_ERROR, "Unable to allocate memory"));
    fail_resize = false;
    idl_string_free(&s);
}

TEST_F(IdlStringLog, ViewsAndBadPositionsAreRefused) {
    idl_string s = make("line one\nline two\n", 32);
    uint64_t offset = 0;
    idl_string view = idl_string_token_by_char2(&s, '\n', &offset);
    // Growing or editing a view would write into, or past, its owner's bytes.
    EXPECT_FALSE(idl_string_append_string(&view, "overflow", 8));
    EXPECT_FALSE(idl_string_overwrite(&view, 0, 1, "L", 1));
    EXPECT_EQ(nullptr, idl_string_copy(&view, "x", 1));
    idl_string_remove(&view, 0, 4);
    idl_string_clear(&view);
    EXPECT_EQ("line one\nline two\n", str(s));
    EXPECT_EQ(9u, view.len);
    EXPECT_TRUE(logs.has(GLOG_ERROR, "Unable to change a borrowed string"));
    EXPECT_EQ(3u, logs.count(GLOG_ERROR)); // append, overwrite, copy; removals stay silent
    logs.clear();
    // Ranges outside the string and copies beyond the capacity change nothing.
    EXPECT_FALSE(idl_string_overwrite(&s, 5, 99, "x", 1));
    EXPECT_FALSE(idl_string_overwrite(&s, 6, 5, "x", 1));
    EXPECT_FALSE(idl_string_insert(&s, 99, "x", 1));
    EXPECT_EQ(nullptr, idl_string_copy(&s, std::string(40, 'c').c_str(), 40));
    EXPECT_FALSE(idl_string_append_string(&s, nullptr, 3));
    EXPECT_EQ("line one\nline two\n", str(s));
    EXPECT_TRUE(logs.has(GLOG_ERROR, "String position out of range"));
    idl_string_free(&s);
}

TEST_F(IdlStringLog, ShrinkToFitKeepsTheBytesAndSurvivesARefusal) {
    (void)idl_string_set_realloc(maybe_realloc);
    idl_string s = make("abc", 64);
    fail_resize = true;
    idl_string_shrink_to_fit(&s); // refused: the larger block stays, unchanged
    EXPECT_EQ(64u, s.capacity);
    EXPECT_STREQ("abc", s.data);
    fail_resize = false;
    idl_string_shrink_to_fit(&s);
    EXPECT_EQ(4u, s.capacity);
    EXPECT_EQ(3u, s.len);
    EXPECT_STREQ("abc", s.data);
    EXPECT_TRUE(idl_string_append_char(&s, 'd')); // still grows afterwards
    EXPECT_STREQ("abcd", s.data);
    idl_string view = idl_string_lstrip(&s);
    idl_string_shrink_to_fit(&view); // a view owns nothing and is left alone
    EXPECT_TRUE(view.borrowed);
    EXPECT_TRUE(logs.lines().empty());
    idl_string_free(&s);
}
