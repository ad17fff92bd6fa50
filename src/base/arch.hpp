// Platform helpers: path canonicalisation and C-library-independent integer conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

/// Canonical absolute form of `path` as POSIX `realpath`: into `buffer` (>= 4096 bytes, returned)
/// or, with a null buffer, a new string the caller frees with `free`; null with `errno` on failure.
[[nodiscard]] char *arch_realpath(const char *path, char *buffer);

/// Leading unsigned 64-bit integer of `text` in `base` (0 or 2..36); `end` (may be null) gets the
/// byte after the digits; no digits or bad base: 0, `EINVAL`, end = text; overflow: max, `ERANGE`.
[[nodiscard]] uint64_t arch_strtoull(const char *text, const char **end, int base);
/// `arch_strtoull` for a mutable text, as the C library's signature.
[[nodiscard]] inline uint64_t arch_strtoull(char *text, char **end, int base) {
    return arch_strtoull(static_cast<const char *>(text), const_cast<const char **>(end), base);
}

/// `arch_strtoull` with the result as an unsigned long (64-bit on the target).
[[nodiscard]] unsigned long arch_strtoul(const char *text, const char **end, int base);
/// `arch_strtoul` for a mutable text, as the C library's signature.
[[nodiscard]] inline unsigned long arch_strtoul(char *text, char **end, int base) {
    return arch_strtoul(static_cast<const char *>(text), const_cast<const char **>(end), base);
}

/// True in builds whose allocator a sanitizer replaces (AddressSanitizer, LeakSanitizer,
/// MemorySanitizer): freed memory is kept apart there and leaks are looked for at exit.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool arch_sanitized_heap = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(leak_sanitizer) ||                        \
    __has_feature(memory_sanitizer)
inline constexpr bool arch_sanitized_heap = true;
#else
inline constexpr bool arch_sanitized_heap = false;
#endif
#else
inline constexpr bool arch_sanitized_heap = false;
#endif

/// Kernel thread id of the calling thread.
[[nodiscard]] pid_t arch_gettid();

/// Asks the kernel to back the whole 2 MiB pages inside [p, p + n) with huge pages where it can,
/// so that filling a large block costs one page fault per 2 MiB instead of one per 4 KiB. Only a
/// hint: nothing happens where the platform has no such pages or the range holds none.
void arch_hint_huge_pages(void *p, std::size_t n);

/// Makes the next `bytes` bytes the C library's heap hands out resident now, in one request to
/// the kernel, and leaves them in the heap for the allocations to come. Where the first touch of
/// a page is dear (a virtual machine: about 15 microseconds a fault, against about half that for
/// pages made resident in bulk) a run that knows roughly how much it will use saves that much.
/// Only a hint: nothing happens without the kernel's support (Linux 5.14), outside glibc, or in
/// sanitizer builds, whose allocators keep freed memory apart.
void arch_prefault_heap(std::size_t bytes);
