// Shared pieces of the fuzz targets: a preprocessor state guard, one-directive application and
// a per-process scratch file for the stages that read from a path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "preproc/cond.hpp"
#include "preproc/preproc.hpp"

/// A preprocessor state initialised with no predefined macros; released on scope exit.
struct fuzz_preproc {
    preproc_root root{};      ///< the state; valid only when `ok`
    bool ok = false;          ///< `preproc_root_init` succeeded
    preproc_cond_stack stack; ///< open `#if` chains of the directives applied so far
    fuzz_preproc();           ///< initialises `root`
    ~fuzz_preproc();          ///< releases `root`
    fuzz_preproc(const fuzz_preproc &) = delete;
    fuzz_preproc &operator=(const fuzz_preproc &) = delete;
};

/// Drops every macro definition and open `#if` chain of `pp` and restarts its line counter,
/// keeping the grammars (building them costs more than a small input); false on out of memory.
[[nodiscard]] bool fuzz_reset_macros(fuzz_preproc &pp);

/// Parses `line` (one line, ending in a line feed) with the directive grammar and applies it
/// to `pp` as the directive pass does; false when the line is rejected (logged).
[[nodiscard]] bool fuzz_apply_directive(fuzz_preproc &pp, const std::string &line);

/// Path of this process's scratch file, under /dev/shm when it exists, else under /tmp.
[[nodiscard]] const std::string &fuzz_scratch_path();

/// Replaces the scratch file's content by `data` (`size` bytes); false when it cannot be written.
[[nodiscard]] bool fuzz_write_scratch(const uint8_t *data, size_t size);

/// This process's scratch folder for the targets that read several files, beside the scratch
/// file; made on first use.
[[nodiscard]] const std::string &fuzz_scratch_folder();

/// Splits `data` at each line "---" into at most four files, a.idl to d.idl (the rest of the
/// input goes to the last), writes them to the scratch folder in place of the files of the input
/// before, and gives their paths; false when they cannot be written.
[[nodiscard]] bool fuzz_write_files(const uint8_t *data, size_t size,
                                    std::vector<std::string> &paths);
