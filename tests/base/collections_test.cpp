// Tests of the element-type and pool registries, the linked list and the array list.
#include "base/arraylist.hpp"
#include "base/linkedlist.hpp"

#include <gtest/gtest.h>

#include "support/failing_pool.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

pn_elem E(uintptr_t v) {
    return reinterpret_cast<pn_elem>(v);
}
uintptr_t V(pn_elem e) {
    return reinterpret_cast<uintptr_t>(e);
}

// Elements of a list, in order, walked with its own iterator.
std::vector<uintptr_t> contents(pn_list *l) {
    pn_iterator_state st;
    std::vector<uintptr_t> out;
    l->iterator->init(&st, l);
    while (l->iterator->has_next(&st))
        out.push_back(V(l->iterator->next(&st)));
    return out;
}


pn_list *make_linked() {
    return pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
}
pn_list *make_array() {
    return pn_arraylist_create(PN_TYPE_UINTPTR, 0, 0);
}
void destroy(pn_list *l, bool linked) {
    if (linked)
        pn_linkedlist_destroy(static_cast<pn_linkedlist *>(l));
    else
        pn_arraylist_destroy(static_cast<pn_arraylist *>(l));
}

} // namespace

//=== registries and element types ===//

TEST(Registry, IndexesOutsideTheTablesAreRefused) {
    EXPECT_EQ(1, pn_register_type(17, uintptr_hash, uintptr_equals, uintptr_compare));
    EXPECT_EQ(nullptr, pn_data_ops(17));
    EXPECT_EQ(1, pn_register_pool(2, std::malloc, std::free, std::calloc, std::realloc));
    EXPECT_EQ(nullptr, pn_pool_ops(2));
    EXPECT_EQ(nullptr, pn_pool_ops(1));
    EXPECT_EQ(nullptr, pn_linkedlist_create(PN_TYPE_UINTPTR, 1));
    EXPECT_EQ(nullptr, pn_linkedlist_create(17, 0));
}

TEST(Registry, FreeTypeIndexBecomesUsableOnceRegistered) {
    EXPECT_EQ(nullptr, pn_data_ops(6));
    EXPECT_EQ(nullptr, pn_arraylist_create(6, 0, 4));
    ASSERT_EQ(0, pn_register_type(6, string_hash, string_equals, string_compare));
    ASSERT_NE(nullptr, pn_data_ops(6));
    pn_arraylist *l = pn_arraylist_create(6, 0, 4);
    ASSERT_NE(nullptr, l);
    EXPECT_EQ(&string_equals, l->equals);
    pn_arraylist_destroy(l);
    ASSERT_EQ(0, pn_register_type(6, nullptr, nullptr, nullptr));
    EXPECT_EQ(nullptr, pn_data_ops(6));
}

TEST(ElementType, StringHashMixesSignedBytesAndLength) {
    struct row {
        const char *text;
        uint64_t hash;
    };
    const row rows[] = {
        {"abc", 0x000000030BE7C679ull},
        {"", 5555},
        {"a", (1ull << 32) | (5555u * 33u + 97u)},
        // A byte above 0x7f counts as negative.
        {"\xff", (1ull << 32) | (5555u * 33u - 1u)},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.hash, string_hash(const_cast<char *>(r.text)));
    }
    // Long texts wrap modulo 2^32 in the low half and keep the length in the high half.
    std::string long_text(100000, 'z');
    EXPECT_EQ(100000u, string_hash(long_text.data()) >> 32);
    EXPECT_EQ(0u, string_hash(nullptr));
}

TEST(ElementType, EqualityAndOrderFollowTheType) {
    struct row {
        const char *name;
        pn_equals_fn eq;
        pn_compare_fn cmp;
        uint64_t a, b;
        bool equal;
        int order;
    };
    const uint64_t minus_one32 = 0xffffffffull;
    const row rows[] = {
        {"int32 high bits ignored", int32_equals, int32_compare, 0x100000005ull, 5, true, 0},
        {"int32 signed", int32_equals, int32_compare, minus_one32, 1, false, -1},
        {"uint32 unsigned", uint32_equals, uint32_compare, minus_one32, 1, false, 1},
        {"int64 signed", int64_equals, int64_compare, ~0ull, 1, false, -1},
        {"uint64 unsigned", uint64_equals, uint64_compare, ~0ull, 1, false, 1},
        {"uintptr unsigned", uintptr_equals, uintptr_compare, 2, 2, true, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.equal, r.eq(E(r.a), E(r.b)));
        EXPECT_EQ(r.order, r.cmp(E(r.a), E(r.b)));
        EXPECT_EQ(-r.order, r.cmp(E(r.b), E(r.a)));
    }
}

TEST(ElementType, StringsCompareByTextAndToleratesNull) {
    char a[] = "same";
    char b[] = "same";
    char c[] = "samf";
    EXPECT_TRUE(string_equals(a, b));
    EXPECT_FALSE(string_equals(a, c));
    EXPECT_EQ(-1, string_compare(a, c));
    EXPECT_EQ(1, string_compare(c, a));
    EXPECT_FALSE(string_equals(a, nullptr));
    EXPECT_TRUE(string_equals(nullptr, nullptr));
    EXPECT_EQ(-1, string_compare(nullptr, a));
}

//=== behaviour shared by both lists ===//

TEST(List, BothKindsAgreeOnPositionalOperations) {
    for (bool linked : {true, false}) {
        SCOPED_TRACE(linked ? "linked" : "array");
        pn_list *l = linked ? make_linked() : make_array();
        ASSERT_NE(nullptr, l);
        EXPECT_TRUE(l->is_empty(l));
        for (uintptr_t v : {10, 20, 30})
            ASSERT_TRUE(l->add(l, E(v)));
        EXPECT_FALSE(l->is_empty(l));
        EXPECT_EQ(nullptr, l->set(l, 5, E(99)));
        EXPECT_EQ(nullptr, l->set(l, 3, E(99)));
        EXPECT_EQ((std::vector<uintptr_t>{10, 20, 30}), contents(l));
        EXPECT_EQ(20u, V(l->set(l, 1, E(21))));
        EXPECT_EQ(21u, V(l->get(l, 1)));
        EXPECT_EQ(nullptr, l->get(l, 3));
        EXPECT_EQ(2, l->index_of(l, E(30)));
        EXPECT_EQ(-1, l->index_of(l, E(31)));
        EXPECT_TRUE(l->contains(l, E(10)));
        EXPECT_EQ(30u, V(l->get_by_element(l, E(30))));
        EXPECT_EQ(nullptr, l->get_by_element(l, E(31)));
        EXPECT_EQ(nullptr, l->remove_at(l, 3));
        EXPECT_EQ(10u, V(l->remove_at(l, 0)));
        EXPECT_TRUE(l->remove(l, E(30)));
        EXPECT_FALSE(l->remove(l, E(30)));
        EXPECT_EQ((std::vector<uintptr_t>{21}), contents(l));
        EXPECT_EQ(1u, l->size);
        destroy(l, linked);
    }
}

TEST(List, RemoveTakesOnlyTheFirstEqualElement) {
    for (bool linked : {true, false}) {
        SCOPED_TRACE(linked ? "linked" : "array");
        pn_list *l = linked ? make_linked() : make_array();
        for (uintptr_t v : {1, 2, 1, 3})
            ASSERT_TRUE(l->add(l, E(v)));
        EXPECT_TRUE(l->remove(l, E(1)));
        EXPECT_EQ((std::vector<uintptr_t>{2, 1, 3}), contents(l));
        destroy(l, linked);
    }
}

TEST(List, AddAtDiffersPastTheEnd) {
    struct row {
        bool linked;
        uint64_t at;
        bool ok;
        std::vector<uintptr_t> after;
    };
    const row rows[] = {
        {true, 0, true, {9, 1, 2}},  {true, 1, true, {1, 9, 2}},  {true, 2, true, {1, 2, 9}},
        {true, 7, true, {1, 2, 9}},  {false, 0, true, {9, 1, 2}}, {false, 1, true, {1, 9, 2}},
        {false, 2, true, {1, 2, 9}}, {false, 3, false, {1, 2}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(::testing::Message() << (r.linked ? "linked" : "array") << " at " << r.at);
        pn_list *l = r.linked ? make_linked() : make_array();
        ASSERT_TRUE(l->add(l, E(1)));
        ASSERT_TRUE(l->add(l, E(2)));
        EXPECT_EQ(r.ok, l->add_at(l, r.at, E(9)));
        EXPECT_EQ(r.after, contents(l));
        EXPECT_EQ(r.after.size(), l->size);
        destroy(l, r.linked);
    }
}

TEST(List, UintptrElementsCompareByValueNotPointee) {
    char first[] = "macro";
    char second[] = "macro";
    for (bool linked : {true, false}) {
        SCOPED_TRACE(linked ? "linked" : "array");
        pn_list *l = linked ? make_linked() : make_array();
        ASSERT_TRUE(l->add(l, first));
        EXPECT_EQ(-1, l->index_of(l, second));
        EXPECT_EQ(0, l->index_of(l, first));
        destroy(l, linked);
    }
}

TEST(List, ClearEmptiesTheListEvenWithNullElements) {
    for (bool linked : {true, false}) {
        SCOPED_TRACE(linked ? "linked" : "array");
        pn_list *l = linked ? make_linked() : make_array();
        for (uintptr_t v : {1, 0, 2})
            ASSERT_TRUE(l->add(l, E(v)));
        l->clear(l);
        EXPECT_EQ(0u, l->size);
        EXPECT_TRUE(contents(l).empty());
        ASSERT_TRUE(l->add(l, E(5)));
        EXPECT_EQ((std::vector<uintptr_t>{5}), contents(l));
        destroy(l, linked);
    }
}

// Random operations against a vector model; catches broken links, shifts and size counts.
TEST(List, RandomOperationsMatchAVectorModel) {
    for (bool linked : {true, false}) {
        SCOPED_TRACE(linked ? "linked" : "array");
        pn_list *l = linked ? make_linked() : make_array();
        std::vector<uintptr_t> model;
        std::mt19937 rng(7);
        for (int round = 0; round < 4000; ++round) {
            const uintptr_t v = rng() % 50;
            const uint64_t at = model.empty() ? 0 : rng() % (model.size() + 1);
            switch (rng() % 6) {
            case 0:
            case 1:
                ASSERT_TRUE(l->add(l, E(v)));
                model.push_back(v);
                break;
            case 2:
                ASSERT_TRUE(l->add_at(l, at, E(v)));
                model.insert(model.begin() + static_cast<long>(at), v);
                break;
            case 3:
                if (at < model.size()) {
                    ASSERT_EQ(model[at], V(l->remove_at(l, at)));
                    model.erase(model.begin() + static_cast<long>(at));
                }
                break;
            case 4: {
                auto it = std::find(model.begin(), model.end(), v);
                ASSERT_EQ(it != model.end(), l->remove(l, E(v)));
                if (it != model.end())
                    model.erase(it);
                break;
            }
            default:
                if (at < model.size()) {
                    ASSERT_EQ(model[at], V(l->get(l, at)));
                }
                break;
            }
            ASSERT_EQ(model.size(), l->size);
        }
        EXPECT_EQ(model, contents(l));
        destroy(l, linked);
    }
}

//=== linked list ===//

TEST(LinkedList, EndOperations) {
    pn_linkedlist *l = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
    ASSERT_NE(nullptr, l);
    EXPECT_EQ(nullptr, l->remove_first(l));
    EXPECT_EQ(nullptr, l->remove_last(l));
    EXPECT_EQ(nullptr, l->get_first(l));
    EXPECT_EQ(nullptr, l->get_last(l));
    ASSERT_TRUE(l->add_last(l, E(2)));
    ASSERT_TRUE(l->add_first(l, E(1)));
    ASSERT_TRUE(l->add_last(l, E(3)));
    EXPECT_EQ(1u, V(l->get_first(l)));
    EXPECT_EQ(3u, V(l->get_last(l)));
    EXPECT_EQ(3u, V(l->remove_last(l)));
    EXPECT_EQ(1u, V(l->remove_first(l)));
    EXPECT_EQ(2u, V(l->remove_last(l)));
    EXPECT_EQ(nullptr, l->head);
    EXPECT_EQ(nullptr, l->tail);
    ASSERT_TRUE(l->add_first(l, E(4)));
    EXPECT_EQ(l->head, l->tail);
    pn_linkedlist_destroy(l);
    pn_linkedlist_destroy(nullptr);
}

TEST(LinkedList, RotateMovesHeadToTail) {
    struct row {
        std::vector<uintptr_t> before, after;
    };
    const row rows[] = {{{1, 2, 3}, {2, 3, 1}}, {{1, 2}, {2, 1}}, {{1}, {1}}, {{}, {}}};
    for (const row &r : rows) {
        pn_linkedlist *l = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
        for (uintptr_t v : r.before)
            ASSERT_TRUE(l->add(l, E(v)));
        l->rotate(l);
        EXPECT_EQ(r.after, contents(l));
        if (!r.after.empty()) {
            EXPECT_EQ(r.after.back(), V(l->get_last(l)));
            EXPECT_EQ(nullptr, l->tail->next);
            EXPECT_EQ(nullptr, l->head->prev);
        }
        pn_linkedlist_destroy(l);
    }
}

TEST(LinkedList, IteratorAddAndRemove) {
    pn_linkedlist *l = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
    for (uintptr_t v : {1, 2, 3})
        ASSERT_TRUE(l->add(l, E(v)));
    const pn_iterator_ops *ops = l->iterator;
    pn_linkedlist_iter it;
    ops->init(&it, l);
    EXPECT_EQ(nullptr, ops->remove(&it)); // nothing returned yet
    ASSERT_TRUE(ops->add(&it, E(0)));     // before the head, not visited
    EXPECT_EQ(1u, V(ops->next(&it)));
    ASSERT_TRUE(ops->add(&it, E(15))); // after current, becomes current
    EXPECT_EQ(15u, V(ops->remove(&it)));
    EXPECT_EQ(nullptr, ops->remove(&it)); // no current after a remove
    EXPECT_EQ(2u, V(ops->next(&it)));
    EXPECT_EQ(2u, V(ops->remove(&it)));
    // With no current node after a remove, add lands where the removed node stood.
    ASSERT_TRUE(ops->add(&it, E(25)));
    EXPECT_EQ(3u, V(ops->next(&it)));
    ASSERT_TRUE(ops->add(&it, E(4))); // after the tail
    EXPECT_FALSE(ops->has_next(&it));
    EXPECT_EQ(nullptr, ops->next(&it));
    EXPECT_EQ((std::vector<uintptr_t>{0, 1, 25, 3, 4}), contents(l));
    EXPECT_EQ(4u, V(l->get_last(l)));
    EXPECT_EQ(5u, l->size);
    pn_linkedlist_destroy(l);
}

TEST(LinkedList, IteratorRemovesEveryElement) {
    pn_linkedlist *l = pn_linkedlist_create(PN_TYPE_UINTPTR, 0);
    for (uintptr_t v : {1, 2, 3, 4})
        ASSERT_TRUE(l->add(l, E(v)));
    pn_linkedlist_iter it;
    l->iterator->init(&it, l);
    std::vector<uintptr_t> removed;
    while (l->iterator->has_next(&it)) {
        l->iterator->next(&it);
        removed.push_back(V(l->iterator->remove(&it)));
    }
    EXPECT_EQ((std::vector<uintptr_t>{1, 2, 3, 4}), removed);
    EXPECT_EQ(0u, l->size);
    EXPECT_EQ(nullptr, l->head);
    EXPECT_EQ(nullptr, l->tail);
    pn_linkedlist_destroy(l);
}

//=== array list ===//

TEST(ArrayList, CapacityDoublesFromOne) {
    pn_arraylist *l = pn_arraylist_create(PN_TYPE_UINTPTR, 0, 0);
    ASSERT_NE(nullptr, l);
    const uint64_t expected[] = {1, 2, 4, 4, 8};
    for (uintptr_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(l->add(l, E(i)));
        EXPECT_EQ(expected[i], l->capacity) << "after " << i + 1 << " elements";
    }
    l->clear(l);
    EXPECT_EQ(0u, l->size);
    EXPECT_EQ(8u, l->capacity);
    pn_arraylist_destroy(l);
    pn_arraylist_destroy(nullptr);
}

TEST(ArrayList, IteratorRemoveTakesOnlyTheLastReturned) {
    pn_arraylist *l = pn_arraylist_create(PN_TYPE_UINTPTR, 0, 8);
    for (uintptr_t v : {1, 2, 3})
        ASSERT_TRUE(l->add(l, E(v)));
    const pn_iterator_ops *ops = l->iterator;
    pn_arraylist_iter it;
    ops->init(&it, l);
    EXPECT_EQ(nullptr, ops->remove(&it));
    EXPECT_EQ(1u, V(ops->next(&it)));
    EXPECT_EQ(2u, V(ops->next(&it)));
    EXPECT_EQ(2u, V(ops->remove(&it)));
    EXPECT_EQ(nullptr, ops->remove(&it)); // 1 stays: it was not the last returned
    ASSERT_TRUE(ops->add(&it, E(7)));
    EXPECT_EQ(3u, V(ops->next(&it)));
    EXPECT_EQ(nullptr, ops->next(&it));
    EXPECT_EQ((std::vector<uintptr_t>{1, 7, 3}), contents(l));
    pn_arraylist_destroy(l);
}

//=== allocation failures ===//

TEST_F(FailingPool, LinkedListAddFailureChangesNothing) {
    pn_linkedlist *l = pn_linkedlist_create(PN_TYPE_UINTPTR, 1);
    ASSERT_NE(nullptr, l);
    ASSERT_TRUE(l->add(l, E(1)));
    budget = 0;
    EXPECT_FALSE(l->add(l, E(2)));
    EXPECT_FALSE(l->add_first(l, E(2)));
    EXPECT_FALSE(l->add_at(l, 1, E(2)));
    pn_linkedlist_iter it;
    l->iterator->init(&it, l);
    EXPECT_FALSE(l->iterator->add(&it, E(2)));
    EXPECT_EQ((std::vector<uintptr_t>{1}), contents(l));
    budget = -1;
    pn_linkedlist_destroy(l);
    budget = 0;
    EXPECT_EQ(nullptr, pn_linkedlist_create(PN_TYPE_UINTPTR, 1));
}

TEST_F(FailingPool, ArrayListGrowthFailureChangesNothing) {
    pn_arraylist *l = pn_arraylist_create(PN_TYPE_UINTPTR, 1, 2);
    ASSERT_NE(nullptr, l);
    ASSERT_TRUE(l->add(l, E(1)));
    ASSERT_TRUE(l->add(l, E(2)));
    budget = 0;
    EXPECT_FALSE(l->add(l, E(3)));
    EXPECT_FALSE(l->add_at(l, 0, E(3)));
    EXPECT_EQ(2u, l->capacity);
    EXPECT_EQ((std::vector<uintptr_t>{1, 2}), contents(l));
    budget = -1;
    EXPECT_TRUE(l->add(l, E(3)));
    pn_arraylist_destroy(l);
}

TEST_F(FailingPool, ArrayListCreationReleasesWhatItMade) {
    for (long k = 0; k < 2; ++k) {
        budget = k; // fail the object, then the element array
        EXPECT_EQ(nullptr, pn_arraylist_create(PN_TYPE_UINTPTR, 1, 8)) << k;
    }
    budget = -1;
    // A capacity whose byte size overflows is refused rather than wrapped.
    EXPECT_EQ(nullptr, pn_arraylist_create(PN_TYPE_UINTPTR, 1, UINT64_MAX / 4));
}
