// Planning the compiler form's jobs before any work starts.
#pragma once

#include <string>
#include <vector>

struct driver_options;

/// One file to convert (or to preprocess), as planned before any work starts.
struct compile_job {
    std::string input;       ///< the IDL file, as named or as found below a named folder
    std::string output_dir;  ///< folder the document goes to (made when it is written)
    std::string output_name; ///< file name of the document
    std::string error;       ///< non-empty: the job fails with this message without being run
    bool plain = false;      ///< found by a folder walk as a regular file, not a link to one
};

/// Plans the jobs for `opts` in a fixed order: the inputs in command-line order, the `*.idl`
/// files (`*.xml` with --from-xml) below a folder sorted by path; `-` (standard input) goes
/// straight into the output folder under options_stdin_name. Nothing is created. A missing
/// input, an unreadable folder, a folder holding no file to convert, an input outside the base
/// folder, a name without ".idl" (".xml") or a second input writing the same document gives a job
/// that carries its error. With -E and an output folder, each job writes the preprocessed text
/// under the input's own name, and one that would replace its input is refused. False (with
/// `message`) for a usage error: `-o -` or `-MF` with other than exactly one file.
[[nodiscard]] bool compile_plan(const driver_options &opts, std::vector<compile_job> &jobs,
                                std::string &message);
