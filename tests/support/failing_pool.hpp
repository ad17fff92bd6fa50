// Test fixture: collection pool 1 backed by an allocator that fails on demand.
#pragma once

#include <cstdlib>

#include <gtest/gtest.h>

#include "base/base.hpp"

/// Registers pool 1 for the test; once `budget` allocations have succeeded every further one
/// fails (budget -1: never fail). The pool is unregistered after the test.
struct FailingPool : ::testing::Test {
    static inline long budget = -1;

    static bool spend() {
        if (budget < 0)
            return true;
        if (budget == 0)
            return false;
        --budget;
        return true;
    }
    static void *failing_alloc(size_t n) { return spend() ? std::malloc(n) : nullptr; }
    static void *failing_calloc(size_t c, size_t n) { return spend() ? std::calloc(c, n) : nullptr; }
    static void *failing_realloc(void *p, size_t n) {
        return spend() ? std::realloc(p, n) : nullptr;
    }

    void SetUp() override {
        budget = -1;
        ASSERT_EQ(0,
                  pn_register_pool(1, failing_alloc, std::free, failing_calloc, failing_realloc));
    }
    void TearDown() override {
        budget = -1;
        ASSERT_EQ(0, pn_register_pool(1, nullptr, nullptr, nullptr, nullptr));
    }
};
