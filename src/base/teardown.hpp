// Whether the process, about to exit, may leave its large structures to the operating system.
#pragma once

/// Declares the rest of the process its exit path: from now on releasing a whole document or
/// parse result returns without walking it, since the operating system takes every page back at
/// once. Builds with a leak checker (AddressSanitizer, LeakSanitizer) ignore the call, so that
/// they still see everything released. Meant for the command-line driver once its output is
/// written; the library entry points never call it and free everything.
void teardown_skip_at_exit();
/// True once teardown_skip_at_exit has been called in a build without a leak checker.
[[nodiscard]] bool teardown_skipped();
