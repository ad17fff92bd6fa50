// Make rules for the documents: which files a document was made from, in gcc's -MD layout.
#pragma once

#include <string>
#include <vector>

/// One make rule, "target: input included...\n", each name escaped for make (blanks, '#',
/// '$'); a line longer than 78 columns is continued with " \" line ends as gcc does. An empty
/// input is left out. With phony (-MP), an empty rule "name:\n" follows for each included file,
/// so that make carries on when one of them is deleted.
[[nodiscard]] std::string depfile_rule(const std::string &target, const std::string &input,
                                       const std::vector<std::string> &included,
                                       bool phony = false);
