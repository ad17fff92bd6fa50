// Runs a program as a child process and collects its output and exit status, for end-to-end tests.
#pragma once

#include <string>
#include <vector>

/// How the child is started.
struct run_options {
    std::string cwd;                ///< working directory of the child; empty keeps the current one
    long long file_size_limit = -1; ///< bytes a file written by the child may reach; -1 no limit
    int timeout_seconds = 60;       ///< the child is killed after this long
};

/// What the child did.
struct run_result {
    bool started = false;   ///< false when the child could not be started at all
    bool exited = false;    ///< true when it ended by exit (not by a signal or the timeout)
    int status = -1;        ///< exit status when exited, else -1
    bool timed_out = false; ///< true when it was killed for running too long
    std::string out;        ///< everything written to standard output
    std::string err;        ///< everything written to standard error
};

/// Runs `program` with `args` (not including the program name); never throws.
[[nodiscard]] run_result run_program(const std::string &program,
                                     const std::vector<std::string> &args,
                                     const run_options &options = {});

/// Lines of `text` without their newlines (a final line without newline is kept).
[[nodiscard]] std::vector<std::string> split_lines(const std::string &text);

/// `text` with each log record header ("25-03-03 09:05:07.004 4242 4242 I  ") reduced to its level
/// letter and a blank ("I "); other lines are kept as they are.
[[nodiscard]] std::vector<std::string> strip_log_headers(const std::string &text);
