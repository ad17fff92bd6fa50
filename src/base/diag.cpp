// Diagnostics: the two layouts and the per-thread consumer.
#include "base/diag.hpp"

#include "base/glog.hpp"

#include <atomic>

namespace {

thread_local diag_consumer *current_consumer = nullptr;

// In the order of diag_warning; the names are part of the command line, never renamed.
constexpr const char *warning_names[DIAG_W_COUNT] = {
    "",
    "unknown-annotation",
    "dropped-annotation",
    "custom-annotation",
    "key-pragma",
    "unknown-pragma",
    "name-case",
    "module-name",
    "undeclared",
    "permissive",
    "missing-include",
    "include-cycle",
    "missing-include-dir",
    "unknown-xml",
};

std::atomic<bool> silenced_kinds[DIAG_W_COUNT];

int32_t glog_level_of(diag_level level) {
    switch (level) {
    case DIAG_NOTE:
        return GLOG_INFO;
    case DIAG_WARNING:
        return GLOG_WARN;
    case DIAG_ERROR:
        return GLOG_ERROR;
    case DIAG_FATAL:
        return GLOG_FATAL;
    }
    return GLOG_ERROR;
}

const char *level_word(diag_level level) {
    switch (level) {
    case DIAG_NOTE:
        return "note";
    case DIAG_WARNING:
        return "warning";
    case DIAG_ERROR:
    case DIAG_FATAL:
        return "error";
    }
    return "error";
}

// gcc's colours: bold place, red errors, magenta warnings, cyan notes, green caret.
const char *level_colour(diag_level level) {
    switch (level) {
    case DIAG_NOTE:
        return "\033[01;36m";
    case DIAG_WARNING:
        return "\033[01;35m";
    case DIAG_ERROR:
    case DIAG_FATAL:
        return "\033[01;31m";
    }
    return "";
}

constexpr const char bold[] = "\033[01m";
constexpr const char green[] = "\033[01;32m";
constexpr const char reset[] = "\033[m";

void append_place(std::string &out, const std::string &file, unsigned long line,
                  unsigned long column) {
    out += file.empty() ? std::string("vandrel") : file;
    if (!file.empty() && line > 0) {
        out += ':' + std::to_string(line);
        if (column > 0) {
            out += ':' + std::to_string(column);
        }
    }
    out += ':';
}

void append_head(std::string &out, diag_level level, const std::string &file, unsigned long line,
                 unsigned long column, bool colour) {
    if (colour) {
        out += bold;
    }
    append_place(out, file, line, column);
    if (colour) {
        out += reset;
    }
    out += ' ';
    if (colour) {
        out += level_colour(level);
    }
    out += level_word(level);
    out += ':';
    if (colour) {
        out += reset;
    }
    out += ' ';
}

} // namespace

const char *diag_warning_name(diag_warning kind) {
    return kind > DIAG_W_NONE && kind < DIAG_W_COUNT ? warning_names[kind] : "";
}

diag_warning diag_warning_by_name(const std::string &name) {
    for (int k = DIAG_W_NONE + 1; k < DIAG_W_COUNT; ++k) {
        if (name == warning_names[k]) {
            return static_cast<diag_warning>(k);
        }
    }
    return DIAG_W_NONE;
}

void diag_silence(diag_warning kind, bool silenced) {
    if (kind > DIAG_W_NONE && kind < DIAG_W_COUNT) {
        silenced_kinds[kind].store(silenced, std::memory_order_relaxed);
    }
}

bool diag_shown(const diagnostic &d) {
    return d.level != DIAG_WARNING || d.warning <= DIAG_W_NONE || d.warning >= DIAG_W_COUNT ||
           !silenced_kinds[d.warning].load(std::memory_order_relaxed);
}

void diag_report(const diagnostic &d) {
    if (!diag_shown(d)) {
        return;
    }
    if (current_consumer != nullptr) {
        current_consumer->consume(d);
        return;
    }
    glog *logger = glog_tool_logger();
    const int32_t level = glog_level_of(d.level);
    glog_at(logger, level, "%s", diag_record_text(d).c_str());
    if (!d.excerpt.empty()) {
        // The source line and the caret line are records of their own: both then start after a
        // header of the same width, so the caret stands under the byte it points at.
        glog_at(logger, level, "%s", d.excerpt.c_str());
        glog_at(logger, level, "%s", diag_caret_line(d.excerpt, d.caret).c_str());
    }
    for (const diag_note &note : d.notes) {
        diagnostic n;
        n.level = DIAG_NOTE;
        n.summary = note.message;
        n.file = note.file;
        n.line = note.line;
        glog_at(logger, GLOG_INFO, "%s", diag_record_text(n).c_str());
    }
}

void diag_warn_at(diag_warning kind, const std::string &file, unsigned long line,
                  const std::string &summary) {
    diagnostic d;
    d.level = DIAG_WARNING;
    d.warning = kind;
    d.summary = summary;
    d.file = file;
    d.line = line;
    diag_report(d);
}

diag_consumer *diag_set_consumer(diag_consumer *consumer) {
    diag_consumer *previous = current_consumer;
    current_consumer = consumer;
    return previous;
}

std::string diag_record_text(const diagnostic &d) {
    std::string out = d.summary;
    if (!d.file.empty() && d.place_in_record) {
        out += ": " + d.file;
        if (d.line > 0) {
            out += ':' + std::to_string(d.line);
            if (d.column_in_record && d.column > 0) {
                out += ':' + std::to_string(d.column);
            }
        }
    }
    if (!d.detail.empty()) {
        out += ": " + d.detail;
    }
    return out;
}

std::string diag_caret_line(const std::string &excerpt, unsigned long caret) {
    std::string marks;
    for (unsigned long i = 0; i < caret && i < excerpt.size(); ++i) {
        marks.push_back(excerpt[i] == '\t' ? '\t' : ' ');
    }
    marks.push_back('^');
    return marks;
}

std::string diag_chain_text(const diagnostic &d, bool colour) {
    std::string out;
    for (std::size_t i = 0; i < d.included_from.size(); ++i) {
        const diag_include &step = d.included_from[i];
        out += i == 0 ? "In file included from " : "                 from ";
        out += colour ? bold : "";
        out += step.file + ':' + std::to_string(step.line);
        out += colour ? reset : "";
        out += i + 1 == d.included_from.size() ? ":\n" : ",\n";
    }
    return out;
}

std::string diag_gcc_text(const diagnostic &d, bool colour) {
    std::string out;
    append_head(out, d.level, d.file, d.line, d.column, colour);
    out += d.summary;
    if (!d.detail.empty()) {
        out += ": " + d.detail;
    }
    if (d.level == DIAG_WARNING && *diag_warning_name(d.warning) != '\0') {
        // As gcc names the option that controls a warning.
        out += " [";
        out += colour ? level_colour(DIAG_WARNING) : "";
        out += std::string("-W") + diag_warning_name(d.warning);
        out += colour ? reset : "";
        out += ']';
    }
    out += '\n';
    if (!d.excerpt.empty()) {
        out += d.excerpt + '\n';
        if (colour) {
            out += green;
        }
        out += diag_caret_line(d.excerpt, d.caret);
        if (colour) {
            out += reset;
        }
        out += '\n';
    }
    for (const diag_note &note : d.notes) {
        append_head(out, DIAG_NOTE, note.file, note.line, note.column, colour);
        out += note.message + '\n';
    }
    return out;
}
