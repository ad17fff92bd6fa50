// Entry point of the vandrel converter.
#include "driver/driver.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

int main(int argc, char **argv) {
#if defined(__GLIBC__)
    // A fixed threshold: glibc otherwise raises it to the size of the largest buffer freed so
    // far, after which the stages' big buffers are carved from the heap and their pages stay
    // resident once released, adding to the peak of the later stages.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
    return driver_main(argc, argv);
}
