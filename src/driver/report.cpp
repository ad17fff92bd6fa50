// Reporting in the compiler form: the gcc layout, with include chains and shown paths.
#include "driver/report.hpp"

#include "driver/output.hpp"

#include <cstdio>
#include <map>
#include <new>

namespace {

std::map<std::string, std::string> &aliases() {
    static std::map<std::string, std::string> names;
    return names;
}

// The stages name files by their resolved paths; below the working folder they are shown
// relative to it, as the user most likely named them.
std::string shown_path(const std::string &path) {
    const auto alias = aliases().find(path);
    if (alias != aliases().end()) {
        return alias->second;
    }
    static const std::string prefix = [] {
        const std::string cwd = driver_working_folder();
        return cwd.empty() ? cwd : cwd + "/";
    }();
    if (prefix.size() > 1 && path.size() > prefix.size() &&
        path.compare(0, prefix.size(), prefix) == 0) {
        return path.substr(prefix.size());
    }
    return path;
}

diag_level level_of(int32_t level) {
    return level >= GLOG_FATAL ? DIAG_FATAL : level >= GLOG_ERROR ? DIAG_ERROR : DIAG_WARNING;
}

void immediate_record(void *context, int32_t level, const char *message) {
    if (level < GLOG_WARN) {
        return;
    }
    const bool colour = *static_cast<const bool *>(context);
    try {
        std::fputs(report_line(level_of(level), message, colour).c_str(), stderr);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "vandrel: error: %s\n", message);
    }
}

} // namespace

void report_alias(const std::string &path, const std::string &shown) {
    aliases()[path] = shown;
}

std::string report_alias_of(const std::string &path) {
    const auto alias = aliases().find(path);
    return alias == aliases().end() ? path : alias->second;
}

std::string report_text(const diagnostic &d, bool colour, const report_chains *chains) {
    diagnostic shown = d;
    if (chains != nullptr && shown.included_from.empty() && !d.file.empty()) {
        shown.included_from = chains->chain_of(d.file);
    }
    shown.file = shown_path(d.file);
    for (diag_note &note : shown.notes) {
        note.file = shown_path(note.file);
    }
    for (diag_include &step : shown.included_from) {
        step.file = shown_path(step.file);
    }
    return diag_chain_text(shown, colour) + diag_gcc_text(shown, colour);
}

std::string report_line(diag_level level, const std::string &message, bool colour) {
    diagnostic d;
    d.level = level;
    d.summary = message;
    return diag_gcc_text(d, colour);
}

std::string report_summary(std::size_t good, std::size_t failed, double seconds,
                           bool preprocessed) {
    char text[160];
    std::snprintf(text, sizeof text, "%zu file%s %s, %zu failed in %.2f s\n", good,
                  good == 1 ? "" : "s", preprocessed ? "preprocessed" : "converted", failed,
                  seconds);
    return text;
}

report_sink::report_sink(bool colour, const report_chains *chains)
    : colour_(colour), chains_(chains) {
    previous_consumer_ = diag_set_consumer(this);
    previous_hook_ = glog_set_thread_hook({&report_sink::record, this});
}

report_sink::~report_sink() {
    (void)glog_set_thread_hook(previous_hook_);
    (void)diag_set_consumer(previous_consumer_);
}

void report_sink::consume(const diagnostic &d) {
    if (d.level >= DIAG_ERROR) {
        ++errors;
    } else if (d.level == DIAG_WARNING) {
        ++warnings;
    }
    try {
        text += report_text(d, colour_, chains_);
    } catch (const std::bad_alloc &) {
        // the text is lost, but the count above still fails the file
    }
}

// A plain record: warnings and worse are shown as "vandrel: error: text"; progress records
// have no place in this form.
void report_sink::record(void *context, int32_t level, const char *message) {
    if (level < GLOG_WARN) {
        return;
    }
    diagnostic d;
    d.level = level_of(level);
    try {
        d.summary = message;
    } catch (const std::bad_alloc &) {
        // still counted below, without its text
    }
    static_cast<report_sink *>(context)->consume(d);
}

report_to_stderr::report_to_stderr(const bool *colour)
    : previous_(glog_set_thread_hook({immediate_record, const_cast<bool *>(colour)})) {}

report_to_stderr::~report_to_stderr() {
    (void)glog_set_thread_hook(previous_);
}
