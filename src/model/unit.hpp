// One file of a model as read: its preprocessed text, the files that text came from, its parse
// tree and the includes it followed.
#pragma once

#include "model/source.hpp"

#include <mutex>
#include <string>
#include <vector>

struct ast;
struct pn_linkedlist;

/// One include directive of a unit that found a file.
struct idl_include_edge {
    std::string resolved; ///< resolved path of the included file
    std::string path;     ///< the included file as the include search found it
    unsigned long line;   ///< line of the directive in the including file
};

/// One preprocessed text of a file with its parse tree; owned by its loader (or by the caller
/// of idl_unit_read, released with idl_unit_delete). A file read with different macros in
/// force may give several units.
struct idl_unit {
    std::string path;     ///< the path as the user or the include search named it
    std::string resolved; ///< the resolved (absolute) path
    std::string text;     ///< the preprocessed text; `src.text` and the tree positions index it
    idl_source src;       ///< source view over `text`, its line index built
    ast *tree = nullptr;  ///< the parse tree of `text`, owned; null once a loader's hook ran
    std::vector<idl_include_edge> includes; ///< include directives that found a file, in order
    /// Held while a document is made: the walk fills caches of `src` (pragma keys), and two
    /// inputs reaching one file (through a link) may translate it on two threads.
    mutable std::mutex translating;
};

/// Releases a unit made by idl_unit_read (or by hand) and everything it owns; accepts null.
void idl_unit_delete(idl_unit *unit);

/// Releases the parse tree of a unit (its tree is null afterwards); the rest of it stays.
void idl_unit_release_tree(idl_unit *unit);

/// Preprocesses and parses the file at path alone, reading no included file (as the
/// two-argument form does). Null on failure (reported).
[[nodiscard]] idl_unit *idl_unit_read(const char *path, pn_linkedlist *macros);
/// As idl_unit_read, without the parse: the unit's tree is null, for a caller that parses the
/// text itself. Null on failure (reported).
[[nodiscard]] idl_unit *idl_unit_read_text(const char *path, pn_linkedlist *macros);
