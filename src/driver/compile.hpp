// The compiler form of the command line: many inputs, folders mirrored below the output folder,
// conversions on several threads, gcc-style diagnostics on standard error.
#pragma once

#include "driver/plan.hpp"

/// The whole compiler form for `argc`/`argv`: returns 0 when every input converted, 1 when one
/// failed, 2 for a usage error. Diagnostics go to standard error, grouped per file in input
/// order; documents go to files (or standard output for `-o -`).
[[nodiscard]] int compile_main(int argc, char **argv);
