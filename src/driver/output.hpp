// Output files and folders of both forms: names, folders made with their parents, and files
// written whole through a temporary file or not at all.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct xmltree;

/// The working folder; empty when it cannot be found out.
[[nodiscard]] std::string driver_working_folder();

/// The last component of `path` (trailing slashes ignored): "." for "", "/" for "/".
[[nodiscard]] std::string driver_base_name(const std::string &path);

/// Logs that `path` is too long for this platform.
void driver_log_too_long(const std::string &path);

/// The resolved form of the folder `path` in `dir`, made when it is missing; false after
/// logging why it cannot be resolved, is no folder or cannot be made.
[[nodiscard]] bool driver_resolve_folder(const std::string &path, std::string &dir);

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

/// From now on, file-system messages name the path and the system's reason (`cannot create
/// 'out/t.xml': Permission denied`), as the compiler form words them, and a file-size limit
/// fails a write with its reason instead of ending the process (SIGXFSZ is ignored).
void driver_output_name_causes();

/// Removes the folders this process made that are still empty, the deepest first.
void driver_remove_made_folders();

/// A file written whole to a temporary file beside its target, not yet in place.
struct driver_staged_file {
    std::string temp;   ///< the temporary file; empty once published or discarded
    std::string target; ///< the path it replaces when published
};

/// Writes `text` to a temporary file beside `dir`/`name` (removing first, once per folder, the
/// temporary files that ended runs left there); false after logging, with nothing left behind.
/// The file is put in place with driver_publish or removed with driver_discard.
[[nodiscard]] bool driver_stage_text(const std::string &dir, const std::string &name,
                                     const std::string &text, driver_staged_file &out);

/// Renames the staged file into place, replacing what stood there whole; false after logging,
/// the temporary file removed.
[[nodiscard]] bool driver_publish(driver_staged_file &file);

/// Removes a staged file not published; nothing when there is none.
void driver_discard(driver_staged_file &file);

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
