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

struct diagnostic;

/// The kinds of warning. Each has a stable name: `-Wno-NAME` silences the kind, and the gcc
/// layout ends a warning's first line with "[-WNAME]" as gcc does.
enum diag_warning : int {
    DIAG_W_NONE = 0,            ///< no kind: not a warning, or a plain log record
    DIAG_W_UNKNOWN_ANNOTATION,  ///< unknown-annotation: an annotation nothing declares
    DIAG_W_DROPPED_ANNOTATION,  ///< dropped-annotation: an annotation or parameter not written
    DIAG_W_CUSTOM_ANNOTATION,   ///< custom-annotation: an annotation declaration, ignored
    DIAG_W_KEY_PRAGMA,          ///< key-pragma: a key pragma naming nothing, or a nested key
    DIAG_W_UNKNOWN_PRAGMA,      ///< unknown-pragma: a pragma that declares no keys, ignored
    DIAG_W_NAME_CASE,           ///< name-case: names of one scope that differ only in case
    DIAG_W_MODULE_NAME,         ///< module-name: a declaration named as its enclosing module
    DIAG_W_UNDECLARED,          ///< undeclared: a name nothing declares (--permissive)
    DIAG_W_PERMISSIVE,          ///< permissive: another refusal let through by --permissive
    DIAG_W_MISSING_INCLUDE,     ///< missing-include: an include that finds no file (--permissive)
    DIAG_W_INCLUDE_CYCLE,       ///< include-cycle: a file that includes itself, not read again
    DIAG_W_MISSING_INCLUDE_DIR, ///< missing-include-dir: an -I folder that does not exist
    DIAG_W_UNKNOWN_XML,         ///< unknown-xml: a skipped element or attribute (--permissive)
    DIAG_W_COUNT,
};

/// The name of a kind ("unknown-annotation"); "" for DIAG_W_NONE.
[[nodiscard]] const char *diag_warning_name(diag_warning kind);
/// The kind of a name, DIAG_W_NONE when no kind has it.
[[nodiscard]] diag_warning diag_warning_by_name(const std::string &name);
/// Silences (or lets through again) every warning of a kind, for the whole process. Set before
/// any thread reports; read-only afterwards.
void diag_silence(diag_warning kind, bool silenced);
/// False for a warning whose kind is silenced: it is not reported, counted or shown.
[[nodiscard]] bool diag_shown(const diagnostic &d);

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
    diag_warning warning = DIAG_W_NONE; ///< the kind of a warning; shown only in the gcc layout
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

/// Reports d to the calling thread's consumer (nothing when !diag_shown(d)); with none installed,
/// writes it as log records through the tool logger (the record text, then the excerpt and caret
/// lines as records of their own).
void diag_report(const diagnostic &d);
/// Reports a warning of kind at file:line, without a column: the log record reads
/// "summary: file:line".
void diag_warn_at(diag_warning kind, const std::string &file, unsigned long line,
                  const std::string &summary);
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
/// place shortened as known, "vandrel" when there is none; a warning of a kind ends in
/// " [-WNAME]"), the excerpt and caret lines, then
/// each note as "file:line:col: note: message". With colour, ANSI escapes as gcc uses them.
[[nodiscard]] std::string diag_gcc_text(const diagnostic &d, bool colour);
/// The caret line for an excerpt: blanks (tabs kept, so that it lines up) up to caret, then '^'.
[[nodiscard]] std::string diag_caret_line(const std::string &excerpt, unsigned long caret);
