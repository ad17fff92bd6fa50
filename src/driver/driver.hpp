// Command-line driver: chooses the form of the call and runs it.
#pragma once

#include "driver/output.hpp"
#include "driver/version.hpp"

/// The whole run for `argc`/`argv` as given to `main`: the compiler form when an argument
/// begins with '-', else the two-argument form; returns the exit status.
[[nodiscard]] int driver_main(int argc, char **argv);
