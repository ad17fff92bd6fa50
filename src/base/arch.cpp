// Platform helpers: path canonicalisation and integer conversion independent of the C library.
#include "base/arch.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Digit value of `c` in bases up to 36, or 36 when it is no digit at all.
int arch_digit_value(unsigned char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + 10;
    }
    return 36;
}

} // namespace

char *arch_realpath(const char *path, char *buffer) {
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return realpath(path, buffer);
}

uint64_t arch_strtoull(const char *text, const char **end, int base) {
    if (text == nullptr) {
        errno = EINVAL;
        if (end != nullptr) {
            *end = text;
        }
        return 0;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (isspace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if ((base == 0 || base == 16) && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        isxdigit(p[2])) {
        p += 2;
        base = 16;
    } else if (base == 0) {
        base = p[0] == '0' ? 8 : 10;
    }
    if (base < 2 || base > 36) {
        errno = EINVAL;
        if (end != nullptr) {
            *end = text;
        }
        return 0;
    }
    const uint64_t ubase = static_cast<uint64_t>(base);
    const uint64_t cutoff = UINT64_MAX / ubase;
    const uint64_t cutlim = UINT64_MAX % ubase;
    uint64_t value = 0;
    bool any = false;
    bool overflow = false;
    for (;; ++p) {
        int digit = arch_digit_value(*p);
        if (digit >= base) {
            break;
        }
        any = true;
        uint64_t d = static_cast<uint64_t>(digit);
        if (overflow || value > cutoff || (value == cutoff && d > cutlim)) {
            overflow = true;
            continue;
        }
        value = value * ubase + d;
    }
    if (!any) {
        errno = EINVAL;
        if (end != nullptr) {
            *end = text;
        }
        return 0;
    }
    if (end != nullptr) {
        *end = reinterpret_cast<const char *>(p);
    }
    if (overflow) {
        errno = ERANGE;
        return UINT64_MAX;
    }
    return negative ? ~value + 1 : value;
}

unsigned long arch_strtoul(const char *text, const char **end, int base) {
    static_assert(sizeof(unsigned long) == sizeof(uint64_t), "unsigned long is 64-bit here");
    return static_cast<unsigned long>(arch_strtoull(text, end, base));
}

pid_t arch_gettid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

void arch_hint_huge_pages(void *p, std::size_t n) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t huge = std::uintptr_t{2} * 1024 * 1024;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + huge - 1) & ~(huge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(huge - 1);
    if (end > begin) {
        // A refusal (no such pages, memory not mapped privately) leaves the block as it was.
        static_cast<void>(::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE));
    }
#else
    static_cast<void>(p);
    static_cast<void>(n);
#endif
}

void arch_prefault_heap(std::size_t bytes) {
#if defined(__linux__) && defined(__GLIBC__)
    constexpr int populate_write = 23; // MADV_POPULATE_WRITE, which older headers lack
    if (arch_sanitized_heap || bytes == 0) {
        return;
    }
    // One block from the top of the heap, made resident and given back: glibc keeps it as the
    // heap's top (the driver turns trimming off), so the allocations that follow are carved
    // from these pages in order.
    void *block = std::malloc(bytes);
    if (block == nullptr) {
        return;
    }
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t begin = (at + page - 1) & ~(page - 1);
    const std::uintptr_t end = (at + bytes) & ~(page - 1);
    if (end > begin) {
        // A refusal (an older kernel) leaves the pages to be touched one by one, as before.
        static_cast<void>(::madvise(reinterpret_cast<void *>(begin), end - begin, populate_write));
    }
    std::free(block);
#else
    static_cast<void>(bytes);
#endif
}
