// Whether the process, about to exit, may leave its large structures to the operating system.
#include "base/teardown.hpp"

#include <atomic>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool leak_checked = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer)
constexpr bool leak_checked = true;
#else
constexpr bool leak_checked = false;
#endif
#else
constexpr bool leak_checked = false;
#endif

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
