// Reporting in the compiler form: diagnostics in the gcc layout (include chain, place, message,
// source line and caret, notes), paths below the working folder shown relative to it, plain
// records as "vandrel: error: ...", and the summary line.
#pragma once

#include "base/diag.hpp"
#include "base/glog.hpp"

#include <cstdint>
#include <string>
#include <vector>

/// The include chains of files some include brought in, asked for by path (as the stages name
/// files) when a report of the file is made.
class report_chains {
public:
    virtual ~report_chains() = default;
    /// The chain of the file at path, nearest includer first; empty when none.
    [[nodiscard]] virtual std::vector<diag_include> chain_of(const std::string &path) const = 0;
};

/// The text of d in the gcc layout: its include chain, then the diagnostic; paths below the
/// working folder relative to it. With chains, a diagnostic without a chain of its own gets
/// the one of its file.
[[nodiscard]] std::string report_text(const diagnostic &d, bool colour,
                                      const report_chains *chains = nullptr);

/// Shows the file at path (as the stages name it, or resolved) as `shown` in every report from
/// now on ("<stdin>" for the copy of standard input). Set before any thread reports.
void report_alias(const std::string &path, const std::string &shown);
/// The alias of path, or path itself when it has none.
[[nodiscard]] std::string report_alias_of(const std::string &path);

/// A diagnostic without a place, as gcc writes its own ("vandrel: error: message").
[[nodiscard]] std::string report_line(diag_level level, const std::string &message, bool colour);

/// The closing line of a run over several files: "N files converted, M failed in S s" (with
/// `preprocessed`, "preprocessed").
[[nodiscard]] std::string report_summary(std::size_t good, std::size_t failed, double seconds,
                                         bool preprocessed);

/// Collects, while it lives, the diagnostics and the plain warning and error records of the
/// calling thread, as report_text gives them, and counts them.
class report_sink final : public diag_consumer {
public:
    explicit report_sink(bool colour, const report_chains *chains = nullptr);
    ~report_sink() override;
    report_sink(const report_sink &) = delete;
    report_sink &operator=(const report_sink &) = delete;

    void consume(const diagnostic &d) override;

    std::string text;      ///< everything collected, in order
    unsigned errors = 0;   ///< diagnostics of level error or worse
    unsigned warnings = 0; ///< warnings

private:
    static void record(void *context, int32_t level, const char *message);
    bool colour_;
    const report_chains *chains_;
    diag_consumer *previous_consumer_ = nullptr;
    glog_thread_hook previous_hook_{};
};

/// Sends the calling thread's plain records to standard error at once, as report_line gives
/// them, while it lives (progress records are dropped).
class report_to_stderr {
public:
    explicit report_to_stderr(const bool *colour);
    ~report_to_stderr();
    report_to_stderr(const report_to_stderr &) = delete;
    report_to_stderr &operator=(const report_to_stderr &) = delete;

private:
    glog_thread_hook previous_;
};
