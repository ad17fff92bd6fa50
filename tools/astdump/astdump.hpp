// Debugging dump: parses a text with one of the tool's grammars and prints its tree or error.
#pragma once

#include <cstddef>

/// The grammars the dump can run; the names on the command line are given by astdump_grammar_name.
enum astdump_grammar : int {
    ASTDUMP_IDL = 0,
    ASTDUMP_IDLCLEANER = 1,
    ASTDUMP_DIRECTIVE = 2,
    ASTDUMP_NON_DIRECTIVE = 3,
    ASTDUMP_IFEXPR = 4,
};

/// Number of grammars in astdump_grammar.
inline constexpr int astdump_grammar_count = 5;

/// Command-line name of a grammar ("idl", "idlcleaner", ...); null for a value out of range.
const char *astdump_grammar_name(int grammar);

/// The grammar named `name`, or -1 (logged) when the name is unknown or null.
[[nodiscard]] int astdump_grammar_from_name(const char *name);

/// Parses `size` bytes of `data` with `grammar` and prints the tree with display_ast, or the
/// parse error with display_parse_error, to standard output; true when the parse succeeded,
/// false (logged) on a parse error or an unknown grammar.
[[nodiscard]] bool astdump_text(int grammar, const char *data, std::size_t size);

/// Reads the file at `path` and dumps it as astdump_text does; false (logged) when the file
/// cannot be read or the dump fails.
[[nodiscard]] bool astdump_file(int grammar, const char *path);

/// The program `vandrel-astdump GRAMMAR FILE`: returns exit status 0 after a successful parse,
/// 1 after a parse error or any other failure, 2 on wrong arguments (usage printed).
[[nodiscard]] int astdump_main(int argc, const char *const *argv);
