// Command-line driver: argument checks, translation, output directory and output file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct pn_linkedlist;
struct xmltree;

#ifndef VANDREL_VERSION
#error "VANDREL_VERSION (the project version) must be defined by the build"
#endif
/// Program version printed in the start-up banner and by --version; set from the project
/// version by the build, its one source.
inline constexpr const char *DRIVER_VERSION = VANDREL_VERSION;

/// Arguments of one run; zero-filled before use, released with `argparse_fini`.
struct argparse {
    const char *idl_path;        ///< first positional argument (borrowed)
    const char *output_path;     ///< second positional argument (borrowed)
    pn_linkedlist *include_dirs; ///< heap texts (released with `free`) owned by the list
    pn_linkedlist *macros;       ///< `preproc_macro` records owned by the list
};

/// Releases both lists with their elements (an absent list is skipped) and zero-fills `args`.
void argparse_fini(argparse *args);

/// Writes the usage text to standard output.
void driver_print_usage();

/// Creates `path` and every missing parent with mode 0755; true when it ends as a directory,
/// false after logging which component failed. Safe on several threads at once.
[[nodiscard]] bool driver_make_directories(const std::string &path);

/// `dir`/`name` with one slash between; just `name` when dir is "" or ".", just `dir` when
/// name is "" ("." when both are).
[[nodiscard]] std::string driver_join_path(const std::string &dir, const std::string &name);

/// The folder part of `path`: "." when it has no slash, "/" for a file in the root.
[[nodiscard]] std::string driver_parent_folder(const std::string &path);

/// Output file name for `idl_path`: its base name with the first ".idl" replaced by ".xml";
/// false (nothing logged) when the base name holds no ".idl".
[[nodiscard]] bool driver_output_name(const std::string &idl_path, std::string &name);

/// Output file name for `path`: its base name with the first `from` replaced by `to`; false
/// (nothing logged) when the base name holds no `from`.
[[nodiscard]] bool driver_output_name_as(const std::string &path, const char *from, const char *to,
                                         std::string &name);

/// Writes the pretty text of `doc` to `dir`/`name` through a temporary file renamed into place,
/// so a failure leaves no partial file and an existing file is replaced whole. The text is
/// streamed to the temporary file in pieces, never held whole in memory. False after logging.
/// Safe on several threads at once.
[[nodiscard]] bool driver_write_document(const std::string &dir, const std::string &name,
                                         const xmltree *doc);

/// Writes `text` to `dir`/`name` all or nothing, as `driver_write_document`. False after logging.
[[nodiscard]] bool driver_write_text(const std::string &dir, const std::string &name,
                                     const std::string &text);

/// Takes the pieces of a text in order; false when one cannot be written.
using driver_piece_writer = bool (*)(void *target, const char *data, std::size_t len);

/// Writes to `dir`/`name` all or nothing, as `driver_write_document`, what `produce` hands in
/// pieces to the writer and target it is given; `produce` returns false on its own failure.
/// False after logging.
[[nodiscard]] bool
driver_write_pieces(const std::string &dir, const std::string &name,
                    const std::function<bool(driver_piece_writer write, void *target)> &produce);

/// The whole run for `argc`/`argv` as given to `main`; returns the exit status (0 written, 1 not).
[[nodiscard]] int driver_main(int argc, char **argv);
