// Reading a whole model: each file preprocessed and parsed once, its includes found and read.
#pragma once

#include "model/source.hpp"

#include <mutex>
#include <string>
#include <vector>

struct ast;
struct xmltree;
struct pn_linkedlist;
struct preproc_macro;
struct idl_loader;

/// One include directive that was followed to a file that was read.
struct idl_include_edge {
    std::string resolved; ///< resolved path of the included file (the loader's cache key)
    std::string path;     ///< the included file as this includer's search found it
    unsigned long line;   ///< line of the directive in the including file
};

/// One preprocessed and parsed file of a model; owned by its loader (or by the caller of
/// idl_unit_read, released with idl_unit_delete).
struct idl_unit {
    std::string path;     ///< the path as the user or the include search named it
    std::string resolved; ///< the resolved (absolute) path
    std::string text;     ///< the preprocessed text; `src.text` and the tree positions index it
    idl_source src;       ///< source view over `text`
    ast *tree = nullptr;  ///< the parse tree of `text`, owned; null once a loader's hook ran
    std::vector<preproc_macro *> macros; ///< the macros in force at its end, owned
    /// Per macro: it came from an included file and shares that file's name text and lists,
    /// so that only the record is its own.
    std::vector<bool> macro_borrowed;
    std::vector<idl_include_edge> includes; ///< includes read, in directive order
    /// Held while a document is made: the walk fills caches of `src` (line index, pragma keys),
    /// and two inputs reaching one file (through a link) may translate it on two threads.
    mutable std::mutex translating;
};

/// Releases a unit and everything it owns; accepts null.
void idl_unit_delete(idl_unit *unit);

/// Releases the parse tree of a unit (its tree is null afterwards); the rest of it stays.
void idl_unit_release_tree(idl_unit *unit);

/// Preprocesses and parses the file at path alone, reading no included file (as the
/// two-argument form does). Null on failure (reported).
[[nodiscard]] idl_unit *idl_unit_read(const char *path, pn_linkedlist *macros);

/// A loader for one run: predefined macros (preproc_macro records, copied) and include folders
/// searched in order. Null when memory runs out (reported). Release with idl_loader_delete.
[[nodiscard]] idl_loader *idl_loader_new(pn_linkedlist *macros,
                                         const std::vector<std::string> &include_dirs);
/// Releases the loader and every unit it read; accepts null.
void idl_loader_delete(idl_loader *loader);

/// The resolved path of a file, as the loader names the files it reads (`idl_unit::resolved`);
/// empty when it cannot be resolved. With `plain`, the caller knows that path names a regular
/// file and no link (a folder listing says so), and the file itself is not looked at. Answers
/// are kept for the loader's run: the files do not change while it reads them. Safe to call
/// from several threads at once.
[[nodiscard]] std::string idl_loader_resolve(idl_loader *loader, const std::string &path,
                                             bool plain = false);

/// Reads the file at path and, through its include directives, every file it includes, each
/// once per loader whatever the number of readers; safe to call from several threads at once.
/// The unit stays owned by the loader; null when this file or one it includes fails (reported
/// once, where it failed).
[[nodiscard]] const idl_unit *idl_loader_read(idl_loader *loader, const char *path);

/// Called once a file is parsed, so that a later stage takes what it needs of the tree while
/// the tree is fresh: on a reading thread (the one that parsed it, or one that would otherwise
/// wait for another file), at the latest before the idl_loader_read that read it returns.
/// Readers waiting for the file do not wait for the hook: they look only at its paths, includes
/// and macros, never at what the hook reads or changes. Calls for different files may run at
/// the same time. The hook may release the tree (idl_unit_release_tree) as soon as it has what
/// it needs of it.
using idl_parsed_fn = void (*)(void *context, idl_unit *unit);

/// Sets the hook for the files read from now on. With a hook set, a unit's parse tree is
/// released at the latest when the hook returns: the unit keeps its paths, text, source records
/// and includes, and its tree is null. Without one (the default) every tree lives as long as
/// the loader.
void idl_loader_on_parsed(idl_loader *loader, idl_parsed_fn hook, void *context);

/// The units read so far, each included file before the files that include it, starting from
/// roots in the given order; the order does not depend on the threads that read them.
[[nodiscard]] std::vector<const idl_unit *>
idl_loader_model(const idl_loader *loader, const std::vector<const idl_unit *> &roots);

/// Paths (as the include search found them) of every file root depends on through its
/// includes (root excluded), each once, in the order they are first reached.
[[nodiscard]] std::vector<std::string> idl_loader_dependencies(const idl_loader *loader,
                                                               const idl_unit *root);
