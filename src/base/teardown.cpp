// Whether the process, about to exit, may leave its large structures to the operating system.
#include "base/teardown.hpp"

#include "base/arch.hpp"

#include <atomic>

namespace {

// Builds with a leak checker still release everything, so that it sees what is left.
constexpr bool leak_checked = arch_sanitized_heap;

// Set from the driver's thread when every worker has finished; read by whoever releases.
std::atomic<bool> skipping{false};

} // namespace

void teardown_skip_at_exit() {
    if (!leak_checked) {
        skipping.store(true, std::memory_order_relaxed);
    }
}

bool teardown_skipped() {
    return skipping.load(std::memory_order_relaxed);
}
