// Command-line driver: a call with an option is the compiler form, any other the two-argument
// form.
#include "driver/driver.hpp"

#include "driver/compile.hpp"
#include "driver/options.hpp"
#include "driver/twoarg.hpp"

int driver_main(int argc, char **argv) {
    return options_compiler_form(argc, argv) ? compile_main(argc, argv) : twoarg_main(argc, argv);
}
