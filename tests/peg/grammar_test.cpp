// Grammar objects: classes with signed bytes, state flags, and release of whole parsers.
#include <gtest/gtest.h>

#include <cstring>

#include "alloc_count.hpp"
#include "base/glog.hpp"
#include "hand_grammar.hpp"
#include "peg/edge.hpp"
#include "peg/fa.hpp"
#include "peg/memory.hpp"
#include "peg/parser.hpp"
#include "peg/set.hpp"
#include "peg/state.hpp"
#include "peg/trans.hpp"
#include "support/log_capture.hpp"

namespace {

set *class_of(const char *singles, const char *ranges) {
    std::size_t ns = std::strlen(singles), nr = std::strlen(ranges) / 2;
    auto *s = static_cast<char *>(peg_calloc(ns, 1));
    auto *lo = static_cast<char *>(peg_calloc(nr, 1));
    auto *hi = static_cast<char *>(peg_calloc(nr, 1));
    std::memcpy(s, singles, ns);
    for (std::size_t i = 0; i < nr; ++i) {
        lo[i] = ranges[2 * i];
        hi[i] = ranges[2 * i + 1];
    }
    return set_new(s, ns, lo, hi, nr);
}

} // namespace

TEST(Set, MembershipComparesSignedBytes) {
    struct row {
        const char *singles;
        const char *ranges; // pairs of bounds
        char c;
        bool in;
    };
    const row rows[] = {
        {"_", "az", 'm', true},          {"_", "az", '_', true},
        {"_", "az", '{', false},         {"_", "az", 'A', false},
        {"", "\x20\x7e", '\xe9', false}, // a high byte is negative: below 0x20
        {"", "\x80\xff", '\xe9', true},  // -128..-1 holds every high byte
        {"", "\x80\xff", 'a', false},    {"", "", 'a', false}, // empty class
        {"", "", '\0', false},           {"\xe9", "", '\xe9', true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "byte " << static_cast<int>(r.c));
        set *s = class_of(r.singles, r.ranges);
        EXPECT_EQ(r.in, set_within_set(s, static_cast<signed char>(r.c)));
        set_delete(s);
    }
    EXPECT_FALSE(set_within_set(nullptr, 'a'));
}

TEST(State, InitNormalisesMatchFlag) {
    struct row {
        int match;
        bool stored;
    };
    for (row r : {row{0, false}, row{1, true}, row{2, true}, row{-1, true}}) {
        state s;
        state_init(&s, nullptr, 0, r.match);
        EXPECT_EQ(r.stored, s.match);
        EXPECT_EQ(r.stored ? 1 : 0, static_cast<int>(*reinterpret_cast<unsigned char *>(&s.match)));
    }
}

TEST(Parser, DeleteReleasesEverythingOnce) {
    alloc_count count;
    {
        // Classes, zero-length edge arrays and an automaton without states.
        hand_grammar g;
        auto s = g.add(MODE_TREE, 0, 3);
        g.cls(s, 0, "a-z_", 1);
        g.cls(s, 1, "0-9", 2, true);
        g.ch(s, 0, 'x', 2);
        g.accept(s, 2);
        g.add(MODE_VOID, 1, 0);
        g.add(MODE_NOT, 0, 1);
        parser *p = g.build();
        ASSERT_NE(nullptr, p);
        EXPECT_GT(count.live(), 0);
        parser_delete(p);
    }
    EXPECT_EQ(0, count.live());
    // Release functions accept null and zero-filled records.
    parser_delete(nullptr);
    parser zero{};
    parser_clear(&zero);
    fa zfa{};
    fa_clear(&zfa);
    state zst{};
    state_clear(&zst);
    set zset{};
    set_clear(&zset);
    trans_delete(nullptr);
    edge_delete(nullptr);
    EXPECT_EQ(0, count.live());
}

TEST(Parser, SingleRecordsRoundTrip) {
    alloc_count count;
    trans *t = trans_new(TRANS_CLASS, reinterpret_cast<std::uint64_t>(class_of("ab", "")));
    ASSERT_NE(nullptr, t);
    edge *e = edge_new(*t, 4, true);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(4u, e->target);
    EXPECT_TRUE(e->voided);
    EXPECT_EQ(TRANS_CLASS, e->trans.kind);
    peg_free(t); // the edge holds the transition (and its class) now
    edge_delete(e);
    state *s = state_new(nullptr, 0, 1);
    fa *a = fa_new(MODE_PRUNE, 3, nullptr, 0);
    ASSERT_NE(nullptr, s);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(3u, a->type);
    state_delete(s);
    fa_delete(a);
    EXPECT_EQ(0, count.live());
}

TEST(Parser, ConstructionFailureReleasesHandedOverArrays) {
    log_capture logs;
    alloc_count count;
    auto *singles = static_cast<char *>(peg_calloc(1, 1));
    auto *mins = static_cast<char *>(peg_calloc(1, 1));
    auto *maxs = static_cast<char *>(peg_calloc(1, 1));
    alloc_count::fail_after(0);
    EXPECT_EQ(nullptr, set_new(singles, 1, mins, maxs, 1));
    alloc_count::fail_after(-1);
    auto *automata = static_cast<fa *>(peg_calloc(1, sizeof(fa)));
    alloc_count::fail_after(0);
    EXPECT_EQ(nullptr, parser_new(0, automata, 1, true));
    alloc_count::fail_after(-1);
    EXPECT_EQ(0, count.live());
    EXPECT_TRUE(logs.has(GLOG_FATAL, "Out of memory: character class"));
    EXPECT_TRUE(logs.has(GLOG_FATAL, "Out of memory: parser"));
}
