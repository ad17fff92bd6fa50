// How a command-line run uses memory.
#include "driver/memory.hpp"

#include "base/arch.hpp"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Buffers beyond this size get pages of their own, which go back to the system when freed.
constexpr int own_pages_from = 64 * 1024 * 1024;

} // namespace

void driver_memory_policy() {
#if defined(__GLIBC__)
    // Memory a stage gives back stays with the process for the next stage to reuse: on a
    // virtual machine a first touch of a page costs as much as tens of thousands of
    // instructions, and glibc would otherwise unmap every buffer of 128 KB or more when it is
    // freed and trim the heap top, so that the next buffer touches fresh pages again. Only
    // buffers beyond 64 MB still get pages of their own, so that a huge input's buffers leave
    // when done rather than raising the peak of the stages after them.
    mallopt(M_MMAP_THRESHOLD, own_pages_from);
    mallopt(M_TRIM_THRESHOLD, 2 * own_pages_from);
    mallopt(M_TOP_PAD, 1024 * 1024);
#endif
}

void driver_memory_expect(std::uint64_t input_bytes) {
    // Measured on generated models, a conversion touches about 56 bytes per input byte on a
    // 3 KB file, 8 on 100 KB and 4.4 on 1 MB: about 384 KB plus 4 bytes per input byte, and
    // never more than 64 per byte. An estimate below the need only leaves the rest to be
    // faulted in as before; one above it costs the pages never used. Beyond 8 MB the large
    // blocks of a conversion ask for huge pages themselves, which pages made resident here
    // would take the place of.
    constexpr std::uint64_t fixed = std::uint64_t{384} * 1024;
    constexpr std::uint64_t most = std::uint64_t{8} * 1024 * 1024;
    const std::uint64_t bytes = std::min(input_bytes, most); // keeps the products in range
    arch_prefault_heap(static_cast<std::size_t>(std::min({64 * bytes, fixed + 4 * bytes, most})));
}
