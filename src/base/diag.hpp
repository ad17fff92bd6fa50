// Diagnostics: what a reported problem is (level, place, message, notes) and where reports go.
// Stages report into this module and never print; the command-line form installs a consumer
// that decides the layout (log records, or gcc-style lines on standard error).
#pragma once

#include <string>
#include <vector>

/// Severity of a diagnostic.
enum diag_level : int {
    DIAG_NOTE = 0,
    DIAG_WARNING = 1,
    DIAG_ERROR = 2,
    DIAG_FATAL = 3, ///< out of memory and other failures of the machine rather than the input
};

/// A further place attached to a diagnostic ("'S' was declared here").
struct diag_note {
    std::string file;         ///< path as the user named it; empty when the note has no place
    unsigned long line = 0;   ///< from 1; 0 when unknown
    unsigned long column = 0; ///< from 1; 0 when unknown
    std::string message;      ///< the note's text
};

/// One step of the include chain that led to a diagnostic's file.
struct diag_include {
    std::string file;       ///< the including file, as the user or the include search named it
    unsigned long line = 0; ///< line of its include directive
};

/// One reported problem.
struct diagnostic {
    diag_level level = DIAG_ERROR;
    /// The fixed text that starts the message in both layouts ("Failed to parse").
    std::string summary;
    std::string file;              ///< path as the user named it; empty when there is no place
    unsigned long line = 0;        ///< from 1; 0 when unknown
    unsigned long column = 0;      ///< from 1; 0 when unknown
    bool column_in_record = false; ///< the log record names the column after the line
    /// The log record names the place at all; off for records whose text never had one (the
    /// compiler layout still shows the place).
    bool place_in_record = true;
    /// Appended after the place in a log record, after the summary in the gcc layout.
    std::string detail;
    /// The source line, shown under the message with a caret line when non-empty.
    std::string excerpt;
    unsigned long caret = 0; ///< byte index into excerpt that the caret stands under
    std::vector<diag_note> notes;
    /// The files that included the diagnostic's file, the nearest first; empty for a file the
    /// user named.
    std::vector<diag_include> included_from;
};

/// Receives the diagnostics of the thread it is installed on.
class diag_consumer {
  public:
    virtual ~diag_consumer() = default;
    /// Called once per diagnostic, in the order they are reported.
    virtual void consume(const diagnostic &d) = 0;
};

/// Reports d to the calling thread's consumer; with none installed, writes it as log records
/// through the tool logger (the record text, then the excerpt and caret lines as records of
/// their own).
void diag_report(const diagnostic &d);
/// Installs consumer for the calling thread (null: log records again); returns the previous one.
diag_consumer *diag_set_consumer(diag_consumer *consumer);

/// The log-record layout: "summary: file:line[:column][: detail]"; the place is left out when
/// file is empty, the line when it is 0, the column unless column_in_record.
[[nodiscard]] std::string diag_record_text(const diagnostic &d);
/// The lines gcc writes before a diagnostic of an included file, each ending in '\n': "In file
/// included from a.idl:3," then "                 from b.idl:1:" for each further includer
/// (the last ending in ':'); empty when d.included_from is.
[[nodiscard]] std::string diag_chain_text(const diagnostic &d, bool colour);
/// The gcc layout, every line ending in '\n': "file:line:col: error: summary[: detail]" (the
/// place shortened as known, "vandrel" when there is none), the excerpt and caret lines, then
/// each note as "file:line:col: note: message". With colour, ANSI escapes as gcc uses them.
[[nodiscard]] std::string diag_gcc_text(const diagnostic &d, bool colour);
/// The caret line for an excerpt: blanks (tabs kept, so that it lines up) up to caret, then '^'.
[[nodiscard]] std::string diag_caret_line(const std::string &excerpt, unsigned long caret);
