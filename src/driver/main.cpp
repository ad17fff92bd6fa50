// Entry point of the vandrel converter.
#include "driver/driver.hpp"
#include "driver/memory.hpp"

int main(int argc, char **argv) {
    driver_memory_policy();
    return driver_main(argc, argv);
}
