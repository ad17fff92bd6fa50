// Reading a whole model as the C preprocessor reads it: an included file sees the macros in force
// at its include directive and what it defines stays in force after it; each file's work is kept
// and done again only when a macro it looked at has changed.
#pragma once

#include "base/diag.hpp"
#include "model/unit.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct pn_linkedlist;
struct idl_loader;

/// What reading a file with everything it includes gave.
struct idl_reading {
    const idl_unit *unit = nullptr; ///< the file as read; null when it or a file it includes failed
    /// The diagnostics met, in order, each with the include chain that led to its file.
    std::vector<diagnostic> diagnostics;
    /// Every unit read, each once, the files a file includes before it; the file itself last.
    std::vector<const idl_unit *> units;
    /// Per unit: how this reading first met it: the unit that included it (an index into
    /// `units`; UINT32_MAX for the file itself) and the line of the include directive there.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> met_from;
    /// The files read besides the file itself, as the include search found them, each once, in
    /// the order first reached level by level; the texts live as long as the loader.
    std::vector<std::string_view> dependencies;
    /// When asked for: the preprocessed text with the included files in place and line markers.
    std::string text;
};

/// The include chain through which `reading` first met its unit `index`, the nearest includer
/// first; empty for the file itself.
[[nodiscard]] std::vector<diag_include> idl_reading_chain(const idl_reading &reading,
                                                          std::size_t index);

/// A loader for one run: predefined macros (preproc_macro records, borrowed for the loader's
/// life) and include folders searched in order. Null when memory runs out (reported). Release
/// with idl_loader_delete.
[[nodiscard]] idl_loader *idl_loader_new(pn_linkedlist *macros,
                                         const std::vector<std::string> &include_dirs);
/// Releases the loader and every unit it read; accepts null.
void idl_loader_delete(idl_loader *loader);

/// With permissive, an include that finds no file is a warning and the reading goes on without
/// it (the names it would have declared are then undeclared); without, an error (the default).
void idl_loader_set_permissive(idl_loader *loader, bool permissive);
/// Whether units are parsed (the default); without, readings give texts only.
void idl_loader_set_parsing(idl_loader *loader, bool parsing);

/// The resolved path of a file, as the loader names the files it reads (`idl_unit::resolved`);
/// empty when it cannot be resolved. With `plain`, the caller knows that path names a regular
/// file and no link (a folder listing says so), and the file itself is not looked at. Answers
/// are kept for the loader's run: the files do not change while it reads them. Safe to call
/// from several threads at once.
[[nodiscard]] std::string idl_loader_resolve(idl_loader *loader, const std::string &path,
                                             bool plain = false);

/// What idl_loader_read_all gives besides the unit, the units and the diagnostics.
enum idl_read_parts : unsigned {
    IDL_READ_TEXT = 1,         ///< the preprocessed text (`idl_reading::text`)
    IDL_READ_DEPENDENCIES = 2, ///< the files read (`idl_reading::dependencies`)
};

/// Reads the file at path and, through its include directives, every file it includes, into
/// out, with the `parts` (idl_read_parts) asked for. Nothing is reported: the diagnostics are
/// in out, the same whatever the threads do. A file's work is shared with every other reading
/// that meets it with the same macros in force. Safe to call from several threads at once.
/// False when this file or one it includes failed.
[[nodiscard]] bool idl_loader_read_all(idl_loader *loader, const char *path, unsigned parts,
                                       idl_reading *out);

/// idl_loader_read_all, then reports each of its diagnostics that this loader has not reported
/// before. The unit stays owned by the loader; null when this file or one it includes fails.
[[nodiscard]] const idl_unit *idl_loader_read(idl_loader *loader, const char *path);

/// Releases what the loader keeps to share work between readings (what reading each file did,
/// the macro tables of the readings); units, readings already made and file-system answers
/// stay. Later readings read their files afresh. Not while a reading runs.
void idl_loader_release_cache(idl_loader *loader);

/// Called once a unit is parsed, the files it includes read and parsed without failure, so that
/// a later stage takes what it needs of the tree while the tree is fresh: on a reading thread,
/// at the latest before the idl_loader_read that read it returns, once per unit. Calls for
/// different units may run at the same time. The hook may release the tree
/// (idl_unit_release_tree) as soon as it has what it needs of it.
using idl_parsed_fn = void (*)(void *context, idl_unit *unit);

/// Sets the hook for the units read from now on. With a hook set, a unit's parse tree is
/// released at the latest when the hook returns: the unit keeps its paths, text, source records
/// and includes, and its tree is null. Without one (the default) every tree lives as long as
/// the loader.
void idl_loader_on_parsed(idl_loader *loader, idl_parsed_fn hook, void *context);

/// The units the readings of the given files met, each included unit before the units that
/// include it, the readings in the given order; the order does not depend on the threads.
[[nodiscard]] std::vector<const idl_unit *>
idl_loader_model(const idl_loader *loader, const std::vector<const idl_unit *> &roots);

/// Paths (as the include search found them) of every file the reading of root read besides
/// root, each once, in the order they are first reached.
[[nodiscard]] std::vector<std::string> idl_loader_dependencies(const idl_loader *loader,
                                                               const idl_unit *root);
