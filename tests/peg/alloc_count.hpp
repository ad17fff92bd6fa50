// Allocator hooks that count live blocks, so tests can check that everything is released.
#pragma once

#include <cstdint>

/// Installs counting hooks for its lifetime; live() is allocations minus releases.
class alloc_count {
public:
    alloc_count();
    ~alloc_count();
    alloc_count(const alloc_count &) = delete;
    alloc_count &operator=(const alloc_count &) = delete;
    /// Blocks allocated and not yet released since construction.
    [[nodiscard]] std::int64_t live() const;
    /// Makes every allocation after the next n fail (negative: never fail).
    static void fail_after(std::int64_t n);
};
