// A reading shown as one text: each file's preprocessed text with the files it includes put in
// place of their include directives, and gcc-style line markers saying where each line is from.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct idl_unit;

/// One include directive met in a file of a reading.
struct idl_listing_include {
    unsigned long line = 0;      ///< line of the file's preprocessed text that holds the directive
    unsigned long file_line = 0; ///< the directive's line in the file, as messages name it
    std::size_t node = SIZE_MAX; ///< the file it brought in; SIZE_MAX when none was read
    std::string directive; ///< when none was read and the line is to stay: the directive itself
};

/// One file as a reading met it.
struct idl_listing_node {
    std::string_view path; ///< as the user or the include search named it (outlives the node)
    const idl_unit *unit = nullptr; ///< its text; null when it adds nothing (all skipped)
    std::vector<idl_listing_include> includes; ///< in text order
};

/// The text of the reading whose first file is nodes[root]: every line of each unit, blank runs
/// shortened as gcc does, a file's text in place of the directive that included it (each unit
/// once), key pragmas written back on their lines, and line markers `# 1 "common.idl" 1` on
/// entering and `# 5 "types.idl" 2` on returning, so that the text, read again, names the
/// same places.
[[nodiscard]] std::string idl_render_listing(const std::vector<idl_listing_node> &nodes,
                                             std::size_t root);
