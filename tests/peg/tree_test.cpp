// Inputs, vectors, parse-tree release and dump, and the inline hash tables.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "alloc_count.hpp"
#include "base/glog.hpp"
#include "peg/ast.hpp"
#include "peg/cache.hpp"
#include "peg/ht.hpp"
#include "peg/input.hpp"
#include "peg/lt.hpp"
#include "peg/memory.hpp"
#include "peg/vector.hpp"
#include "support/log_capture.hpp"
#include "support/tree_text.hpp"

namespace {

ast *leaf(char c) {
    return ast_new(AST_CHAR, static_cast<unsigned char>(c));
}

ast *tree(std::uint64_t type, std::initializer_list<ast *> kids, std::uint64_t start = 0,
          std::uint64_t end = 0) {
    vector *v = vector_new(8);
    for (ast *k : kids)
        EXPECT_TRUE(vector_add(v, k));
    return ast_new(AST_TREE, reinterpret_cast<std::uint64_t>(ast_tree_new(type, v, start, end)));
}

} // namespace

TEST(Input, PeekAndConsumeStopAtEnd) {
    input in;
    input_init(&in, "ab", 2);
    EXPECT_EQ('a', input_peek(&in));
    EXPECT_EQ('a', input_consume(&in));
    EXPECT_EQ('b', input_consume(&in));
    EXPECT_TRUE(input_eof(&in));
    EXPECT_EQ('\0', input_consume(&in));
    EXPECT_EQ('\0', input_peek(&in));
    EXPECT_EQ(2u, in.pos);
}

TEST(Input, ReadsWholeStreams) {
    for (std::size_t size : {0u, 1u, 1023u, 1024u, 2500u, 70000u}) {
        SCOPED_TRACE(size);
        alloc_count count;
        std::string text(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            text[i] = static_cast<char>('a' + (i * 7) % 26);
        std::FILE *f = std::tmpfile();
        ASSERT_NE(nullptr, f);
        std::fwrite(text.data(), 1, text.size(), f);
        std::rewind(f);
        input *in = input_from_file_new(f);
        std::fclose(f);
        ASSERT_NE(nullptr, in);
        EXPECT_EQ(size, in->size);
        EXPECT_EQ(0u, in->pos);
        EXPECT_EQ(text, std::string(in->data, in->size));
        input_and_data_delete(in);
        EXPECT_EQ(0, count.live());
    }
}

TEST(Input, UnreadableStreamsAreRefused) {
    log_capture logs;
    EXPECT_EQ(nullptr, input_from_file_new(nullptr));
    // A stream open for writing only fails to read: that must not pass as an empty file.
    std::FILE *f = std::fopen("/dev/null", "w");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(nullptr, input_from_file_new(f));
    std::fclose(f);
    EXPECT_EQ(2u, logs.count(GLOG_ERROR));
}

TEST(Vector, GrowsByDoublingAndReverses) {
    vector v;
    ASSERT_TRUE(vector_init(&v, 8));
    int items[9];
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(vector_add(&v, &items[i]));
    EXPECT_EQ(8u, v.capacity);
    ASSERT_TRUE(vector_push(&v, &items[8]));
    EXPECT_EQ(16u, v.capacity);
    EXPECT_EQ(9u, v.count);
    EXPECT_EQ(&items[8], vector_peek(&v));
    vector_pop(&v);
    EXPECT_EQ(nullptr, v.items[8]);
    EXPECT_EQ(8u, v.count);
    vector_clear(&v);

    struct row {
        int n;
        std::string want;
    };
    for (const row &r : {row{0, ""}, row{1, "0"}, row{4, "3210"}, row{5, "43210"}}) {
        vector w;
        ASSERT_TRUE(vector_init(&w, 0)); // capacity 0 still grows
        for (int i = 0; i < r.n; ++i)
            ASSERT_TRUE(vector_add(&w, &items[i]));
        vector_reverse(&w);
        std::string got;
        for (std::uint64_t i = 0; i < w.count; ++i)
            got += static_cast<char>('0' + (static_cast<int *>(vector_get(&w, i)) - items));
        EXPECT_EQ(r.want, got);
        vector_clear(&w);
    }
}

TEST(Ast, RecursiveDeleteReleasesSharedNodesOnce) {
    alloc_count count;
    ast *shared = tree(1, {leaf('s')});
    ast *root = tree(0, {shared, tree(2, {shared, leaf('y')}), shared});
    ast_recursive_delete(root);
    EXPECT_EQ(0, count.live());
    ast_recursive_delete(nullptr);

    // Very deep trees release without native recursion.
    ast *deep = leaf('x');
    for (int i = 0; i < 200000; ++i)
        deep = tree(0, {deep});
    ast_recursive_delete(deep);
    EXPECT_EQ(0, count.live());
}

TEST(Ast, ClearKeepsChildrenAndRecursiveClearDoesNot) {
    alloc_count count;
    ast *child = leaf('c');
    ast *root = tree(0, {child});
    ast_delete(root); // tree record and vector go, the child stays
    EXPECT_EQ(1, count.live());
    ast_delete(child);
    ast *r2 = tree(0, {leaf('a'), tree(1, {leaf('b')})});
    ast_recursive_clear(r2);
    EXPECT_EQ(0u, r2->data);
    EXPECT_EQ(1, count.live());
    ast_delete(r2);
    EXPECT_EQ(0, count.live());
}

TEST(Ast, ChildrenAsString) {
    ast *r = tree(0, {leaf('i'), leaf('d'), tree(1, {}), leaf('x')});
    char *s = ast_children_as_string(r);
    ASSERT_NE(nullptr, s);
    EXPECT_STREQ("idx", s);
    peg_free(s);
    ast_recursive_delete(r);
    log_capture logs;
    ast *c = leaf('q');
    EXPECT_EQ(nullptr, ast_children_as_string(c));
    EXPECT_EQ(1u, logs.count(GLOG_ERROR));
    ast_delete(c);
}

TEST(Ast, DisplayPrintsIndentedTree) {
    const char *names[] = {"Root", "A", "B"};
    struct row {
        std::string name;
        ast *node;
        std::string want;
    };
    ast_error *e = ast_error_new(17, 3, 4, 2);
    const row rows[] = {
        {"tree", tree(0, {tree(1, {leaf('x')}), leaf('y')}), "Root\n->  A\n    |   x\n|   y\n"},
        {"deeper", tree(0, {tree(1, {tree(2, {leaf('z')})})}),
         "Root\n->  A\n    ->  B\n        |   z\n"},
        {"char", leaf('c'), "c\n"},
        {"empty", ast_new(AST_EMPTY, 0), ""},
        {"error", ast_new(AST_ERROR, reinterpret_cast<std::uint64_t>(e)),
         "parse error: failed to match 'B' at line=3, col=4, pos=17\n"},
        {"null", nullptr, "NULL"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        testing::internal::CaptureStdout();
        display_ast(r.node, names);
        std::fflush(stdout);
        EXPECT_EQ(r.want, testing::internal::GetCapturedStdout());
        testing::internal::CaptureStdout();
        display_parse_error(r.node, names);
        std::fflush(stdout);
        EXPECT_EQ(r.name == "error" ? r.want : "", testing::internal::GetCapturedStdout());
        ast_recursive_delete(r.node);
    }
}

TEST(TreeText, RendersNodesAsText) {
    const char *names[] = {"struct_def", "identifier", "member"};
    const std::string text = "struct P { \"q\"\n }";
    ast *id = tree(1, {}, 7, 8);
    ast *quoted = tree(2, {leaf('"'), leaf('q'), leaf('"'), leaf('\n')});
    ast *root = tree(0, {id, quoted, tree(9, {}, 3, 3)});
    EXPECT_EQ("(struct_def (identifier \"P\") (member \"\\\"q\\\"\\n\") (#9))",
              tree_text(root, names, 3, text));
    ast_recursive_delete(root);
    ast *e = ast_new(AST_ERROR, reinterpret_cast<std::uint64_t>(ast_error_new(5, 2, 1, 1)));
    EXPECT_EQ("(error identifier line=2 col=1 pos=5)", tree_text(e, names, 3, text));
    ast_recursive_delete(e);
    EXPECT_EQ("<null>", tree_text(nullptr, names, 3, text));
}

TEST(HashTable, GrowsAtThreeQuartersLoad) {
    ht table;
    ASSERT_TRUE(ht_init(&table, 1024));
    cache_value v{};
    for (std::uint64_t i = 0; i < 767; ++i)
        ASSERT_NE(nullptr, cache_put(&table, cache_key{i % 5, i}, v));
    ASSERT_NE(nullptr, cache_put(&table, cache_key{9, 9999}, v)); // 767 entries: no growth
    EXPECT_EQ(1024u, table.capacity);
    EXPECT_EQ(768u, table.count);
    ASSERT_NE(nullptr, cache_put(&table, cache_key{9, 10000}, v)); // 768 entries: grows first
    EXPECT_EQ(2048u, table.capacity);
    EXPECT_EQ(769u, table.count);
    // Every key is still found after re-placing, and a put on an existing key overwrites.
    for (std::uint64_t i = 0; i < 767; ++i)
        ASSERT_NE(nullptr, cache_get(&table, cache_key{i % 5, i}));
    EXPECT_EQ(nullptr, cache_get(&table, cache_key{1, 0}));
    cache_value w{nullptr, 42, 3, 4, true};
    ASSERT_NE(nullptr, cache_put(&table, cache_key{0, 0}, w));
    EXPECT_EQ(769u, table.count);
    EXPECT_EQ(42u, cache_get(&table, cache_key{0, 0})->end);
    ht_clear(&table);
}

TEST(HashTable, PointerSet) {
    ht *table = ht_new(8);
    ASSERT_NE(nullptr, table);
    int objects[100];
    for (int &o : objects)
        ASSERT_TRUE(lt_put(table, &o, 1));
    for (int &o : objects)
        EXPECT_EQ(1u, lt_get(table, &o));
    int other;
    EXPECT_EQ(0u, lt_get(table, &other));
    EXPECT_EQ(100u, table->count);
    {
        log_capture logs;
        EXPECT_FALSE(lt_put(table, nullptr, 1));
        EXPECT_EQ(1u, logs.count(GLOG_ERROR));
    }
    ht_delete(table);
}
