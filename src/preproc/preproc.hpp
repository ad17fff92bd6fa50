// The C-style preprocessor: cleaning, directives, conditional sections, macros, include markers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/idlstring.hpp"

struct parser;
struct preproc_root;
struct pn_linkedlist;
struct pn_hashmap;

//=== records ===//

/// Kinds of a macro definition (`preproc_macro::kind`).
enum preproc_macro_kind : int32_t {
    MACRO_FUNCTION = 0,
    MACRO_OBJECT = 1,
};

/// Kinds of one replacement item (`preproc_macro_item::kind`).
enum preproc_item_kind : int32_t {
    ITEM_TEXT = 0,
    ITEM_PARAM = 1,
    ITEM_STRINGIZE = 2,
};

/// `undef_line` of a definition still in force.
inline constexpr uint64_t PREPROC_LINE_MAX = ~uint64_t{0};

/// One parameter of a function-like macro; owned by the macro's parameter map.
struct preproc_macro_param {
    idl_string name; ///< parameter name, owned
    uint64_t index;  ///< position in the parameter list, from 0
};

/// One replacement item; owned by the macro's replacement list.
struct preproc_macro_item {
    int32_t kind;    ///< a `preproc_item_kind`
    idl_string text; ///< `ITEM_TEXT`: the text, owned; empty for the other kinds
    uint64_t index;  ///< `ITEM_PARAM`, `ITEM_STRINGIZE`: the parameter index
};

/// One macro definition; owned by the macro table once added (or by the caller's list).
struct preproc_macro {
    idl_string name;            ///< the macro name, owned
    int32_t kind;               ///< a `preproc_macro_kind`
    pn_hashmap *parameters;     ///< name -> `preproc_macro_param*`; function-like only, else null
    pn_linkedlist *replacement; ///< `preproc_macro_item*` in order; null without replacement text
    uint64_t def_line;          ///< line counter at the defining directive (1 when predefined)
    uint64_t undef_line; ///< line counter at the ending `#undef`; `PREPROC_LINE_MAX` in force
};

/// One file whose text was placed in the output; owned by `preproc_root::files`.
struct preproc_file {
    char *path;          ///< resolved absolute path, owned (free with `free`)
    int32_t text_offset; ///< byte offset in the output where this file's text begins
    int32_t first_line;  ///< the file's line number at `text_offset` (always 1)
    int32_t start_line;  ///< line counter when this file's scan began
};

/// One include directive met outside skipped sections, as handed to the include hook.
struct preproc_include_request {
    const char *path;     ///< the path text between the quotes or angle brackets (not terminated)
    size_t len;           ///< its length in bytes
    bool angle;           ///< written `#include <path>`
    const char *includer; ///< resolved path of the file holding the directive
    uint64_t line;        ///< line of the directive in that file, from 1
    uint64_t column;      ///< column of the opening quote or bracket, from 1
};

/// Called at each include directive; may add macro records to `root->macros` (defined at the
/// line counter, so that they are in force after the directive). False stops preprocessing
/// (the hook has reported why).
using preproc_include_fn = bool (*)(void *context, preproc_root *root,
                                    const preproc_include_request &request);

/// Table lines an included file took: every line of this file after `line` comes `total`
/// table lines later (this run and those before it together).
struct preproc_shift {
    uint64_t line;  ///< the line of the include directive
    uint64_t total; ///< table lines taken by includes up to and including this one
};

/// A filter of macro names: a name whose bit is clear has no record in the table it stands for.
struct preproc_names {
    uint64_t bits[64];
};

/// Marks the name (`len` bytes) in `names`.
void preproc_names_add(preproc_names *names, const char *name, size_t len);

/// Look-ups, definitions and removals as they happen, for a caller that reads a file into a
/// macro table it shares with other files and must know what the file's reading depended on.
struct preproc_observer {
    void *context; ///< passed to every call unchanged
    /// A look-up of the name (`len` bytes, not terminated) on `line` of the file (the state's
    /// `line` numbering): what was found in force (null: nothing), and whether a directive
    /// asked (a condition, `#ifdef`) or the text. `listed` is false when the table holds no
    /// definition of the name at all; the text then gives line 0.
    void (*lookup)(void *context, const preproc_root *root, const char *name, size_t len,
                   uint64_t line, const preproc_macro *found, bool directive, bool listed);
    /// A `#define` on `line` added `macro` to the table.
    void (*define)(void *context, preproc_root *root, preproc_macro *macro, uint64_t line);
    /// An `#undef` of the name on `line` ended the definitions in force (possibly none).
    void (*undef)(void *context, preproc_root *root, const char *name, size_t len, uint64_t line);
};

/// One `#pragma` that declares keys (`keylist`, `DCPS_DATA_TYPE`, `DCPS_DATA_KEY`), kept for the
/// translator; owned by `preproc_root::pragmas`.
struct preproc_pragma {
    char *text;           ///< the text after the word `pragma`, outer blanks trimmed, owned
    char *path;           ///< resolved path of the file it stands in, owned
    uint64_t line;        ///< line in that file, from 1
    uint64_t column;      ///< column (from 1) of the first byte of `text` in that line
    uint64_t output_line; ///< line of the output text (from 1) holding the blanked directive
    uint64_t offset;      ///< byte offset in the output where that line starts (set at the end)
};

/// Preprocessor state; zero-fill, then `preproc_root_init`; always release with
/// `preproc_root_fini`.
struct preproc_root {
    parser *text_parser;         ///< text (macro-expansion) grammar, owned
    parser *directive_parser;    ///< directive-line grammar, owned
    parser *condition_parser;    ///< `#if`/`#elif` condition grammar, owned
    idl_string output;           ///< the preprocessed text (owned); read it after success
    pn_hashmap *macros;          ///< name -> `pn_arraylist*` of `preproc_macro*`, owned
    pn_linkedlist *include_dirs; ///< owned C strings copied from the caller; never consulted
    pn_linkedlist *files;        ///< `preproc_file*` records, in order, owned
    uint64_t line;               ///< line counter: starts at 1, one step per scanned line
    /// Set after `preproc_root_init` to have included files read; null: they are not read.
    preproc_include_fn include_hook;
    void *include_context;  ///< passed to `include_hook` unchanged
    pn_linkedlist *pragmas; ///< `preproc_pragma*` records, in output order, owned
    /// Set with `preproc_root_share_table`: `macros` belongs to the caller and is not released.
    bool macros_borrowed;
    /// Table line of this file's line 0: definitions and look-ups of line L stand at table line
    /// `line_base + L` plus the lines included files took before L (0 for a table of its own).
    uint64_t line_base;
    preproc_shift *shifts; ///< runs of table lines included files took, in line order, owned
    uint64_t shift_count;  ///< entries of `shifts` in use
    uint64_t shift_room;   ///< entries `shifts` has room for
    const preproc_observer *observer; ///< null: nobody observes
    /// When set: a filter of every name `macros` holds a record of (kept by the caller), which
    /// expansion asks instead of walking the table to build its own.
    const preproc_names *names;
    /// After a successful run: the macro of the `#ifndef` that encloses everything the file holds
    /// (its include guard), read with the macro not defined; owned, null when there is none.
    /// Read again with the macro defined, the file gives nothing.
    char *guard;
    /// Messages keep the wording the log records of the two-argument form have always had: a
    /// section left open is "unterminated #if" whichever directive opened it.
    bool record_wording;
};

//=== state and entry ===//

/// Fills `root` (first zeroed); copies `macros` (`preproc_macro*` list, may be null) and
/// `include_dirs` (C strings, may be null). False on failure, `root` then all zero (logged).
[[nodiscard]] bool preproc_root_init(preproc_root *root, pn_linkedlist *macros,
                                     pn_linkedlist *include_dirs);

/// Preprocesses the file at `path` into `root->output`; false on failure (logged), after which
/// the output content is unspecified.
[[nodiscard]] bool zadozeda_preproc(preproc_root *root, const char *path);

/// Preprocesses the file at the resolved path `path` as zadozeda_preproc does; false on failure
/// (logged).
[[nodiscard]] bool preproc_run(preproc_root *root, const char *path);

/// Has `root` (after `preproc_root_init`) read into `table`, which the caller owns and keeps,
/// from table line `line_base` on: definitions and look-ups are positioned after what the
/// table holds. The state's own table is released.
void preproc_root_share_table(preproc_root *root, pn_hashmap *table, uint64_t line_base);

/// Table line of line `line` of the file: where its definitions and look-ups stand.
[[nodiscard]] uint64_t preproc_table_line_at(const preproc_root *root, uint64_t line);
/// Table line of the line being read.
[[nodiscard]] uint64_t preproc_table_line(const preproc_root *root);
/// Records that a file included on the line being read took `count` table lines: the lines
/// after it come after those. False when memory runs out (logged).
[[nodiscard]] bool preproc_take_lines(preproc_root *root, uint64_t count);

/// Releases everything `root` owns and zeroes it; accepts null and an all-zero state.
void preproc_root_fini(preproc_root *root);

/// True when the `#pragma` text `text` (`len` bytes, after the word `pragma`) declares keys and
/// is kept for the translator rather than ignored: its first word is `keylist`,
/// `DCPS_DATA_TYPE` or `DCPS_DATA_KEY`.
[[nodiscard]] bool preproc_pragma_declares_keys(const char *text, size_t len);

/// Directive pass over the file at the resolved `path`: records the file, appends its cleaned
/// text at `*cursor` and scans it from there, advancing `*cursor`. False on failure (logged).
[[nodiscard]] bool idlpreproc_include_file(preproc_root *root, const char *path, uint64_t *cursor);

//=== macro records ===//

/// New object-like record (def_line 1, in force) named `name` with replacement `text` (null for
/// none); null on failure (logged). Release with `preproc_macro_destroy`.
[[nodiscard]] preproc_macro *preproc_macro_create_object(const char *name, const char *text);

/// A full copy of a macro record, parameters and replacement items included; null when memory
/// runs out (logged). Release with `preproc_macro_destroy`.
[[nodiscard]] preproc_macro *preproc_macro_copy(const preproc_macro *src);

/// Releases a macro record, its parameters and its replacement items; accepts null.
void preproc_macro_destroy(preproc_macro *macro);

//=== include markers ===//

/// Suffix that ends the module name of an include marker line.
inline constexpr const char PREPROC_MARKER_SUFFIX[] = "IiNnCcLlUuDdEe";

/// Appends to `out` the marker module name for the quoted include path `path` (`len` bytes, any
/// bytes, non-empty): a valid IDL identifier ending in `PREPROC_MARKER_SUFFIX` that holds the
/// suffix nowhere else. False when `len` is 0 or memory runs out (logged).
[[nodiscard]] bool preproc_include_marker_encode(const char *path, size_t len, idl_string *out);

/// Decodes the marker module name `name` (`len` bytes) back to the exact include path, written
/// NUL-terminated to `out`, which must hold at least `len` + 1 bytes. Returns the path length, or
/// -1 when `name` is not a well-formed marker (no suffix, or a bad escape); nothing is logged.
[[nodiscard]] int64_t preproc_include_marker_decode(const char *name, size_t len, char *out);
