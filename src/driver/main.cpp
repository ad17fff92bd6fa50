// Entry point of the vandrel converter.
#include "driver/driver.hpp"

int main(int argc, char **argv) {
    return driver_main(argc, argv);
}
