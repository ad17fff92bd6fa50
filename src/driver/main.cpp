// Entry point of the vandrel converter.
#include "driver/driver.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char **argv) {
#if defined(__GLIBC__)
    // Memory a stage gives back stays with the process for the next stage to reuse: on a
    // virtual machine a first touch of a page costs as much as tens of thousands of
    // instructions, and glibc would otherwise unmap every buffer of 128 KB or more when it is
    // freed and trim the heap top, so that the next buffer touches fresh pages again. Only
    // buffers beyond 64 MB still get pages of their own, so that a huge input's buffers leave
    // when done rather than raising the peak of the stages after them.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
    mallopt(M_TOP_PAD, 1024 * 1024);
#endif
    return driver_main(argc, argv);
}
