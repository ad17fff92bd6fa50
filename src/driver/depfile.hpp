// Make rules for the documents: which files a document was made from, in gcc's -MD layout.
#pragma once

#include <string>
#include <vector>

struct pn_linkedlist;

/// The files `idl_path` includes that exist on disk, in the order its include lines name them,
/// each once: a quoted name is looked up beside the including file, then in each folder of
/// `include_dirs` (C strings; may be null); an angle-bracket name only in those folders.
/// Include lines are found by reading the file's lines as written, so a line inside a false
/// conditional section or a comment counts too.
// Temporary: the preprocessor does not hand its include list out yet; once it does, the
// conversion call fills the list from there and this scan goes.
[[nodiscard]] std::vector<std::string> depfile_included_files(const char *idl_path,
                                                              const pn_linkedlist *include_dirs);

/// One make rule, "target: input included...\n", each name escaped for make (blanks, '#',
/// '$'); a line longer than 78 columns is continued with " \" line ends as gcc does.
[[nodiscard]] std::string depfile_rule(const std::string &target, const std::string &input,
                                       const std::vector<std::string> &included);
