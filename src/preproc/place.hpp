// Where the preprocessor is reading, for the messages of the stages the directive pass calls.
#pragma once

#include <cstdint>
#include <string>

/// The directive line being read on this thread: its file, line (from 1) and the column of
/// its '#' (from 1); path null when no directive is being read.
struct preproc_place {
    const char *path = nullptr;
    uint64_t line = 0;
    uint64_t column = 0;
};

/// Sets the place the following reports name; returns the previous one.
preproc_place preproc_set_place(const preproc_place &place);
/// The place in force on this thread.
[[nodiscard]] const preproc_place &preproc_current_place();

/// How much of the place a log record names.
enum preproc_record_place : int {
    PREPROC_RECORD_BARE = 0,  ///< "summary[: detail]": records that never named a place
    PREPROC_RECORD_PLACE = 1, ///< "summary: path:line[: detail]"
};

/// Reports an error at place (the compiler layout always shows it, column included); the log
/// record names path and line as record says. Without a path, no place at all.
void preproc_report_at(const preproc_place &place, preproc_record_place record,
                       const std::string &summary, const std::string &detail = {});
/// preproc_report_at at the place in force.
void preproc_report(preproc_record_place record, const std::string &summary,
                    const std::string &detail = {});
